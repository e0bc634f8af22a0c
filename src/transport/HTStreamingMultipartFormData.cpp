#include "transport/HTStreamingMultipartFormData.h"

#include <errno.h>

#include <filesystem>
#include <system_error>

#include "platform/Files.h"
#include "platform/MimeTypes.h"
#include "platform/URLError.h"
#include "transport/HTLocalizedString.h"
#include "transport/HTURLRequestSerialization.h"

namespace quarra {
namespace {

// The value of a Content-Disposition parameter: quoted, with the three characters that could end it
// or start a line of their own percent-escaped.
std::string quotedParameter(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                out += "%22";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            default:
                out += c;
        }
    }
    return out += '"';
}

HttpHeaders fileHeaders(const std::string& name, const std::string& fileName,
                        const std::string& mimeType) {
    return {{"Content-Disposition", "form-data; name=" + quotedParameter(name) +
                                        "; filename=" + quotedParameter(fileName)},
            {"Content-Type", mimeType}};
}

ErrorPtr fileURLError(std::string_view reason) {
    return Error::make(HTURLRequestSerializationErrorDomain, URLErrorBadURL,
                       Json{{LocalizedFailureReasonKey, HTLocalizedString(reason)}});
}

}  // namespace

HTStreamingMultipartFormData::HTStreamingMultipartFormData(UrlRequest request,
                                                           unsigned long stringEncoding,
                                                           std::string boundary)
    : request_(std::move(request)),
      stringEncoding_(stringEncoding),
      boundary_(std::move(boundary)),
      bodyStream_(std::make_shared<HTMultipartBodyStream>(stringEncoding)) {}

ErrorPtr HTStreamingMultipartFormData::appendPartWithFileURL(const Url& fileURL,
                                                             const std::string& name) {
    std::string fileName = fileURL.lastPathComponent();
    std::string extension = std::filesystem::path(fileName).extension().string();
    std::string mimeType = mimeTypeForPathExtension(extension.empty() ? "" : extension.substr(1));
    return appendPartWithFileURL(fileURL, name, fileName, mimeType);
}

ErrorPtr HTStreamingMultipartFormData::appendPartWithFileURL(const Url& fileURL,
                                                             const std::string& name,
                                                             const std::string& fileName,
                                                             const std::string& mimeType) {
    ErrorPtr failure;
    std::uint64_t size = 0;
    if (!fileURL.isFileUrl()) {
        failure = fileURLError("Expected URL to be a file URL");
    } else {
        std::filesystem::path path = fileURL.filePath();
        std::error_code ec;
        auto status = std::filesystem::status(path, ec);
        if (!std::filesystem::exists(status)) {
            failure = fileURLError("File URL not reachable.");
        } else if (!std::filesystem::is_regular_file(status)) {
            // Its size says nothing about what it would yield, so the form's length would lie.
            failure = posixError(std::filesystem::is_directory(status) ? EISDIR : EINVAL,
                                 "not a regular file: " + path.string());
        } else if (size = std::filesystem::file_size(path, ec); ec) {
            failure = posixError(ec.value(), "cannot read the size of " + path.string());
        }
    }
    if (failure)
        return failure;
    appendPart(fileHeaders(name, fileName, mimeType), fileURL, size);
    return nullptr;
}

void HTStreamingMultipartFormData::appendPartWithInputStream(InputStreamPtr stream,
                                                             const std::string& name,
                                                             const std::string& fileName,
                                                             std::int64_t length,
                                                             const std::string& mimeType) {
    appendPart(fileHeaders(name, fileName, mimeType), std::move(stream),
               static_cast<std::uint64_t>(std::max<std::int64_t>(length, 0)));
}

void HTStreamingMultipartFormData::appendPartWithFileData(Bytes data, const std::string& name,
                                                          const std::string& fileName,
                                                          const std::string& mimeType) {
    appendPartWithHeaders(fileHeaders(name, fileName, mimeType), std::move(data));
}

void HTStreamingMultipartFormData::appendPartWithFormData(Bytes data, const std::string& name) {
    appendPartWithHeaders({{"Content-Disposition", "form-data; name=" + quotedParameter(name)}},
                          std::move(data));
}

void HTStreamingMultipartFormData::appendPartWithHeaders(HttpHeaders headers, Bytes body) {
    std::uint64_t length = body.size();
    appendPart(std::move(headers), std::make_shared<const Bytes>(std::move(body)), length);
}

void HTStreamingMultipartFormData::throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes,
                                                                   double delay) {
    bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
    bodyStream_->setDelay(delay);
}

UrlRequest HTStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (bodyStream_->isEmpty())
        return request_;
    bodyStream_->setInitialAndFinalBoundaries();
    request_.httpBody.reset();
    request_.httpBodyStream = bodyStream_;
    request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
    request_.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
    return request_;
}

void HTStreamingMultipartFormData::appendPart(HttpHeaders headers, HTHTTPBodyPart::Body body,
                                              std::uint64_t length) {
    auto part = std::make_unique<HTHTTPBodyPart>();
    part->stringEncoding = stringEncoding_;
    part->headers = std::move(headers);
    part->boundary = boundary_;
    part->body = std::move(body);
    part->bodyContentLength = length;
    bodyStream_->appendHTTPBodyPart(std::move(part));
}

}  // namespace quarra
