#pragma once
// Hands XML bodies ("application/xml", "text/xml") over as a parser, not yet run
// (std::shared_ptr<XmlParser>), for the caller to drive with its own delegate.
#include "platform/XmlParser.h"
#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {

class HTXMLParserResponseSerializer : public HTHTTPResponseSerializer {
  public:
    static constexpr const char* ArchiveClassName = "HTXMLParserResponseSerializer";

    HTXMLParserResponseSerializer();
    static std::shared_ptr<HTXMLParserResponseSerializer> serializer();

    std::shared_ptr<HTHTTPResponseSerializer> copy() const override;

    std::string archiveClassName() const override { return ArchiveClassName; }
    static std::shared_ptr<HTXMLParserResponseSerializer> initWithCoder(KeyedUnarchiver& coder);

    HTSerializedResponse responseObjectForResponse(const HttpResponsePtr& response,
                                                   const Bytes& data) const override;
};

}  // namespace quarra
