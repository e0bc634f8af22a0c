#pragma once
// UTF-8 checks for text that arrives from a provider, so that it can always be written as JSON.
#include <string>
#include <string_view>

namespace quarra {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);
// The text with each byte that is not part of a valid sequence replaced by U+FFFD.
std::string repairedUtf8(std::string_view text);

}  // namespace quarra
