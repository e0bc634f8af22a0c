#pragma once
// The transport's user-facing texts: looked up in the host's "HTTPTransport" string table with the
// English text as key, which is also what shows when the host has no translation.
#include <string>
#include <string_view>

namespace quarra {

std::string HTLocalizedString(std::string_view english);

}  // namespace quarra
