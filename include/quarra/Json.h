#pragma once
// Property-list-like values (dictionaries, arrays, strings, numbers) are JSON values throughout the
// SDK.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/JsonFwd.h"

namespace quarra {

// The value at `key` when `object` is an object holding a string there, else empty.
std::string jsonString(const Json& object, std::string_view key);

// Deeper nesting than any document the SDK reads or writes. Copies, comparisons and writers walk
// values recursively, so a document from outside that nests deeper is refused at parsing, before
// any of them can overflow the stack.
inline constexpr std::size_t JsonMaxDepth = 512;

// Why parseJson refused a text: the parser's error id (nlohmann numbering; 0 for nesting too deep)
// and a message.
struct JsonParseFailure {
    int id = 0;
    std::string message;
};

// The JSON document in `text`; nothing, with `*failure`, when it is not JSON or nests deeper than
// `maxDepth` containers.
std::optional<Json> parseJson(std::string_view text, JsonParseFailure* failure = nullptr,
                              std::size_t maxDepth = JsonMaxDepth);

// Whether `text` nests no deeper than `maxDepth` containers (a check on the brackets outside
// strings; the text need not be valid JSON).
bool jsonDepthWithin(std::string_view text, std::size_t maxDepth);

}  // namespace quarra
