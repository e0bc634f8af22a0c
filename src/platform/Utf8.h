#pragma once
// UTF-8 checks for text from outside (a provider's reply, a log line), so that it can always be
// written as JSON.
#include <cstddef>
#include <string>
#include <string_view>

namespace quarra {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);
// The length of the valid sequence that starts at `at`, 0 when the byte there starts none.
size_t utf8SequenceLength(std::string_view text, size_t at);
// The text with each byte that is not part of a valid sequence replaced by U+FFFD.
std::string repairedUtf8(std::string_view text);

}  // namespace quarra
