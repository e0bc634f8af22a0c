#include "platform/PropertyList.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "platform/Base64.h"
#include "platform/XmlParser.h"

namespace quarra {
namespace {

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool write(const Json& value, std::string& out, int depth, std::string& problem) {
    if (depth > XmlMaxDepth) {
        problem = "values nested deeper than " + std::to_string(XmlMaxDepth) + " levels";
        return false;
    }
    std::string indent(static_cast<size_t>(depth), '\t');
    switch (value.type()) {
        case Json::value_t::object:
            out += indent + "<dict>\n";
            for (const auto& [key, member] : value.items()) {
                out += indent + "\t<key>" + escaped(key) + "</key>\n";
                if (!write(member, out, depth + 1, problem))
                    return false;
            }
            out += indent + "</dict>\n";
            return true;
        case Json::value_t::array:
            out += indent + "<array>\n";
            for (const auto& element : value) {
                if (!write(element, out, depth + 1, problem))
                    return false;
            }
            out += indent + "</array>\n";
            return true;
        case Json::value_t::string:
            out += indent + "<string>" + escaped(value.get<std::string>()) + "</string>\n";
            return true;
        case Json::value_t::boolean:
            out += indent + (value.get<bool>() ? "<true/>\n" : "<false/>\n");
            return true;
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
            out += indent + "<integer>" + value.dump() + "</integer>\n";
            return true;
        case Json::value_t::number_float: {
            double number = value.get<double>();
            if (!std::isfinite(number)) {
                problem = "a real that is not finite";
                return false;
            }
            char buffer[32];
            auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
            out += indent + "<real>" + std::string(buffer, end) + "</real>\n";
            return true;
        }
        case Json::value_t::binary:
            out += indent + "<data>" + base64Encode(value.get_binary()) + "</data>\n";
            return true;
        default:
            problem = "a null value";
            return false;
    }
}

// Builds the value from the element events: containers on a stack, scalars from their text.
class Reader : public XmlParserDelegate {
  public:
    std::optional<Json> result;

    void didStartElement(XmlParser& parser, const std::string& name,
                         const std::map<std::string, std::string>&) override {
        text_.clear();
        if (name == "plist") {
            if (sawPlist_)
                parser.abortParsing(corrupt("nested plist"));
            sawPlist_ = true;
        } else if (name == "dict" || name == "array") {
            stack_.push_back(name == "dict" ? Json::object() : Json::array());
            keys_.emplace_back();
        } else if (!isScalar(name)) {
            parser.abortParsing(corrupt("unknown element <" + name + ">"));
        }
    }

    void foundCharacters(XmlParser&, const std::string& text) override { text_ += text; }

    void didEndElement(XmlParser& parser, const std::string& name) override {
        if (name == "plist")
            return;
        if (name == "key") {
            if (stack_.empty() || !stack_.back().is_object() || keys_.back()) {
                parser.abortParsing(corrupt("a key outside a dictionary"));
                return;
            }
            keys_.back() = text_;
            return;
        }
        Json value;
        if (name == "dict" || name == "array") {
            value = std::move(stack_.back());
            stack_.pop_back();
            keys_.pop_back();
        } else if (auto scalar = this->scalar(name)) {
            value = std::move(*scalar);
        } else {
            parser.abortParsing(corrupt("a malformed <" + name + ">"));
            return;
        }
        if (!add(std::move(value)))
            parser.abortParsing(corrupt("a value without a key"));
    }

  private:
    static bool isScalar(const std::string& name) {
        return name == "key" || name == "string" || name == "integer" || name == "real" ||
               name == "true" || name == "false" || name == "data" || name == "date";
    }

    static ErrorPtr corrupt(const std::string& why) {
        return Error::make(PropertyListErrorDomain, PropertyListReadCorruptError,
                           "Not a property list: " + why + ".");
    }

    std::optional<Json> scalar(const std::string& name) const {
        if (name == "string" || name == "date")
            return Json(text_);
        if (name == "true")
            return Json(true);
        if (name == "false")
            return Json(false);
        if (name == "data") {
            auto bytes = base64Decode(text_, /*ignoreUnknown=*/true);
            return bytes ? std::optional(Json::binary(std::move(*bytes))) : std::nullopt;
        }
        if (name == "integer") {
            std::int64_t number = 0;
            auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), number);
            if (ec == std::errc() && end == text_.data() + text_.size())
                return Json(number);
            return std::nullopt;
        }
        double number = 0;  // real
        auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), number);
        if (ec == std::errc() && end == text_.data() + text_.size())
            return Json(number);
        return std::nullopt;
    }

    bool add(Json value) {
        if (stack_.empty()) {
            if (result)
                return false;
            result = std::move(value);
        } else if (stack_.back().is_array()) {
            stack_.back().push_back(std::move(value));
        } else {
            if (!keys_.back())
                return false;
            stack_.back()[*keys_.back()] = std::move(value);
            keys_.back().reset();
        }
        return true;
    }

    std::vector<Json> stack_;
    std::vector<std::optional<std::string>> keys_;
    std::string text_;
    bool sawPlist_ = false;
};

}  // namespace

Result<Bytes> propertyListData(const Json& value, unsigned long format) {
    std::string problem;
    std::string out;
    if (format != PropertyListXMLFormat) {
        problem = "only the XML format is written";
    } else {
        out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
        if (write(value, out, 0, problem)) {
            out += "</plist>\n";
            return toBytes(out);
        }
    }
    return Error::make(PropertyListErrorDomain, PropertyListWriteInvalidError,
                       "Cannot write a property list: " + problem + ".");
}

Result<Json> propertyListFromData(const Bytes& data) {
    XmlParser parser(data);
    Reader reader;
    parser.setDelegate(&reader);
    if (parser.parse() && reader.result)
        return std::move(*reader.result);
    if (parser.parserError())
        return parser.parserError();
    return Error::make(PropertyListErrorDomain, PropertyListReadCorruptError,
                       "Not a property list: no value.");
}

}  // namespace quarra
