#include "storage/crypt/FCEncryptor.h"

namespace quarra {

std::shared_ptr<FCEncryptor> FCEncryptor::start(std::optional<FCMessageWriter> writer,
                                                ErrorPtr error, Handler handler) {
    std::shared_ptr<FCEncryptor> encryptor(new FCEncryptor(std::move(handler)));
    if (!writer) {
        encryptor->cleanupAndNotifyWithError(std::move(error));
        return nullptr;
    }
    encryptor->writer_ = std::move(writer);
    return encryptor;
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               std::string_view password, Handler handler) {
    ErrorPtr error;
    auto writer = FCMessageWriter::make(settings, password, &error);
    return start(std::move(writer), error, std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               std::string_view password, ByteView IV,
                                               ByteView encryptionSalt, ByteView HMACSalt,
                                               Handler handler) {
    ErrorPtr error;
    auto writer = FCMessageWriter::make(settings, password, IV, encryptionSalt, HMACSalt, &error);
    return start(std::move(writer), error, std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               ByteView encryptionKey, ByteView HMACKey,
                                               Handler handler) {
    ErrorPtr error;
    auto writer = FCMessageWriter::make(settings, encryptionKey, HMACKey, &error);
    return start(std::move(writer), error, std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               ByteView encryptionKey, ByteView HMACKey,
                                               ByteView IV, Handler handler) {
    ErrorPtr error;
    auto writer = FCMessageWriter::make(settings, encryptionKey, HMACKey, IV, &error);
    return start(std::move(writer), error, std::move(handler));
}

std::optional<Bytes> FCEncryptor::run(std::optional<FCMessageWriter> writer, ByteView data,
                                      ErrorPtr* error) {
    if (!writer) {
        return std::nullopt;
    }
    return runWhole(*writer, data, writer->messageSize(data.size()), error);
}

std::optional<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                              std::string_view password, ErrorPtr* error) {
    return run(FCMessageWriter::make(settings, password, error), data, error);
}

std::optional<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                              std::string_view password, ByteView IV,
                                              ByteView encryptionSalt, ByteView HMACSalt,
                                              ErrorPtr* error) {
    return run(FCMessageWriter::make(settings, password, IV, encryptionSalt, HMACSalt, error), data,
               error);
}

std::optional<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                              ByteView encryptionKey, ByteView HMACKey,
                                              ErrorPtr* error) {
    return run(FCMessageWriter::make(settings, encryptionKey, HMACKey, error), data, error);
}

std::optional<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                              ByteView encryptionKey, ByteView HMACKey, ByteView IV,
                                              ErrorPtr* error) {
    return run(FCMessageWriter::make(settings, encryptionKey, HMACKey, IV, error), data, error);
}

}  // namespace quarra
