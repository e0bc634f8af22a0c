#pragma once
// Encrypts plaintext, fed in chunks of any size, into one message of the encrypted data format, in
// the queue-and-handler form of FCCryptor. Every `make` that fails reports the error through the
// handler (once, finished) and returns null. The `encryptData` forms run the same core on the
// calling thread.
#include <optional>
#include <string_view>

#include "storage/crypt/FCCryptor.h"
#include "storage/crypt/FCMessageWriter.h"

namespace quarra {

class FCEncryptor final : public FCCryptor {
  public:
    // Password-based: draws the IV and both salts.
    static std::shared_ptr<FCEncryptor> make(const FCCryptorSettings& settings,
                                             std::string_view password, Handler handler);
    static std::shared_ptr<FCEncryptor> make(const FCCryptorSettings& settings,
                                             std::string_view password, ByteView IV,
                                             ByteView encryptionSalt, ByteView HMACSalt,
                                             Handler handler);
    // Key-based; an empty HMAC key writes no HMAC.
    static std::shared_ptr<FCEncryptor> make(const FCCryptorSettings& settings,
                                             ByteView encryptionKey, ByteView HMACKey,
                                             Handler handler);
    static std::shared_ptr<FCEncryptor> make(const FCCryptorSettings& settings,
                                             ByteView encryptionKey, ByteView HMACKey, ByteView IV,
                                             Handler handler);

    // The whole message for `data`, or the error.
    static Result<Bytes> encryptData(ByteView data, const FCCryptorSettings& settings,
                                     std::string_view password);
    static Result<Bytes> encryptData(ByteView data, const FCCryptorSettings& settings,
                                     std::string_view password, ByteView IV,
                                     ByteView encryptionSalt, ByteView HMACSalt);
    static Result<Bytes> encryptData(ByteView data, const FCCryptorSettings& settings,
                                     ByteView encryptionKey, ByteView HMACKey);
    static Result<Bytes> encryptData(ByteView data, const FCCryptorSettings& settings,
                                     ByteView encryptionKey, ByteView HMACKey, ByteView IV);

    // REQUIRES for these: read from the handler or after completion.
    Bytes header() const { return writer_->header(); }
    const Bytes& encryptionSalt() const { return writer_->encryptionSalt(); }
    const Bytes& HMACSalt() const { return writer_->HMACSalt(); }
    const Bytes& IV() const { return writer_->IV(); }
    bool haveWrittenHeader() const { return writer_->haveWrittenHeader(); }
    std::uint8_t options() const override { return writer_->options(); }
    std::uint64_t HMACLength() const override { return writer_->HMACLength(); }

  private:
    explicit FCEncryptor(Handler handler) : FCCryptor("FCEncryptor", std::move(handler)) {}
    static std::shared_ptr<FCEncryptor> start(Result<FCMessageWriter> writer, Handler handler);
    static Result<Bytes> run(Result<FCMessageWriter> writer, ByteView data);
    ErrorPtr process(ByteView data, Bytes& out) override { return writer_->update(data, out); }
    ErrorPtr complete(Bytes& out) override { return writer_->finish(out); }

    std::optional<FCMessageWriter> writer_;
};

}  // namespace quarra
