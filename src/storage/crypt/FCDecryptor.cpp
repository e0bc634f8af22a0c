#include "storage/crypt/FCDecryptor.h"

namespace quarra {

std::shared_ptr<FCDecryptor> FCDecryptor::make(ByteView encryptionKey, ByteView HMACKey,
                                               Handler handler) {
    return std::shared_ptr<FCDecryptor>(
        new FCDecryptor(FCMessageReader(encryptionKey, HMACKey), std::move(handler)));
}

std::shared_ptr<FCDecryptor> FCDecryptor::make(std::string_view password, Handler handler) {
    return std::shared_ptr<FCDecryptor>(
        new FCDecryptor(FCMessageReader(password), std::move(handler)));
}

Result<Bytes> FCDecryptor::decryptData(ByteView data, std::string_view password) {
    return decryptData(data, kFCCryptorAES256Settings, password);
}

Result<Bytes> FCDecryptor::decryptData(ByteView data, ByteView encryptionKey, ByteView HMACKey) {
    return decryptData(data, kFCCryptorAES256Settings, encryptionKey, HMACKey);
}

Result<Bytes> FCDecryptor::decryptData(ByteView data, const FCCryptorSettings& settings,
                                       std::string_view password) {
    FCMessageReader reader(password, settings);
    return runWhole(reader, data, data.size());
}

Result<Bytes> FCDecryptor::decryptData(ByteView data, const FCCryptorSettings& settings,
                                       ByteView encryptionKey, ByteView HMACKey) {
    FCMessageReader reader(encryptionKey, HMACKey, settings);
    return runWhole(reader, data, data.size());
}

}  // namespace quarra
