#pragma once
// MIME types for file names, used by uploads and downloads.
#include <optional>
#include <string>
#include <string_view>

namespace quarra {

// The MIME type of a file-name extension (without dot); "application/octet-stream" when unknown.
std::string contentTypeForPathExtension(std::string_view extension);
// The preferred extension of a MIME type; nothing when unknown.
std::optional<std::string> pathExtensionForContentType(std::string_view contentType);

}  // namespace quarra
