#pragma once
// Property-list-like values (dictionaries, arrays, strings, numbers) are JSON values throughout the
// SDK.
#include <nlohmann/json.hpp>

namespace quarra {

using Json = nlohmann::json;

// The value at `key` when `object` is an object holding a string there, else empty.
std::string jsonString(const Json& object, std::string_view key);

}  // namespace quarra
