#include "platform/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace quarra {
namespace {

bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::string base64Encode(const Bytes& bytes) {
    if (bytes.size() > INT_MAX / 4 * 3) {
        return {};
    }
    // Four characters per three bytes, and the terminating NUL the encoder writes.
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                 static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknown) {
    std::string symbols;
    symbols.reserve(text.size());
    size_t padding = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
        } else if (isAlphabet(c)) {
            if (padding) {
                return std::nullopt;  // data after padding
            }
            symbols += c;
        } else if (!ignoreUnknown) {
            return std::nullopt;
        }
    }
    // Padding is optional, but when present it must complete the last group.
    if (symbols.size() % 4 == 1 || padding > 2 || (padding && (symbols.size() + padding) % 4)) {
        return std::nullopt;
    }
    // Given padding was dropped above; the decoder wants it back.
    size_t missing = (4 - symbols.size() % 4) % 4;
    symbols.append(missing, '=');
    if (symbols.size() > INT_MAX) {
        return std::nullopt;
    }
    Bytes out(symbols.size() / 4 * 3);
    int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(symbols.data()),
                                 static_cast<int>(symbols.size()));
    if (length < 0) {
        return std::nullopt;
    }
    // The decoder counts the bytes that padding stands for; they are not data.
    out.resize(static_cast<size_t>(length) - missing);
    return out;
}

}  // namespace quarra
