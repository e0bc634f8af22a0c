#pragma once
// The encrypted data format's settings, constants and primitives (key derivation, random bytes,
// HMAC, constant-time comparison), shared by the message writer and reader and by the cryptors over
// them.
//
// One message: version (1 byte), options (1 byte; bit 0 = password-based), encryption-key salt and
// HMAC-key salt (password-based only), IV, AES-CBC ciphertext with PKCS#7 padding, and an HMAC of
// every preceding byte. All functions are safe to call from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/Result.h"

typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace quarra {

using ByteView = std::span<const std::uint8_t>;

struct FCCryptorKeyDerivationSettings {
    std::uint64_t keySize;
    std::uint64_t saltSize;
    std::uint32_t PBKDFAlgorithm;  // 2 = PBKDF2
    std::uint32_t PRF;             // 1 = HMAC-SHA1, 3 = HMAC-SHA256, 5 = HMAC-SHA512
    std::uint32_t rounds;
    bool hasV2Password;  // take the password's bytes by the version-2 rule
};

struct FCCryptorSettings {
    std::uint32_t algorithm;  // 0 = AES
    std::uint64_t blockSize;
    std::uint64_t IVSize;
    std::uint32_t options;        // 1 = PKCS#7 padding
    std::uint32_t HMACAlgorithm;  // 2 = SHA-256 (0 SHA-1, 3 SHA-384, 4 SHA-512)
    std::uint64_t HMACLength;
    FCCryptorKeyDerivationSettings keySettings;
    FCCryptorKeyDerivationSettings HMACKeySettings;
};

// The one settings value the SDK writes and reads: AES-256-CBC, HMAC-SHA256, PBKDF2-HMAC-SHA1 with
// 10000 rounds and 8-byte salts.
extern const FCCryptorSettings kFCCryptorAES256Settings;

// The version byte written; versions 2 and 3 are read.
inline constexpr std::uint8_t kFCCryptorFileVersion = 3;
inline constexpr std::uint8_t kFCCryptorOptionHasPassword = 1;

inline constexpr const char* kFCCryptorErrorDomain = "net.skelwyn.FCCryptManager";
inline constexpr long kFCCryptorHMACMismatch = 1;
inline constexpr long kFCCryptorUnknownHeader = 2;
// Failures of the cipher itself carry these status codes (no user info); the values are the ones
// stored and logged by earlier versions of the SDK.
inline constexpr long kFCCryptorParamError = -4300;
inline constexpr long kFCCryptorMemoryFailure = -4302;
inline constexpr long kFCCryptorDecodeError = -4304;
inline constexpr long kFCCryptorRNGFailure = -4307;

// An error of the format's domain; codes 1 and 2 carry their descriptions.
ErrorPtr fcError(long code);

// `settings.keySize` bytes of PBKDF2 over the password's bytes (UTF-8; by the version-2 rule when
// `hasV2Password`) and `salt`. A derivation failure or unsupported settings give the error.
Result<Bytes> fcKeyForPassword(std::string_view password, ByteView salt,
                               const FCCryptorKeyDerivationSettings& settings);

// `length` bytes from the secure random generator, or its failure.
Result<Bytes> fcRandomDataOfLength(std::size_t length);

// Whether two buffers are equal, in time that depends only on their lengths. Buffers of different
// lengths (an empty one among them) are unequal; two empty buffers are equal.
bool fc_isEqualInConsistentTime(ByteView receiver, ByteView argument);

// A running HMAC over the bytes of a message. Movable, not copyable; one thread at a time.
class FCHMAC {
  public:
    // Starts an HMAC with the settings' algorithm and `key`, giving tags of `length` bytes (the
    // digest cut short); the error when the algorithm is unknown, its digest is shorter than
    // `length` or the library fails.
    static Result<FCHMAC> make(std::uint32_t algorithm, ByteView key, std::size_t length);

    void update(ByteView data);
    // The tag of everything fed; the parameter error when the library failed.
    Result<Bytes> final();
    std::size_t length() const { return length_; }

  private:
    struct Free {
        void operator()(EVP_MAC_CTX* ctx) const;
    };
    FCHMAC(EVP_MAC_CTX* ctx, std::size_t length) : ctx_(ctx), length_(length) {}
    std::unique_ptr<EVP_MAC_CTX, Free> ctx_;
    std::size_t length_;
    bool failed_ = false;
};

// Wipes key material before its memory is released.
void fcCleanse(Bytes& secret);

}  // namespace quarra
