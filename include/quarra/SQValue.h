#pragma once
// The values a database connection binds to statement parameters and hands back from result
// columns. Integers of any width become one signed 64-bit value (an unsigned 64-bit value keeps its
// bits, so numbers above INT64_MAX are stored negative), bool becomes 1 or 0, float is widened to
// double.
#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quarra/Bytes.h"

namespace quarra {

// The explicit NULL marker: a column that holds NULL, or a parameter to bind as NULL.
struct SQNull {
    bool operator==(const SQNull&) const = default;
};

// A point in time as seconds since 1970-01-01 GMT, kept as a double so that a REAL column
// round-trips.
using SQDate = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

class SQValue {
  public:
    using Storage = std::variant<SQNull, std::int64_t, double, std::string, Bytes, SQDate>;

    SQValue() = default;
    SQValue(std::nullptr_t) {}
    SQValue(SQNull) {}
    template <std::integral T>
    SQValue(T value) : storage_(static_cast<std::int64_t>(value)) {}
    template <std::floating_point T>
    SQValue(T value) : storage_(static_cast<double>(value)) {}
    SQValue(std::string text) : storage_(std::move(text)) {}
    SQValue(std::string_view text) : storage_(std::string(text)) {}
    SQValue(const char* text) : storage_(std::string(text)) {}
    SQValue(Bytes bytes) : storage_(std::move(bytes)) {}
    SQValue(SQDate date) : storage_(date) {}
    // An empty optional is NULL.
    template <class T>
    SQValue(const std::optional<T>& value) {
        if (value) {
            *this = SQValue(*value);
        }
    }

    const Storage& storage() const { return storage_; }
    bool isNull() const { return std::holds_alternative<SQNull>(storage_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage_); }
    const double* real() const { return std::get_if<double>(&storage_); }
    const std::string* text() const { return std::get_if<std::string>(&storage_); }
    const Bytes* blob() const { return std::get_if<Bytes>(&storage_); }
    const SQDate* date() const { return std::get_if<SQDate>(&storage_); }

    // For trace and log lines.
    std::string description() const;

    bool operator==(const SQValue&) const = default;

  private:
    Storage storage_;
};

using SQArguments = std::vector<SQValue>;
// Column (or parameter) name to value.
using SQDictionary = std::map<std::string, SQValue>;

}  // namespace quarra
