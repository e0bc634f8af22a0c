#include "core/TVKMIMEType.h"

#include "platform/MimeTypes.h"

namespace quarra {

std::string contentTypeForPathExtension(std::string_view extension) {
    return mimeTypeForPathExtension(extension);
}

std::optional<std::string> pathExtensionForContentType(std::string_view contentType) {
    return pathExtensionForMimeType(contentType);
}

}  // namespace quarra
