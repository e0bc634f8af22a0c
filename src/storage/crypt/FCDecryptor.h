#pragma once
// Decrypts one message of the encrypted data format (versions 2 and 3), fed in chunks of any size,
// in the queue-and-handler form of FCCryptor. Plaintext delivered before the completion is not yet
// authenticated: when the completion carries an error, discard everything received. The
// `decryptData` forms run the same core on the calling thread.
#include <string_view>

#include "storage/crypt/FCCryptor.h"
#include "storage/crypt/FCMessageReader.h"

namespace quarra {

class FCDecryptor final : public FCCryptor {
  public:
    static std::shared_ptr<FCDecryptor> make(ByteView encryptionKey, ByteView HMACKey,
                                             Handler handler);
    static std::shared_ptr<FCDecryptor> make(std::string_view password, Handler handler);

    // The plaintext of a whole message, or the error.
    static Result<Bytes> decryptData(ByteView data, std::string_view password);
    static Result<Bytes> decryptData(ByteView data, ByteView encryptionKey, ByteView HMACKey);
    static Result<Bytes> decryptData(ByteView data, const FCCryptorSettings& settings,
                                     std::string_view password);
    static Result<Bytes> decryptData(ByteView data, const FCCryptorSettings& settings,
                                     ByteView encryptionKey, ByteView HMACKey);

    // Off by default. REQUIRES: before the first `addData` (the work queue reads it with the
    // header).
    bool hasV1HMAC() const { return reader_.hasV1HMAC(); }
    void setHasV1HMAC(bool hasV1HMAC) { reader_.setHasV1HMAC(hasV1HMAC); }

    std::uint8_t options() const override { return reader_.options(); }
    std::uint64_t HMACLength() const override { return reader_.HMACLength(); }

  private:
    FCDecryptor(FCMessageReader reader, Handler handler)
        : FCCryptor("FCDecryptor", std::move(handler)), reader_(std::move(reader)) {}
    ErrorPtr process(ByteView data, Bytes& out) override { return reader_.update(data, out); }
    ErrorPtr complete(Bytes& out) override { return reader_.finish(out); }

    FCMessageReader reader_;
};

}  // namespace quarra
