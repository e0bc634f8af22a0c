#include "storage/crypt/KeychainItemStoreCrypt.h"

#include <openssl/evp.h>

#include "auth/KeychainItemStore.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "storage/crypt/FCCryptorFormat.h"

namespace quarra {
namespace {

constexpr std::size_t kKeyBytes = 128;

// Writes service, account and value in that order, as every reader of these items expects.
ErrorPtr store(const std::string& service, const std::string& username, const std::string& value) {
    KeychainItemStore item(service + "." + username);
    for (auto [text, attribute] : {std::pair{&service, KeychainAttribute::Service},
                                   {&username, KeychainAttribute::Account},
                                   {&value, KeychainAttribute::ValueData}}) {
        if (ErrorPtr error = item.setObject(*text, attribute))
            return error;
    }
    return nullptr;
}

Result<std::optional<std::string>> load(const std::string& identifier) {
    KeychainItemStore item(identifier);
    if (item.readError())
        return item.readError();
    std::string value = item.objectForKey(KeychainAttribute::ValueData);
    if (value.empty())
        return std::optional<std::string>();
    return std::optional<std::string>(std::move(value));
}

}  // namespace

std::string KeychainItemStoreCrypt::fileEncryptionIdentifier() {
    return TVKQuarraConfigurationManager::sharedInstance().keychainIdentifierRoot() + ".crypt";
}

std::string KeychainItemStoreCrypt::fileEncryptionIdentifierForUsername(
    const std::string& username) {
    return fileEncryptionIdentifier() + "." + username;
}

std::string KeychainItemStoreCrypt::encryptedUsernameIdentifier() {
    return TVKQuarraConfigurationManager::sharedInstance().keychainIdentifierRoot() +
           ".encrypted_username";
}

std::string KeychainItemStoreCrypt::encryptedUsernameIdentifierForUsername(
    const std::string& username) {
    return encryptedUsernameIdentifier() + "." + username;
}

ErrorPtr KeychainItemStoreCrypt::setFileEncryptionKeyForUsername(const std::string& username) {
    auto random = fcRandomDataOfLength(kKeyBytes);
    if (!random) {
        return random.error();
    }
    std::string key(4 * ((kKeyBytes + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(key.data()), random->data(),
                    static_cast<int>(random->size()));
    fcCleanse(*random);
    ErrorPtr error = store(fileEncryptionIdentifier(), username, key);
    OPENSSL_cleanse(key.data(), key.size());
    return error;
}

Result<std::optional<std::string>> KeychainItemStoreCrypt::getFileEncryptionKeyForUsername(
    const std::string& username) {
    return load(fileEncryptionIdentifierForUsername(username));
}

ErrorPtr KeychainItemStoreCrypt::setEncryptedUsername(const std::string& encryptedUsername,
                                                      const std::string& username) {
    return store(encryptedUsernameIdentifier(), username, encryptedUsername);
}

Result<std::optional<std::string>> KeychainItemStoreCrypt::getEncryptedUsernameForUsername(
    const std::string& username) {
    return load(encryptedUsernameIdentifierForUsername(username));
}

}  // namespace quarra
