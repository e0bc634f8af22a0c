#pragma once
// Standard Base64 (RFC 4648, with padding, no line breaks).
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"

namespace quarra {

std::string base64Encode(const Bytes& bytes);
// Nothing when `text` is not well-formed Base64. With `ignoreUnknown`, characters outside the
// alphabet (line breaks, blanks) are skipped instead of refusing the text.
std::optional<Bytes> base64Decode(std::string_view text, bool ignoreUnknown = false);

}  // namespace quarra
