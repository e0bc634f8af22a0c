#pragma once
// An HTTP request as a value: URL, method, header fields (looked up without regard to letter case),
// one kind of body, and the per-request settings a session honours.
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"
#include "quarra/InputStream.h"
#include "quarra/Url.h"

namespace quarra {

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
    static bool equal(std::string_view a, std::string_view b);
};

// Header fields by name; "content-type" finds "Content-Type". The first spelling set is kept.
using HttpHeaders = std::map<std::string, std::string, CaseInsensitiveLess>;

// How a request may use cached replies. The session keeps no cache, so every policy loads from the
// network; the value is carried for callers that set it.
enum class UrlRequestCachePolicy {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

struct UrlRequest {
    UrlRequest() = default;
    explicit UrlRequest(Url url) : url(std::move(url)) {}

    // Empty when the request was built from text that is not a URL; such a request fails when sent.
    Url url;
    std::string httpMethod = "GET";
    HttpHeaders headers;
    // The body: bytes, or a stream (streamed uploads). Upload tasks from a file or from data take
    // their body from the task instead.
    std::optional<Bytes> httpBody;
    InputStreamPtr httpBodyStream;
    // Seconds without any progress before the task fails with a time-out.
    double timeoutInterval = 60;
    UrlRequestCachePolicy cachePolicy = UrlRequestCachePolicy::UseProtocolCachePolicy;
    bool allowsCellularAccess = true;
    bool httpShouldHandleCookies = true;
    bool httpShouldUsePipelining = false;
    unsigned networkServiceType = 0;

    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    // Sets the field, or removes it when `value` is empty.
    void setValue(std::optional<std::string> value, std::string_view field);
    // Appends to an existing value with ", ", as HTTP allows for repeated fields.
    void addValue(std::string_view value, std::string_view field);
};

}  // namespace quarra
