#include "quarra/Json.h"

#include "quarra/Result.h"

namespace quarra {

std::string jsonString(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return {};
    }
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

bool jsonDepthWithin(std::string_view text, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

Result<Json> parseJson(std::string_view text, std::size_t maxDepth) {
    if (!jsonDepthWithin(text, maxDepth)) {
        return Error::make(JsonParseErrorDomain, JsonParseTooDeepError,
                           "JSON text nests deeper than " + std::to_string(maxDepth) + " levels.");
    }
    try {
        return Json::parse(text);
    } catch (const Json::exception& e) {
        return Error::make(JsonParseErrorDomain, e.id, std::string_view(e.what()));
    }
}

}  // namespace quarra
