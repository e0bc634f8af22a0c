#include "storage/crypt/FCCryptorFormat.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>

namespace quarra {

const FCCryptorSettings kFCCryptorAES256Settings = {
    .algorithm = 0,
    .blockSize = 16,
    .IVSize = 16,
    .options = 1,
    .HMACAlgorithm = 2,
    .HMACLength = 32,
    .keySettings = {.keySize = 32,
                    .saltSize = 8,
                    .PBKDFAlgorithm = 2,
                    .PRF = 1,
                    .rounds = 10000,
                    .hasV2Password = false},
    .HMACKeySettings = {.keySize = 32,
                        .saltSize = 8,
                        .PBKDFAlgorithm = 2,
                        .PRF = 1,
                        .rounds = 10000,
                        .hasV2Password = false},
};

namespace {

const EVP_MD* prfDigest(std::uint32_t prf) {
    switch (prf) {
        case 1:
            return EVP_sha1();
        case 3:
            return EVP_sha256();
        case 5:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

struct HMACDigest {
    const char* name;
    std::size_t size;
};

std::optional<HMACDigest> hmacDigest(std::uint32_t algorithm) {
    switch (algorithm) {
        case 0:
            return HMACDigest{"SHA1", 20};
        case 2:
            return HMACDigest{"SHA256", 32};
        case 3:
            return HMACDigest{"SHA384", 48};
        case 4:
            return HMACDigest{"SHA512", 64};
        default:
            return std::nullopt;
    }
}

// Version-2 messages derived their keys from the first N bytes of the password's UTF-8 form, N
// being its length in UTF-16 code units; for non-ASCII passwords that drops trailing bytes.
std::size_t v2PasswordLength(std::string_view password) {
    std::size_t units = 0;
    for (unsigned char byte : password) {
        if ((byte & 0xC0) != 0x80) {
            units += byte >= 0xF0 ? 2 : 1;
        }
    }
    return std::min(units, password.size());
}

}  // namespace

ErrorPtr fcError(long code) {
    switch (code) {
        case kFCCryptorHMACMismatch:
            return Error::make(kFCCryptorErrorDomain, code, std::string_view("HMAC Mismatch"));
        case kFCCryptorUnknownHeader:
            return Error::make(kFCCryptorErrorDomain, code, std::string_view("Unknown header"));
        default:
            return Error::make(kFCCryptorErrorDomain, code);
    }
}

Result<Bytes> fcKeyForPassword(std::string_view password, ByteView salt,
                               const FCCryptorKeyDerivationSettings& settings) {
    const EVP_MD* digest = prfDigest(settings.PRF);
    if (settings.PBKDFAlgorithm != 2 || !digest || settings.keySize == 0 ||
        settings.keySize > INT_MAX || settings.rounds == 0 || settings.rounds > INT_MAX ||
        salt.size() > INT_MAX || password.size() > INT_MAX) {
        return fcError(kFCCryptorParamError);
    }
    std::size_t length = settings.hasV2Password ? v2PasswordLength(password) : password.size();
    Bytes key(settings.keySize);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(length), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(settings.rounds), digest,
                          static_cast<int>(key.size()), key.data()) != 1) {
        return fcError(kFCCryptorParamError);
    }
    return key;
}

Result<Bytes> fcRandomDataOfLength(std::size_t length) {
    Bytes data(length);
    if (length > INT_MAX || RAND_bytes(data.data(), static_cast<int>(length)) != 1) {
        return fcError(kFCCryptorRNGFailure);
    }
    return data;
}

bool fc_isEqualInConsistentTime(ByteView receiver, ByteView argument) {
    // Lengths are not secret; comparing them first also keeps an empty buffer from being indexed.
    if (receiver.size() != argument.size()) {
        return false;
    }
    return receiver.empty() ||
           CRYPTO_memcmp(receiver.data(), argument.data(), receiver.size()) == 0;
}

void FCHMAC::Free::operator()(EVP_MAC_CTX* ctx) const {
    EVP_MAC_CTX_free(ctx);
}

Result<FCHMAC> FCHMAC::make(std::uint32_t algorithm, ByteView key, std::size_t length) {
    // Fetching searches the providers under a lock; one fetch serves the whole process.
    static EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    auto digest = hmacDigest(algorithm);
    if (!mac || !digest || length == 0 || length > digest->size) {
        return fcError(kFCCryptorParamError);
    }
    FCHMAC hmac(EVP_MAC_CTX_new(mac), length);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest->name), 0),
        OSSL_PARAM_construct_end()};
    if (!hmac.ctx_ || EVP_MAC_init(hmac.ctx_.get(), key.data(), key.size(), params) != 1) {
        return fcError(kFCCryptorMemoryFailure);
    }
    return hmac;
}

void FCHMAC::update(ByteView data) {
    if (!data.empty() && EVP_MAC_update(ctx_.get(), data.data(), data.size()) != 1) {
        failed_ = true;
    }
}

Result<Bytes> FCHMAC::final() {
    Bytes digest(EVP_MAX_MD_SIZE);
    std::size_t size = 0;
    if (failed_ || EVP_MAC_final(ctx_.get(), digest.data(), &size, digest.size()) != 1 ||
        size < length_) {
        return fcError(kFCCryptorParamError);
    }
    digest.resize(length_);
    return digest;
}

void fcCleanse(Bytes& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
    secret.clear();
}

}  // namespace quarra
