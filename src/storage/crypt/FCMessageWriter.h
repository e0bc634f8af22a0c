#pragma once
// The synchronous core of encryption: turns plaintext, fed in any chunking, into one message of the
// encrypted data format. The header goes out with the first output, the HMAC with the last.
// Movable, not copyable; one thread at a time.
#include <optional>
#include <string_view>

#include "storage/crypt/FCCryptorEngine.h"

namespace quarra {

class FCMessageWriter {
  public:
    // A password-based message (options bit 0): draws the IV, then the encryption-key salt, then
    // the HMAC-key salt, and derives both keys. Every make gives the error when the random
    // generator, the key derivation or the cipher fails or the settings are unsupported.
    static Result<FCMessageWriter> make(const FCCryptorSettings& settings,
                                        std::string_view password);
    static Result<FCMessageWriter> make(const FCCryptorSettings& settings,
                                        std::string_view password, ByteView IV,
                                        ByteView encryptionSalt, ByteView HMACSalt);
    // A key-based message (options 0, 18-byte header); an empty HMAC key writes no HMAC.
    static Result<FCMessageWriter> make(const FCCryptorSettings& settings, ByteView encryptionKey,
                                        ByteView HMACKey);
    static Result<FCMessageWriter> make(const FCCryptorSettings& settings, ByteView encryptionKey,
                                        ByteView HMACKey, ByteView IV);

    // Appends the output for `plaintext` to `out` (the header first, the first time). Calls after
    // `finish` give the parameter error.
    [[nodiscard]] ErrorPtr update(ByteView plaintext, Bytes& out);
    // Appends the rest of the message: the header when nothing was written yet, the last cipher
    // block and the HMAC. Nothing more may be fed afterwards.
    [[nodiscard]] ErrorPtr finish(Bytes& out);

    // The size of a whole message for `plaintextSize` bytes of plaintext.
    std::size_t messageSize(std::size_t plaintextSize) const;

    Bytes header() const;
    std::uint8_t options() const { return options_; }
    std::size_t HMACLength() const { return hmac_ ? hmac_->length() : 0; }
    const Bytes& encryptionSalt() const { return encryptionSalt_; }
    const Bytes& HMACSalt() const { return HMACSalt_; }
    const Bytes& IV() const { return IV_; }
    bool haveWrittenHeader() const { return haveWrittenHeader_; }

  private:
    FCMessageWriter(FCCryptorEngine engine, std::optional<FCHMAC> hmac, Bytes IV)
        : engine_(std::move(engine)), hmac_(std::move(hmac)), IV_(std::move(IV)) {}
    void writeHeader(Bytes& out);

    FCCryptorEngine engine_;
    std::optional<FCHMAC> hmac_;
    std::uint8_t options_ = 0;
    Bytes encryptionSalt_;
    Bytes HMACSalt_;
    Bytes IV_;
    bool haveWrittenHeader_ = false;
    bool finished_ = false;
};

}  // namespace quarra
