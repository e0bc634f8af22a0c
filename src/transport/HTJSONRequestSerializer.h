#pragma once
// A request serializer that sends parameters as a JSON body ("application/json"); methods that
// encode parameters in the URL still get a query string.
#include "transport/HTHTTPRequestSerializer.h"

namespace quarra {

// Writing option: indented output instead of the compact form.
inline constexpr unsigned long HTJSONWritingPrettyPrinted = 1;

class HTJSONRequestSerializer : public HTHTTPRequestSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTJSONRequestSerializer";

    static std::shared_ptr<HTJSONRequestSerializer> serializer();
    static std::shared_ptr<HTJSONRequestSerializer> serializerWithWritingOptions(
        unsigned long options);

    std::shared_ptr<HTHTTPRequestSerializer> copy() const override;

    // Also archives "writingOptions".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTJSONRequestSerializer> initWithCoder(KeyedUnarchiver& coder);

    unsigned long writingOptions() const { return writingOptions_; }
    void setWritingOptions(unsigned long options) { writingOptions_ = options; }

    // Without parameters no body and no "Content-Type" are added. Parameters that are no JSON
    // document (top level not an object or array, a NaN or infinite number, a byte string, text
    // that is not UTF-8) give error -1016 of HTURLRequestSerializationErrorDomain.
    Result<UrlRequest> requestBySerializingRequest(const UrlRequest& request,
                                                   const Json& parameters) const override;

  private:
    unsigned long writingOptions_ = 0;
};

}  // namespace quarra
