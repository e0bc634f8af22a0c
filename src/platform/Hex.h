#pragma once
// Hexadecimal text of bytes, the form in which encrypted user names are stored.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"

namespace quarra {

// Two upper-case digits per byte, in order, no separators; empty for no bytes.
std::string hexString(std::span<const std::uint8_t> data);

// The bytes of a hex text (up to its first NUL), or nothing for an odd count of digits or a digit
// out of range. Lenient as stored texts have always been read: ":" to "?" read as 10 to 15 and
// bytes below "0" (blanks, and bytes of non-ASCII characters) read as 0.
std::optional<Bytes> dataFromHexString(std::string_view text);

}  // namespace quarra
