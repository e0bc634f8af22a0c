#pragma once
// Decodes property-list bodies ("application/x-plist", XML form) into Json.
#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {

class HTPropertyListResponseSerializer : public HTHTTPResponseSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTPropertyListResponseSerializer";

    HTPropertyListResponseSerializer();
    static std::shared_ptr<HTPropertyListResponseSerializer> serializer();
    static std::shared_ptr<HTPropertyListResponseSerializer> serializerWithFormat(
        unsigned long format, unsigned long readOptions);

    std::shared_ptr<HTHTTPResponseSerializer> copy() const override;

    // Also archives "format" and "readOptions".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTPropertyListResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    // Kept and archived; the reader recognises the format itself.
    unsigned long format() const { return format_; }
    void setFormat(unsigned long format) { format_ = format; }
    unsigned long readOptions() const { return readOptions_; }
    void setReadOptions(unsigned long options) { readOptions_ = options; }

    // A Json, or nothing for an unacceptable content type, an empty body or a body that is no
    // property list (the reader's error, any validation error under it).
    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;

  private:
    unsigned long format_ = 100;
    unsigned long readOptions_ = 0;
};

}  // namespace quarra
