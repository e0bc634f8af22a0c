#pragma once
// The fuzz input as text or as bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quarra/Bytes.h"

namespace quarra::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline Bytes bytes(const std::uint8_t* data, std::size_t size) {
    return Bytes(data, data + size);
}

}  // namespace quarra::fuzz
