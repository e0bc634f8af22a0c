#include "sso/SSOFieldMapping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/DateFormatter.h"

namespace quarra {
namespace {

// Far beyond any real expiry; keeps date arithmetic well away from overflow.
constexpr std::int64_t kMaxSeconds = 200LL * 366 * 24 * 3600;

std::optional<std::chrono::seconds> wholeSeconds(const Json& value) {
    double seconds;
    if (value.is_number_integer() && value.is_number_unsigned()) {
        seconds = static_cast<double>(value.get<std::uint64_t>());
    } else if (value.is_number_integer()) {
        seconds = static_cast<double>(value.get<std::int64_t>());
    } else if (value.is_number_float()) {
        seconds = value.get<double>();
        if (std::isnan(seconds))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    seconds = std::clamp(std::trunc(seconds), double(-kMaxSeconds), double(kMaxSeconds));
    return std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

}  // namespace

SSOFieldMapping::Value SSOFieldMapping::URLConversion(const Json& value) {
    if (!value.is_string())
        return value;
    if (auto url = Url::parse(value.get<std::string>()))
        return *url;
    return std::monostate{};
}

SSOFieldMapping::Value SSOFieldMapping::dateSinceNowConversion(const Json& value) {
    if (auto seconds = wholeSeconds(value))
        return std::chrono::time_point_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now()) +
               *seconds;
    return value;
}

SSOFieldMapping::Value SSOFieldMapping::dateEpochConversion(const Json& value) {
    if (auto seconds = wholeSeconds(value))
        return SSODate(*seconds);
    return value;
}

Json SSOMappedFields::remainingParametersWithMap(const SSOFieldMap& map, const Json& parameters,
                                                 SSOMappedFields& instance) {
    Json remaining = Json::object();
    if (!parameters.is_object())
        return remaining;
    for (const auto& [key, raw] : parameters.items()) {
        auto row = map.find(key);
        if (row == map.end()) {
            remaining[key] = raw;
            continue;
        }
        const SSOFieldMapping& mapping = row->second;
        SSOFieldMapping::Value value = mapping.conversion() ? mapping.conversion()(raw) : raw;
        switch (mapping.expectedType()) {
            case SSOFieldMapping::Type::String:
                if (auto* json = std::get_if<Json>(&value); json && json->is_string()) {
                    instance.set(key, json->get<std::string>());
                    continue;
                }
                break;
            case SSOFieldMapping::Type::Date:
                if (auto* date = std::get_if<SSODate>(&value)) {
                    instance.set(key, *date);
                    continue;
                }
                break;
            case SSOFieldMapping::Type::URL:
                if (auto* url = std::get_if<Url>(&value)) {
                    instance.set(key, *url);
                    continue;
                }
                break;
        }
        // A known key of the wrong type is kept beside the unknown ones; a value the conversion
        // turned into nothing is dropped.
        if (auto* json = std::get_if<Json>(&value))
            remaining[key] = std::move(*json);
    }
    return remaining;
}

std::string SSOMappedFields::describe(std::string_view key, bool secret) const {
    auto it = values_.find(key);
    if (it == values_.end())
        return "(null)";
    if (secret)
        return "\"***\"";
    if (auto* text = std::get_if<std::string>(&it->second))
        return '"' + *text + '"';
    if (auto* url = std::get_if<Url>(&it->second))
        return url->string();
    // A date describes itself in GMT: "2026-01-02 03:04:05 +0000".
    // Never destroyed, like the field maps.
    static const DateFormatterPtr& format = *new DateFormatterPtr(
        DateFormatter::make("yyyy-MM-dd HH:mm:ss Z", "en_US_POSIX", "GMT").value());
    return format->stringFromDate(std::get<SSODate>(it->second));
}

}  // namespace quarra
