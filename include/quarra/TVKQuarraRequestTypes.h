#pragma once
// What a request to a Quarra's API is made of and answered with: the method and parameter-encoding
// codes, and the handlers that receive replies, transfer progress and transfer outcomes (on the
// main queue).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Progress.h"
#include "quarra/Url.h"

namespace quarra {

// HTTP method codes of a request.
enum TVKQuarraRequestMethod : unsigned long {
    TVKQuarraRequestMethodGET = 1,
    TVKQuarraRequestMethodPOST = 2,
    TVKQuarraRequestMethodPUT = 3,
};

// How the parameters of a request travel: form URL-encoded or as a JSON body (GET always sends them
// in the query).
enum TVKQuarraParameterEncoding : unsigned long {
    TVKQuarraParameterEncodingFormURL = 1,
    TVKQuarraParameterEncodingJSON = 2,
};

// The server's reply (a JSON object; null for none) and the error (null for none). A reply that
// names a failure comes together with its mapped error.
using TVKQuarraRequestHandler = std::function<void(const Json& response, const ErrorPtr& error)>;

// A transfer's progress object (live: cancel() stops the transfer). Called on the main queue; calls
// are coalesced while the main queue is busy, so the object may have moved on since the last one.
using TVKQuarraProgressHandler = std::function<void(const ProgressPtr& progress)>;
// An upload's outcome: the server's reply (an object, empty when it sent none), the uploaded file,
// the user name of the account that started the upload, the error.
using TVKQuarraUploadHandler =
    std::function<void(const Json& response, const std::optional<Url>& fileURL,
                       const std::optional<std::string>& username, const ErrorPtr& error)>;
// A download's outcome: the server's JSON reply when it sent one instead of a file (else null), the
// destination, its MIME type (from the extension), the user name of the account that started the
// download, the error.
using TVKQuarraDownloadHandler = std::function<void(
    const Json& response, const std::optional<Url>& fileURL, const std::string& mimeType,
    const std::optional<std::string>& username, const ErrorPtr& error)>;

// The largest file an upload takes: 256 MiB.
inline constexpr std::uint64_t TVKMaximumUploadFileSize = 268'435'456;

}  // namespace quarra
