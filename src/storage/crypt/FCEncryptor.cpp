#include "storage/crypt/FCEncryptor.h"

namespace quarra {

std::shared_ptr<FCEncryptor> FCEncryptor::start(Result<FCMessageWriter> writer, Handler handler) {
    std::shared_ptr<FCEncryptor> encryptor(new FCEncryptor(std::move(handler)));
    if (!writer) {
        encryptor->cleanupAndNotifyWithError(writer.error());
        return nullptr;
    }
    encryptor->writer_ = std::move(writer).value();
    return encryptor;
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               std::string_view password, Handler handler) {
    return start(FCMessageWriter::make(settings, password), std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               std::string_view password, ByteView IV,
                                               ByteView encryptionSalt, ByteView HMACSalt,
                                               Handler handler) {
    return start(FCMessageWriter::make(settings, password, IV, encryptionSalt, HMACSalt),
                 std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               ByteView encryptionKey, ByteView HMACKey,
                                               Handler handler) {
    return start(FCMessageWriter::make(settings, encryptionKey, HMACKey), std::move(handler));
}

std::shared_ptr<FCEncryptor> FCEncryptor::make(const FCCryptorSettings& settings,
                                               ByteView encryptionKey, ByteView HMACKey,
                                               ByteView IV, Handler handler) {
    return start(FCMessageWriter::make(settings, encryptionKey, HMACKey, IV), std::move(handler));
}

Result<Bytes> FCEncryptor::run(Result<FCMessageWriter> writer, ByteView data) {
    if (!writer) {
        return writer.error();
    }
    return runWhole(*writer, data, writer->messageSize(data.size()));
}

Result<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                       std::string_view password) {
    return run(FCMessageWriter::make(settings, password), data);
}

Result<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                       std::string_view password, ByteView IV,
                                       ByteView encryptionSalt, ByteView HMACSalt) {
    return run(FCMessageWriter::make(settings, password, IV, encryptionSalt, HMACSalt), data);
}

Result<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                       ByteView encryptionKey, ByteView HMACKey) {
    return run(FCMessageWriter::make(settings, encryptionKey, HMACKey), data);
}

Result<Bytes> FCEncryptor::encryptData(ByteView data, const FCCryptorSettings& settings,
                                       ByteView encryptionKey, ByteView HMACKey, ByteView IV) {
    return run(FCMessageWriter::make(settings, encryptionKey, HMACKey, IV), data);
}

}  // namespace quarra
