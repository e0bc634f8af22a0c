#pragma once
// The opening of an object's diagnostic text: "<ClassName: 0x...".
#include <cstdio>
#include <string>

namespace quarra {

inline std::string descriptionPrefix(const char* className, const void* object) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", object);
    return std::string("<") + className + ": " + address;
}

}  // namespace quarra
