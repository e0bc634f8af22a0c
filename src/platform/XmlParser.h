#pragma once
// An event-driven XML parser over expat: made with a document, it reports elements and text to its
// delegate when parse() runs. One parse per parser; not to be shared between threads while parsing.
#include <map>
#include <memory>
#include <string>

#include "quarra/Bytes.h"
#include "quarra/Error.h"

namespace quarra {

inline constexpr const char* XmlParserErrorDomain = "quarra.xml";
// Codes of XmlParserErrorDomain other than the XML parser library's own (which pass through).
enum XmlParserErrorCode : long {
    // A delegate stopped the parse without saying why.
    XmlParserAbortedError = 0,
    XmlParserOutOfMemoryError = 1,
    // The document nests elements deeper than XmlMaxDepth.
    XmlParserTooDeepError = 1000,
};
// Deeper element nesting than any document the SDK reads; a guard against hostile documents,
// whose delegates (and the values they build) would otherwise grow without bound.
inline constexpr int XmlMaxDepth = 512;

class XmlParser;

class XmlParserDelegate {
  public:
    virtual ~XmlParserDelegate() = default;
    virtual void didStartElement(XmlParser&, const std::string& /*name*/,
                                 const std::map<std::string, std::string>& /*attributes*/) {}
    virtual void didEndElement(XmlParser&, const std::string& /*name*/) {}
    // Text between tags, possibly in several pieces.
    virtual void foundCharacters(XmlParser&, const std::string& /*text*/) {}
};

class XmlParser {
  public:
    explicit XmlParser(Bytes data) : data_(std::move(data)) {}
    XmlParser(const XmlParser&) = delete;
    XmlParser& operator=(const XmlParser&) = delete;

    const Bytes& data() const { return data_; }
    // Not owned; must outlive parse().
    void setDelegate(XmlParserDelegate* delegate) { delegate_ = delegate; }

    // Runs through the document; false when it is not well-formed, nests deeper than XmlMaxDepth
    // or a delegate aborted.
    bool parse();
    // From a delegate callback: stops parsing with `error`.
    void abortParsing(ErrorPtr error);
    // Why parse() failed; null after success.
    const ErrorPtr& parserError() const { return error_; }

  private:
    Bytes data_;
    XmlParserDelegate* delegate_ = nullptr;
    ErrorPtr error_;
    void* expat_ = nullptr;
};

}  // namespace quarra
