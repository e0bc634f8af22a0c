#pragma once
// The crypt subsystem's keychain items, one pair per user who has signed in on this machine:
//   file-encryption key   service "<root>.crypt", identifier "<root>.crypt.<user>", account the
//   user
//                         name, value the Base64 text of 128 random bytes (172 characters); the
//                         text itself is the password of every encrypted file and cache database
//   encrypted user name   service "<root>.encrypted_username", identifier
//                         "<root>.encrypted_username.<user>", value upper-case hex of the RSA
//                         encryption of the user name
// where <root> is the configuration manager's keychain identifier root. Every call reads or writes
// the keychain itself; nothing is cached. Safe to call from any thread.
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

class KeychainItemStoreCrypt {
  public:
    static std::string fileEncryptionIdentifier();
    static std::string fileEncryptionIdentifierForUsername(const std::string& username);
    static std::string encryptedUsernameIdentifier();
    static std::string encryptedUsernameIdentifierForUsername(const std::string& username);

    // Generates a new key and stores it, replacing any key the user had (which makes the user's
    // encrypted files unreadable: callers check first that there is none). Null on success; the
    // random generator's or the keychain's error otherwise.
    [[nodiscard]] static ErrorPtr setFileEncryptionKeyForUsername(const std::string& username);
    // The stored key; nullopt when the item is missing or empty. A keychain that cannot be read is
    // not "no key" but an error.
    static Result<std::optional<std::string>> getFileEncryptionKeyForUsername(
        const std::string& username);

    // Stores the hex text as the user's encrypted user name; null on success.
    [[nodiscard]] static ErrorPtr setEncryptedUsername(const std::string& encryptedUsername,
                                                       const std::string& username);
    // As getFileEncryptionKeyForUsername, for the encrypted user name.
    static Result<std::optional<std::string>> getEncryptedUsernameForUsername(
        const std::string& username);
};

}  // namespace quarra
