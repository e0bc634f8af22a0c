#include "platform/Hex.h"

namespace quarra {

std::string hexString(std::span<const std::uint8_t> data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(data.size() * 2);
    for (std::uint8_t byte : data) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::optional<Bytes> dataFromHexString(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    auto digit = [](char c) -> int {
        auto d = static_cast<signed char>(c);
        if (d >= 'a') {
            return d - 87;
        }
        if (d >= 'A') {
            return d - 55;
        }
        return d < '0' ? 0 : d - '0';
    };
    Bytes data;
    data.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = digit(text[i]);
        int low = digit(text[i + 1]);
        if (high > 15 || low > 15) {
            return std::nullopt;
        }
        data.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return data;
}

}  // namespace quarra
