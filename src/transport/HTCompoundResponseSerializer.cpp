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

std::any HTCompoundResponseSerializer::responseObjectForResponse(const HttpResponsePtr& response,
                                                                 const Bytes& data,
                                                                 ErrorPtr* error) const {
    for (const auto& serializer : serializers_) {
        if (!serializer)
            continue;
        ErrorPtr serializerError;
        std::any object = serializer->responseObjectForResponse(response, data, &serializerError);
        if (object.has_value()) {
            if (error)
                *error = HTErrorWithUnderlyingError(serializerError, *error);
            return object;
        }
    }
    return HTHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

}  // namespace quarra
