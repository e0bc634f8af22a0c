#pragma once
// A request serializer that sends parameters as a property-list body ("application/x-plist");
// methods that encode parameters in the URL still get a query string.
#include "transport/HTHTTPRequestSerializer.h"

namespace quarra {

class HTPropertyListRequestSerializer : public HTHTTPRequestSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTPropertyListRequestSerializer";

    // The XML format (100), no write options.
    static std::shared_ptr<HTPropertyListRequestSerializer> serializer();
    static std::shared_ptr<HTPropertyListRequestSerializer> serializerWithFormat(
        unsigned long format, unsigned long writeOptions);

    std::shared_ptr<HTHTTPRequestSerializer> copy() const override;

    // Also archives "format" and "writeOptions".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTPropertyListRequestSerializer> initWithCoder(KeyedUnarchiver& coder);

    unsigned long format() const { return format_; }
    void setFormat(unsigned long format) { format_ = format; }
    unsigned long writeOptions() const { return writeOptions_; }
    void setWriteOptions(unsigned long options) { writeOptions_ = options; }

    // Without parameters no body and no "Content-Type" are added; parameters a property list cannot
    // hold give the writer's error.
    Result<UrlRequest> requestBySerializingRequest(const UrlRequest& request,
                                                   const Json& parameters) const override;

  private:
    unsigned long format_ = 100;
    unsigned long writeOptions_ = 0;
};

}  // namespace quarra
