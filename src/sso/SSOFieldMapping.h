#pragma once
// Table-driven mapping of a reply's parameters onto a response: each row of a field map names, by
// the reply's key, the type its value must have (after an optional conversion) to fill the field.
// Whatever a table does not take, unknown keys and known keys of the wrong type alike, is returned
// unchanged as the response's additional parameters. Field maps are built once and only read, so
// any thread may use them.
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quarra/Json.h"
#include "quarra/Url.h"

namespace quarra {

// Whole microseconds, as dates are archived.
using SSODate = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

class SSOFieldMapping {
  public:
    enum class Type { String, Date, URL };
    // What a conversion makes of a received value; std::monostate drops the key altogether.
    using Value = std::variant<std::monostate, Json, SSODate, Url>;
    using Conversion = Value (*)(const Json&);

    explicit SSOFieldMapping(Type expectedType, Conversion conversion = nullptr)
        : expectedType_(expectedType), conversion_(conversion) {}

    Type expectedType() const { return expectedType_; }
    Conversion conversion() const { return conversion_; }

    // Text becomes the URL it parses to, nothing when it does not parse; other values stay.
    static Value URLConversion(const Json& value);
    // A number of seconds (whole seconds, fraction dropped) becomes the date that far from now;
    // other values stay.
    static Value dateSinceNowConversion(const Json& value);
    // A number of seconds becomes the date that far after 1970-01-01 00:00:00 UTC; others stay.
    static Value dateEpochConversion(const Json& value);

  private:
    Type expectedType_;
    Conversion conversion_;
};

// Rows by the reply's key.
using SSOFieldMap = std::map<std::string, SSOFieldMapping, std::less<>>;

// The mapped fields of one response by the reply's key, each holding its row's type.
class SSOMappedFields {
  public:
    using Value = std::variant<std::string, SSODate, Url>;

    // Stores the parameters that `map` takes and returns the others as a JSON object.
    static Json remainingParametersWithMap(const SSOFieldMap& map, const Json& parameters,
                                           SSOMappedFields& instance);

    std::optional<std::string> string(std::string_view key) const { return get<std::string>(key); }
    std::optional<SSODate> date(std::string_view key) const { return get<SSODate>(key); }
    std::optional<Url> url(std::string_view key) const { return get<Url>(key); }
    void set(const std::string& key, Value value) {
        values_.insert_or_assign(key, std::move(value));
    }

    // The value for diagnostics: text in double quotes, a date in UTC, "(null)" when empty; a
    // `secret` value shows only that it is there.
    std::string describe(std::string_view key, bool secret = false) const;

    bool operator==(const SSOMappedFields&) const = default;

  private:
    template <class T>
    std::optional<T> get(std::string_view key) const {
        auto it = values_.find(key);
        if (it == values_.end() || !std::holds_alternative<T>(it->second))
            return std::nullopt;
        return std::get<T>(it->second);
    }

    std::map<std::string, Value, std::less<>> values_;
};

}  // namespace quarra
