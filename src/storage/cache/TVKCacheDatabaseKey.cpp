#include "storage/cache/TVKCacheDatabaseKey.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <array>
#include <map>
#include <mutex>

namespace quarra {

namespace {

// The engine's (version 3) defaults for a passphrase.
constexpr int kSaltLength = 16;
constexpr int kKeyLength = 32;
constexpr int kDerivationRounds = 64000;

using Salt = std::array<unsigned char, kSaltLength>;
using Digest = std::array<unsigned char, SHA256_DIGEST_LENGTH>;

struct DerivedKey {
    Digest passphraseDigest;
    Salt salt;
    std::string keyText;
};

std::mutex& keysMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, DerivedKey>& derivedKeys() {
    // Never destroyed: a cache may still be opened on another thread while the process exits.
    static auto& keys = *new std::map<std::string, DerivedKey>();
    return keys;
}

std::optional<Salt> readSalt(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    Salt salt{};
    ssize_t got = ::pread(fd, salt.data(), salt.size(), 0);
    ::close(fd);
    if (got != static_cast<ssize_t>(salt.size())) {
        return std::nullopt;
    }
    return salt;
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

std::string TVKCacheDatabaseKey::keyForDatabase(const std::filesystem::path& path,
                                                const std::string& passphrase) {
    auto salt = readSalt(path);
    if (!salt) {
        return passphrase;
    }
    Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(passphrase.data()), passphrase.size(),
           digest.data());
    {
        std::lock_guard lock(keysMutex());
        auto found = derivedKeys().find(path.string());
        if (found != derivedKeys().end() && found->second.salt == *salt &&
            CRYPTO_memcmp(found->second.passphraseDigest.data(), digest.data(), digest.size()) ==
                0) {
            return found->second.keyText;
        }
    }
    std::array<unsigned char, kKeyLength> key{};
    if (PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt->data(),
                          kSaltLength, kDerivationRounds, EVP_sha1(), kKeyLength,
                          key.data()) != 1) {
        return passphrase;
    }
    std::string keyText = "x'" + hex(key.data(), key.size()) + "'";
    OPENSSL_cleanse(key.data(), key.size());
    std::lock_guard lock(keysMutex());
    derivedKeys()[path.string()] = DerivedKey{digest, *salt, keyText};
    return keyText;
}

void TVKCacheDatabaseKey::forgetDerivedKeys() {
    std::lock_guard lock(keysMutex());
    derivedKeys().clear();
}

}  // namespace quarra
