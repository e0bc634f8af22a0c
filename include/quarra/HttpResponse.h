#pragma once
// The head of an HTTP reply as a value: where it came from, status, header fields, and what the
// Content-Type and Content-Length fields say.
#include <cstdint>
#include <memory>
#include <string>

#include "quarra/Url.h"
#include "quarra/UrlRequest.h"

namespace quarra {

struct HttpResponse {
    HttpResponse() = default;
    // Derives the MIME type, text encoding and expected length from the fields.
    HttpResponse(Url url, int statusCode, HttpHeaders headers);

    Url url;
    int statusCode = 0;
    HttpHeaders headers;
    // The Content-Type without parameters, lower-cased; empty when the field is missing.
    std::string mimeType;
    // The Content-Type's charset parameter, lower-cased, without quotes; empty when none.
    std::string textEncodingName;
    // The Content-Length, or -1 when unknown.
    std::int64_t expectedContentLength = -1;

    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
};

using HttpResponsePtr = std::shared_ptr<const HttpResponse>;

}  // namespace quarra
