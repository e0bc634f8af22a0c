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
    // Decrypting: reads versions 2 and 3. The error when the writer cannot be made.
    static Result<FCMessageCodec> make(bool encrypt, std::string_view password) {
        if (!encrypt) {
            return FCMessageCodec(FCMessageReader(password));
        }
        auto writer = FCMessageWriter::make(kFCCryptorAES256Settings, password);
        if (!writer) {
            return writer.error();
        }
        return FCMessageCodec(std::move(*writer));
    }

    [[nodiscard]] ErrorPtr update(ByteView data, Bytes& out) {
        return std::visit([&](auto& core) { return core.update(data, out); }, core_);
    }
    [[nodiscard]] ErrorPtr finish(Bytes& out) {
        return std::visit([&](auto& core) { return core.finish(out); }, core_);
    }

  private:
    explicit FCMessageCodec(FCMessageWriter writer) : core_(std::move(writer)) {}
    explicit FCMessageCodec(FCMessageReader reader) : core_(std::move(reader)) {}

    std::variant<FCMessageWriter, FCMessageReader> core_;
};

}  // namespace quarra
