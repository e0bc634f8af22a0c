#pragma once
// Either direction of the encrypted data format behind one interface, for code that streams a file
// one way or the other with a password. Movable, not copyable; one thread at a time.
#include <variant>

#include "storage/crypt/FCMessageReader.h"
#include "storage/crypt/FCMessageWriter.h"

namespace quarra {

class FCMessageCodec {
  public:
    // Encrypting: a version-3 message with the preset settings and fresh salts and IV.
    // Decrypting: reads versions 2 and 3. Nothing and the error when the writer cannot be made.
    static std::optional<FCMessageCodec> make(bool encrypt, std::string_view password,
                                              ErrorPtr* error) {
        if (!encrypt) {
            return FCMessageCodec(FCMessageReader(password));
        }
        auto writer = FCMessageWriter::make(kFCCryptorAES256Settings, password, error);
        if (!writer) {
            return std::nullopt;
        }
        return FCMessageCodec(std::move(*writer));
    }

    ErrorPtr update(ByteView data, Bytes& out) {
        return std::visit([&](auto& core) { return core.update(data, out); }, core_);
    }
    ErrorPtr finish(Bytes& out) {
        return std::visit([&](auto& core) { return core.finish(out); }, core_);
    }

  private:
    explicit FCMessageCodec(FCMessageWriter writer) : core_(std::move(writer)) {}
    explicit FCMessageCodec(FCMessageReader reader) : core_(std::move(reader)) {}

    std::variant<FCMessageWriter, FCMessageReader> core_;
};

}  // namespace quarra
