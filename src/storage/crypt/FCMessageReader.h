#pragma once
// The synchronous core of decryption: turns one message of the encrypted data format (versions 2
// and 3), fed in any chunking, back into plaintext. The header is parsed as soon as it is complete;
// everything but the trailing HMAC is decrypted as it arrives, and the HMAC is checked by `finish`.
// Plaintext handed out before `finish` is unauthenticated: a consumer must discard it when `finish`
// fails. Movable, not copyable; one thread at a time.
#include <optional>
#include <string>
#include <string_view>

#include "storage/crypt/FCCryptorEngine.h"

namespace quarra {

class FCMessageReader {
  public:
    // Keys are derived from the password and the message's salts.
    explicit FCMessageReader(std::string_view password,
                             const FCCryptorSettings& settings = kFCCryptorAES256Settings);
    // For key-based messages (a password-based message's salts are skipped); an empty HMAC key
    // checks no HMAC.
    FCMessageReader(ByteView encryptionKey, ByteView HMACKey,
                    const FCCryptorSettings& settings = kFCCryptorAES256Settings);
    FCMessageReader(FCMessageReader&&) = default;
    FCMessageReader& operator=(FCMessageReader&&) = default;
    ~FCMessageReader();

    // Appends the plaintext that `message` completes to `out`. Errors: an unknown version byte
    // (code 2), a key derivation or cipher failure. After an error every call returns it again.
    [[nodiscard]] ErrorPtr update(ByteView message, Bytes& out);
    // Checks the HMAC and appends the last plaintext. Errors: a message shorter than its header
    // and HMAC, or an HMAC that differs (code 1); a padding failure (the decode error).
    [[nodiscard]] ErrorPtr finish(Bytes& out);

    // Messages of the first format version authenticated the ciphertext alone: with this set the
    // header is left out of the HMAC. Takes effect only when set before the header is read.
    bool hasV1HMAC() const { return hasV1HMAC_; }
    void setHasV1HMAC(bool hasV1HMAC) { hasV1HMAC_ = hasV1HMAC; }

    // Known once the header has been read.
    std::uint8_t options() const { return options_; }
    std::size_t HMACLength() const { return hmac_ ? hmac_->length() : 0; }

  private:
    [[nodiscard]] ErrorPtr readHeader(ByteView& message);
    [[nodiscard]] ErrorPtr startDecrypting();
    [[nodiscard]] ErrorPtr decrypt(ByteView ciphertext, Bytes& out);
    ErrorPtr fail(ErrorPtr error);
    void dropSecrets();

    FCCryptorSettings settings_;
    std::string password_;
    bool hasPassword_;
    Bytes encryptionKey_;
    Bytes HMACKey_;
    Bytes header_;
    std::size_t headerSize_ = 0;  // known once the options byte is in
    std::uint8_t options_ = 0;
    std::optional<FCCryptorEngine> engine_;
    std::optional<FCHMAC> hmac_;
    Bytes trailer_;  // the last HMACLength() bytes seen: the tag, unless more input follows
    ErrorPtr error_;
    bool finished_ = false;
    bool hasV1HMAC_ = false;
};

}  // namespace quarra
