#include "transport/HTURLRequestSerialization.h"

#include <charconv>

#include "quarra/Url.h"

namespace quarra {
namespace {

void appendPairs(std::vector<HTQueryStringPair>& pairs, std::string_view key, const Json& value) {
    if (value.is_object()) {
        // nlohmann keeps object members sorted by byte order, which is the order the format wants.
        for (const auto& [member, nested] : value.items()) {
            appendPairs(pairs, key.empty() ? member : std::string(key) + "[" + member + "]",
                        nested);
        }
    } else if (value.is_array()) {
        std::string nestedKey = std::string(key) + "[]";
        for (const auto& element : value) {
            appendPairs(pairs, nestedKey, element);
        }
    } else {
        pairs.push_back({std::string(key), value});
    }
}

}  // namespace

std::string HTPercentEscapedStringFromString(std::string_view text) {
    return Url::percentEncode(text, "/?");
}

std::string HTQueryStringDescription(const Json& value) {
    switch (value.type()) {
        case Json::value_t::string:
            return value.get_ref<const std::string&>();
        case Json::value_t::boolean:
            return value.get<bool>() ? "1" : "0";
        case Json::value_t::number_integer:
            return std::to_string(value.get<std::int64_t>());
        case Json::value_t::number_unsigned:
            return std::to_string(value.get<std::uint64_t>());
        case Json::value_t::number_float: {
            char buffer[32];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, value.get<double>());
            return std::string(buffer, result.ptr);
        }
        case Json::value_t::null:
            return {};
        default:
            return value.dump();
    }
}

std::string HTQueryStringPair::URLEncodedStringValue() const {
    std::string text = HTPercentEscapedStringFromString(field);
    if (!value.is_null()) {
        text += '=';
        text += HTPercentEscapedStringFromString(HTQueryStringDescription(value));
    }
    return text;
}

std::vector<HTQueryStringPair> HTQueryStringPairsFromKeyAndValue(std::string_view key,
                                                                 const Json& value) {
    std::vector<HTQueryStringPair> pairs;
    appendPairs(pairs, key, value);
    return pairs;
}

std::vector<HTQueryStringPair> HTQueryStringPairsFromDictionary(const Json& dictionary) {
    return HTQueryStringPairsFromKeyAndValue({}, dictionary);
}

std::string HTQueryStringFromParameters(const Json& parameters) {
    std::string query;
    bool first = true;
    for (const auto& pair : HTQueryStringPairsFromDictionary(parameters)) {
        if (!first)
            query += '&';
        query += pair.URLEncodedStringValue();
        first = false;
    }
    return query;
}

}  // namespace quarra
