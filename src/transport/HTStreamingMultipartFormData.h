#pragma once
// Collects the parts of one "multipart/form-data" form for a request and, when finished, makes the
// form the request's body stream with its Content-Type and Content-Length. Used by one thread at a
// time (the one building the request).
#include <memory>
#include <string>

#include "quarra/UrlRequest.h"
#include "transport/HTMultipartBodyStream.h"
#include "transport/HTMultipartFormData.h"

namespace quarra {

class HTStreamingMultipartFormData final : public HTMultipartFormData {
  public:
    // Texts of boundaries and headers are written in `stringEncoding` (UTF-8 is the one in use).
    HTStreamingMultipartFormData(UrlRequest request, unsigned long stringEncoding,
                                 std::string boundary = HTCreateMultipartFormBoundary());
    HTStreamingMultipartFormData(const HTStreamingMultipartFormData&) = delete;
    HTStreamingMultipartFormData& operator=(const HTStreamingMultipartFormData&) = delete;

    const UrlRequest& request() const { return request_; }
    void setRequest(UrlRequest request) { request_ = std::move(request); }
    unsigned long stringEncoding() const { return stringEncoding_; }
    const std::string& boundary() const { return boundary_; }
    const HTMultipartBodyStreamPtr& bodyStream() const { return bodyStream_; }

    [[nodiscard]] ErrorPtr appendPartWithFileURL(const Url& fileURL,
                                                 const std::string& name) override;
    [[nodiscard]] ErrorPtr appendPartWithFileURL(const Url& fileURL, const std::string& name,
                                                 const std::string& fileName,
                                                 const std::string& mimeType) override;
    void appendPartWithInputStream(InputStreamPtr stream, const std::string& name,
                                   const std::string& fileName, std::int64_t length,
                                   const std::string& mimeType) override;
    void appendPartWithFileData(Bytes data, const std::string& name, const std::string& fileName,
                                const std::string& mimeType) override;
    void appendPartWithFormData(Bytes data, const std::string& name) override;
    void appendPartWithHeaders(HttpHeaders headers, Bytes body) override;
    void throttleBandwidthWithPacketSize(std::uint64_t numberOfBytes, double delay) override;

    // The request with the form as body stream (replacing any body it had), "Content-Type"
    // "multipart/form-data; boundary=..." and the form's "Content-Length". A form without parts
    // leaves the request as it was.
    UrlRequest requestByFinalizingMultipartFormData();

  private:
    void appendPart(HttpHeaders headers, HTHTTPBodyPart::Body body, std::uint64_t length);

    UrlRequest request_;
    const unsigned long stringEncoding_;
    const std::string boundary_;
    const HTMultipartBodyStreamPtr bodyStream_;
};

}  // namespace quarra
