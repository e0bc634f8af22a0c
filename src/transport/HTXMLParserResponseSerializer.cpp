#include "transport/HTXMLParserResponseSerializer.h"

namespace quarra {

HTXMLParserResponseSerializer::HTXMLParserResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

std::shared_ptr<HTXMLParserResponseSerializer> HTXMLParserResponseSerializer::serializer() {
    return std::make_shared<HTXMLParserResponseSerializer>();
}

std::shared_ptr<HTHTTPResponseSerializer> HTXMLParserResponseSerializer::copy() const {
    auto copy = serializer();
    copyInto(*copy);
    return copy;
}

std::shared_ptr<HTXMLParserResponseSerializer> HTXMLParserResponseSerializer::initWithCoder(
    KeyedUnarchiver& coder) {
    auto serializer = HTXMLParserResponseSerializer::serializer();
    return decodeInto(*serializer, coder) ? serializer : nullptr;
}

HTSerializedResponse HTXMLParserResponseSerializer::responseObjectForResponse(
    const HttpResponsePtr& response, const Bytes& data) const {
    ErrorPtr error = validationError(response, data);
    if (HTErrorOrUnderlyingErrorHasCodeInDomain(error))
        return {{}, error};
    return {std::make_shared<XmlParser>(data), error};
}

}  // namespace quarra
