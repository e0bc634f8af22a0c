#pragma once
// Decodes JSON bodies ("application/json", "text/json", "text/javascript") into Json.
#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {

// Reading option: a top-level value other than an object or array is accepted.
inline constexpr unsigned long HTJSONReadingFragmentsAllowed = 4;

class HTJSONResponseSerializer : public HTHTTPResponseSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTJSONResponseSerializer";

    HTJSONResponseSerializer();
    static std::shared_ptr<HTJSONResponseSerializer> serializer();
    static std::shared_ptr<HTJSONResponseSerializer> serializerWithReadingOptions(
        unsigned long options);

    std::shared_ptr<HTHTTPResponseSerializer> copy() const override;

    // Also archives "readingOptions" and "removesKeysWithNullValues".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTJSONResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    unsigned long readingOptions() const { return readingOptions_; }
    void setReadingOptions(unsigned long options) { readingOptions_ = options; }
    bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
    void setRemovesKeysWithNullValues(bool value) { removesKeysWithNullValues_ = value; }

    // A Json, or nothing for an unacceptable content type, an empty body, a body of one space, or a
    // body that is no JSON (error 3840 of HTJSONReadingErrorDomain, any validation error under it).
    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;

  private:
    unsigned long readingOptions_ = 0;
    bool removesKeysWithNullValues_ = false;
};

}  // namespace quarra
