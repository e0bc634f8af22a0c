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

// Errors of parseJson: the code is the parser's error id (nlohmann numbering, e.g. 101 for a syntax
// error) or JsonParseTooDeepError; the description is the parser's message.
inline constexpr const char* JsonParseErrorDomain = "JSONParseError";
enum JsonParseErrorCode : long {
    JsonParseTooDeepError = 0,
};

template <class T>
class Result;  // platform/Result.h, which callers of parseJson include

// The JSON document in `text`; an error of JsonParseErrorDomain when it is not JSON or nests
// deeper than `maxDepth` containers.
Result<Json> parseJson(std::string_view text, std::size_t maxDepth = JsonMaxDepth);

// Whether `text` nests no deeper than `maxDepth` containers (a check on the brackets outside
// strings; the text need not be valid JSON).
bool jsonDepthWithin(std::string_view text, std::size_t maxDepth);

}  // namespace quarra
