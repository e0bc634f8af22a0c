#include "platform/XmlParser.h"

#include <expat.h>

#include <limits>

namespace quarra {
namespace {

struct Context {
    XmlParser* parser;
    XmlParserDelegate* delegate;
    int depth = 0;
};

}  // namespace

bool XmlParser::parse() {
    if (data_.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        error_ = Error::make(XmlParserErrorDomain, XmlParserTooDeepError,
                             "document larger than the parser takes at once");
        return false;
    }
    XML_Parser expat = XML_ParserCreate("UTF-8");
    if (!expat) {
        error_ = Error::make(XmlParserErrorDomain, XmlParserOutOfMemoryError, "out of memory");
        return false;
    }
    expat_ = expat;
    XmlParserDelegate none;
    Context context{this, delegate_ ? delegate_ : &none, 0};
    XML_SetUserData(expat, &context);
    XML_SetElementHandler(
        expat,
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            auto* context = static_cast<Context*>(data);
            // After an abort expat may still report a few events; none reach the delegate.
            if (context->parser->parserError())
                return;
            if (++context->depth > XmlMaxDepth) {
                context->parser->abortParsing(Error::make(
                    XmlParserErrorDomain, XmlParserTooDeepError,
                    "elements nest deeper than " + std::to_string(XmlMaxDepth) + " levels"));
                return;
            }
            std::map<std::string, std::string> map;
            for (int i = 0; attributes[i]; i += 2)
                map[attributes[i]] = attributes[i + 1];
            context->delegate->didStartElement(*context->parser, name, map);
        },
        [](void* data, const XML_Char* name) {
            auto* context = static_cast<Context*>(data);
            if (context->parser->parserError())
                return;
            --context->depth;
            context->delegate->didEndElement(*context->parser, name);
        });
    XML_SetCharacterDataHandler(expat, [](void* data, const XML_Char* text, int length) {
        auto* context = static_cast<Context*>(data);
        if (context->parser->parserError())
            return;
        context->delegate->foundCharacters(*context->parser,
                                           std::string(text, static_cast<size_t>(length)));
    });
    error_ = nullptr;
    bool ok = XML_Parse(expat, reinterpret_cast<const char*>(data_.data()),
                        static_cast<int>(data_.size()), XML_TRUE) == XML_STATUS_OK;
    if (!ok && !error_) {
        error_ = Error::make(XmlParserErrorDomain, XML_GetErrorCode(expat),
                             std::string(XML_ErrorString(XML_GetErrorCode(expat))) + " at line " +
                                 std::to_string(XML_GetCurrentLineNumber(expat)));
    }
    XML_ParserFree(expat);
    expat_ = nullptr;
    return ok;
}

void XmlParser::abortParsing(ErrorPtr error) {
    if (!expat_)
        return;
    error_ = error ? std::move(error)
                   : Error::make(XmlParserErrorDomain, XmlParserAbortedError, "parsing aborted");
    XML_StopParser(static_cast<XML_Parser>(expat_), XML_FALSE);
}

}  // namespace quarra
