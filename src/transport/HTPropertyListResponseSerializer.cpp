#include "transport/HTPropertyListResponseSerializer.h"

#include "platform/PropertyList.h"

namespace quarra {

HTPropertyListResponseSerializer::HTPropertyListResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

std::shared_ptr<HTPropertyListResponseSerializer> HTPropertyListResponseSerializer::serializer() {
    return serializerWithFormat(PropertyListXMLFormat, 0);
}

std::shared_ptr<HTPropertyListResponseSerializer>
HTPropertyListResponseSerializer::serializerWithFormat(unsigned long format,
                                                       unsigned long readOptions) {
    auto serializer = std::make_shared<HTPropertyListResponseSerializer>();
    serializer->format_ = format;
    serializer->readOptions_ = readOptions;
    return serializer;
}

std::shared_ptr<HTHTTPResponseSerializer> HTPropertyListResponseSerializer::copy() const {
    auto copy = serializerWithFormat(format_, readOptions_);
    copyInto(*copy);
    return copy;
}

void HTPropertyListResponseSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeUInt64(format_, "format");
    coder.encodeUInt64(readOptions_, "readOptions");
}

std::shared_ptr<HTPropertyListResponseSerializer> HTPropertyListResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer =
        serializerWithFormat(coder.decodeUInt64("format").value_or(PropertyListXMLFormat),
                             coder.decodeUInt64("readOptions").value_or(0));
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

HTSerializedResponse HTPropertyListResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    ErrorPtr error = validationError(response, data);
    if (HTErrorOrUnderlyingErrorHasCodeInDomain(error) || data.empty())
        return {{}, error};
    auto object = propertyListFromData(data);
    if (!object)
        return {{}, HTErrorWithUnderlyingError(object.error(), error)};
    return {std::move(*object), error};
}

}  // namespace quarra
