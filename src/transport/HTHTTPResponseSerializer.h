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

    // True when acceptable. Otherwise false, with `*error` set to -1016 (content type; only for a
    // non-empty body) and/or -1011 (status code, the content-type error under it); the error may be
    // null. The status and type are not held against a response without a URL, and a missing type
    // not against an empty body. A null response is acceptable.
    bool validateResponse(const HttpResponsePtr& response, const Bytes& data,
                          ErrorPtr* error = nullptr) const;

    // The body (Bytes), whatever the validation says.
    std::any responseObjectForResponse(const HttpResponsePtr& response, const Bytes& data,
                                       ErrorPtr* error = nullptr) const override;

  protected:
    // Validation for decoding serializers: false when decoding must stop (an unacceptable content
    // type, or any failure when the caller takes no error); other failures leave their error in
    // `*error` and let decoding go on.
    bool validateForDecoding(const HttpResponsePtr& response, const Bytes& data,
                             ErrorPtr* error) const;
    void copyInto(HTHTTPResponseSerializer& copy) const;
    // Reads what encodeWithCoder wrote into `serializer`; false when the archive is corrupt.
    static bool decodeInto(HTHTTPResponseSerializer& serializer, KeyedUnarchiver& coder);

  private:
    std::optional<std::set<int>> statusCodes_;
    std::optional<std::set<std::string>> contentTypes_;
};

}  // namespace quarra
