#include "sso/SSOCoding.h"

#include <algorithm>

namespace quarra::sso_coding {
namespace {

void encodeDate(KeyedArchiver& coder, SSODate date, const std::string& key) {
    coder.encodeInt64(date.time_since_epoch().count(), key);
}

std::optional<SSODate> decodeDate(KeyedUnarchiver& coder, const std::string& key) {
    std::optional<std::int64_t> microseconds = coder.decodeInt64(key);
    if (!microseconds)
        return std::nullopt;
    return SSODate(std::chrono::microseconds(*microseconds));
}

}  // namespace

void refuse(KeyedUnarchiver& coder, const std::string& key, const char* expected) {
    coder.failWithError(Error::make(
        KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
        std::string_view("The value for key \"" + key + "\" is not " + expected + ".")));
}

void encodeStrings(KeyedArchiver& coder, const std::vector<std::string>& list,
                   const std::string& key) {
    coder.encodeJson(Json(list), key);
}

std::optional<std::vector<std::string>> decodeStrings(KeyedUnarchiver& coder,
                                                      const std::string& key) {
    std::optional<Json> value = coder.decodeJson(key);
    if (!value)
        return std::nullopt;
    bool strings = value->is_array() && std::all_of(value->begin(), value->end(),
                                                    [](const Json& v) { return v.is_string(); });
    if (!strings) {
        refuse(coder, key, "a list of strings");
        return std::nullopt;
    }
    return value->get<std::vector<std::string>>();
}

void encodeStringMap(KeyedArchiver& coder, const std::map<std::string, std::string>& map,
                     const std::string& key) {
    coder.encodeJson(Json(map), key);
}

std::map<std::string, std::string> decodeStringMap(KeyedUnarchiver& coder, const std::string& key) {
    Json value = decodeObject(coder, key);
    std::map<std::string, std::string> map;
    for (const auto& [name, text] : value.items()) {
        if (!text.is_string()) {
            refuse(coder, key, "a map of strings");
            return {};
        }
        map.emplace(name, text.get<std::string>());
    }
    return map;
}

Json decodeObject(KeyedUnarchiver& coder, const std::string& key) {
    Json value = coder.decodeJson(key).value_or(Json::object());
    if (value.is_object())
        return value;
    refuse(coder, key, "a map");
    return Json::object();
}

void encodeResponse(KeyedArchiver& coder, const Coding& request, const SSOFieldMap& map,
                    const SSOMappedFields& fields, const Json& additionalParameters) {
    coder.encodeObject(&request, "request");
    for (const auto& [key, row] : map) {
        if (auto text = fields.string(key))
            coder.encodeString(*text, key);
        else if (auto date = fields.date(key))
            encodeDate(coder, *date, key);
        else if (auto url = fields.url(key))
            coder.encodeUrl(*url, key);
    }
    coder.encodeJson(additionalParameters, "additionalParameters");
}

void decodeResponse(KeyedUnarchiver& coder, const SSOFieldMap& map, SSOMappedFields& fields,
                    Json& additionalParameters) {
    for (const auto& [key, row] : map) {
        std::optional<SSOMappedFields::Value> value;
        switch (row.expectedType()) {
            case SSOFieldMapping::Type::String:
                value = coder.decodeString(key);
                break;
            case SSOFieldMapping::Type::Date:
                value = decodeDate(coder, key);
                break;
            case SSOFieldMapping::Type::URL:
                value = coder.decodeUrl(key);
                break;
        }
        if (value)
            fields.set(key, std::move(*value));
    }
    additionalParameters = decodeObject(coder, "additionalParameters");
}

}  // namespace quarra::sso_coding
