#pragma once
// Pieces of the objects' diagnostic texts.
#include <cstdio>
#include <string>

#include "quarra/Json.h"

namespace quarra {

inline std::string descriptionPrefix(const char* className, const void* object) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", object);
    return std::string("<") + className + ": " + address;
}

// Compact JSON; bytes that are no UTF-8 show as U+FFFD instead of failing the text.
inline std::string jsonText(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quarra
