#include "transport/HTCompoundResponseSerializer.h"

namespace quarra {

std::shared_ptr<HTCompoundResponseSerializer>
HTCompoundResponseSerializer::compoundSerializerWithResponseSerializers(Serializers serializers) {
    auto compound = std::make_shared<HTCompoundResponseSerializer>();
    compound->serializers_ = std::move(serializers);
    return compound;
}

std::shared_ptr<HTHTTPResponseSerializer> HTCompoundResponseSerializer::copy() const {
    auto copy = compoundSerializerWithResponseSerializers(serializers_);
    copyInto(*copy);
    return copy;
}

void HTCompoundResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeObjects(serializers_, "responseSerializers");
}

std::shared_ptr<HTCompoundResponseSerializer> HTCompoundResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializers = coder.decodeObjects<HTHTTPResponseSerializer>("responseSerializers");
    auto compound = compoundSerializerWithResponseSerializers(serializers.value_or(Serializers()));
    return decodeInto(*compound, coder) ? compound : nullptr;
}

HTSerializedResponse HTCompoundResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    for (const auto& serializer : serializers_) {
        if (!serializer)
            continue;
        HTSerializedResponse answer = serializer->responseObjectForResponse(response, data);
        if (answer.responseObject.has_value())
            return answer;
    }
    return HTHTTPResponseSerializer::responseObjectForResponse(response, data);
}

}  // namespace quarra
