#pragma once
// What a caller may add to a "multipart/form-data" body while a form request is built, and the wire
// texts that delimit the parts.
#include <cstdint>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/InputStream.h"
#include "quarra/Url.h"
#include "quarra/UrlRequest.h"

namespace quarra {

// Suggested throttling for slow cellular links: bytes per read and the pause after each piece.
inline constexpr std::uint64_t kHTUploadStream3GSuggestedPacketSize = 16384;
inline constexpr double kHTUploadStream3GSuggestedDelay = 0.2;

inline constexpr std::string_view kHTMultipartCRLF = "\r\n";

// "Boundary+" and 16 random upper-case hexadecimal digits; each form draws its own.
std::string HTCreateMultipartFormBoundary();
// "--B\r\n" before the first part, "\r\n--B\r\n" before every later one, "\r\n--B--\r\n" at the
// end.
std::string HTMultipartFormInitialBoundary(std::string_view boundary);
std::string HTMultipartFormEncapsulationBoundary(std::string_view boundary);
std::string HTMultipartFormFinalBoundary(std::string_view boundary);

// The parts of a form, in the order they are appended. Names and file names may hold any text:
// quotation marks, CR and LF are escaped (as %22, %0D and %0A, as browsers send them), so they can
// never end the quoted value or start a header of their own.
class HTMultipartFormData {
  public:
    virtual ~HTMultipartFormData() = default;

    // A file part named `name`, with the file's last path component as file name and the MIME type
    // of its extension ("application/octet-stream" when it has none). See the next overload.
    [[nodiscard]] virtual ErrorPtr appendPartWithFileURL(const Url& fileURL,
                                                         const std::string& name) = 0;
    // A file part whose body is read from the file while the form is read, its size taken now.
    // Returns null on success; the error, and the form unchanged, when `fileURL` is not a file URL
    // or not a regular file that exists (HTURLRequestSerializationErrorDomain, -1000), or when its
    // size cannot be read.
    [[nodiscard]] virtual ErrorPtr appendPartWithFileURL(const Url& fileURL,
                                                         const std::string& name,
                                                         const std::string& fileName,
                                                         const std::string& mimeType) = 0;
    // A file part whose body is `length` bytes read from `stream` while the form is read.
    virtual void appendPartWithInputStream(InputStreamPtr stream, const std::string& name,
                                           const std::string& fileName, std::int64_t length,
                                           const std::string& mimeType) = 0;
    virtual void appendPartWithFileData(Bytes data, const std::string& name,
                                        const std::string& fileName,
                                        const std::string& mimeType) = 0;
    // A plain field: a Content-Disposition header and the bytes.
    virtual void appendPartWithFormData(Bytes data, const std::string& name) = 0;
    // A part with the caller's header fields, written as given.
    virtual void appendPartWithHeaders(HttpHeaders headers, Bytes body) = 0;
    // No read of the body returns more than `numberOfBytes`, and the reader pauses `delay` seconds
    // after each piece it takes from a part.
    virtual void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) = 0;
};

}  // namespace quarra
