#include "transport/HTPropertyListRequestSerializer.h"

#include "platform/PropertyList.h"

namespace quarra {

std::shared_ptr<HTPropertyListRequestSerializer> HTPropertyListRequestSerializer::serializer() {
    return serializerWithFormat(PropertyListXMLFormat, 0);
}

std::shared_ptr<HTPropertyListRequestSerializer>
HTPropertyListRequestSerializer::serializerWithFormat(unsigned long format,
                                                      unsigned long writeOptions) {
    auto serializer = std::make_shared<HTPropertyListRequestSerializer>();
    serializer->format_ = format;
    serializer->writeOptions_ = writeOptions;
    return serializer;
}

std::shared_ptr<HTHTTPRequestSerializer> HTPropertyListRequestSerializer::copy() const {
    auto copy = serializerWithFormat(format_, writeOptions_);
    copyInto(*copy);
    return copy;
}

void HTPropertyListRequestSerializer::encodeWithCoder(KeyedArchiver& coder) const {
    HTHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeUInt64(format_, "format");
    coder.encodeUInt64(writeOptions_, "writeOptions");
}

std::shared_ptr<HTPropertyListRequestSerializer> HTPropertyListRequestSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer =
        serializerWithFormat(coder.decodeUInt64("format").value_or(PropertyListXMLFormat),
                             coder.decodeUInt64("writeOptions").value_or(0));
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

Result<UrlRequest> HTPropertyListRequestSerializer::requestBySerializingRequest(
    const UrlRequest& request, const Json& parameters) const {
    return requestWithEncodedBody(request, parameters, "application/x-plist",
                                  [&] { return propertyListData(parameters, format_); });
}

}  // namespace quarra
