#pragma once
// Tries a list of serializers in order and answers with the first object one of them gives.
#include <vector>

#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {

class HTCompoundResponseSerializer : public HTHTTPResponseSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTCompoundResponseSerializer";

    using Serializers = std::vector<std::shared_ptr<HTHTTPResponseSerializer>>;

    static std::shared_ptr<HTCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
        Serializers serializers);

    std::shared_ptr<HTHTTPResponseSerializer> copy() const override;

    // Also archives "responseSerializers"; decoding them needs their classes allowed as well.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTCompoundResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    const Serializers& responseSerializers() const { return serializers_; }

    // The first object a member gives, with that member's error; when none gives one, the base
    // class's answer with this serializer's own acceptable sets.
    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;

  private:
    Serializers serializers_;
};

}  // namespace quarra
