#pragma once
// Validates a response's status code and content type and gives the body back unchanged. The base
// of the decoding serializers. Configure it before the first response arrives; afterwards it is
// only read.
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/KeyedArchiver.h"
#include "transport/HTURLResponseSerialization.h"

namespace quarra {

class HTHTTPResponseSerializer : public HTURLResponseSerialization, public Coding {
  public:
    static constexpr const char* ArchiveClassName = "HTHTTPResponseSerializer";

    // Status codes 200 to 299, any content type.
    HTHTTPResponseSerializer();
    HTHTTPResponseSerializer(const HTHTTPResponseSerializer&) = delete;
    HTHTTPResponseSerializer& operator=(const HTHTTPResponseSerializer&) = delete;
    static std::shared_ptr<HTHTTPResponseSerializer> serializer();

    // A new serializer of the same class and settings.
    virtual std::shared_ptr<HTHTTPResponseSerializer> copy() const;

    // Archived as "acceptableStatusCodes" and "acceptableContentTypes"; a key that is absent
    // switches its test off.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTHTTPResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    // Nothing switches the test off.
    const std::optional<std::set<int>>& acceptableStatusCodes() const { return statusCodes_; }
    void setAcceptableStatusCodes(std::optional<std::set<int>> codes) {
        statusCodes_ = std::move(codes);
    }
    // MIME types without parameters; nothing switches the test off.
    const std::optional<std::set<std::string>>& acceptableContentTypes() const {
        return contentTypes_;
    }
    void setAcceptableContentTypes(std::optional<std::set<std::string>> types) {
        contentTypes_ = std::move(types);
    }

    // Whether the response is acceptable; an unacceptable one fails with -1016 (content type; only
    // for a non-empty body) and/or -1011 (status code, the content-type error under it), or is
    // false when there is no error to give. The status and type are not held against a response
    // without a URL (false for the type, no error), and a missing type not against an empty body.
    // A null response is acceptable.
    Result<bool> validateResponse(const HttpResponsePtr& response, const Bytes& data) const;

    // The body (Bytes), whatever the validation says, with the validation's error.
    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;

  protected:
    // The error validation gives, null when there is none. Decoding serializers stop when it is
    // (or holds) an unacceptable content type, see HTErrorOrUnderlyingErrorHasCodeInDomain; any
    // other validation error goes on with them beside the object they decode.
    ErrorPtr validationError(const HttpResponsePtr& response, const Bytes& data) const {
        return validateResponse(response, data).error();
    }
    void copyInto(HTHTTPResponseSerializer& copy) const;
    // Reads what encodeWithCoder wrote into `serializer`; false when the archive is corrupt.
    static bool decodeInto(HTHTTPResponseSerializer& serializer, KeyedUnarchiver& coder);

  private:
    std::optional<std::set<int>> statusCodes_;
    std::optional<std::set<std::string>> contentTypes_;
};

}  // namespace quarra
