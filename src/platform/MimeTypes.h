#pragma once
// File-name extension <-> MIME type, from the system table /etc/mime.types (read once).
#include <optional>
#include <string>
#include <string_view>

namespace quarra {

// The MIME type for an extension (without dot, any letter case); "application/octet-stream" when
// the table has none.
std::string mimeTypeForPathExtension(std::string_view extension);
// The preferred extension of a MIME type (any letter case); nothing when the table has none.
std::optional<std::string> pathExtensionForMimeType(std::string_view mimeType);

}  // namespace quarra
