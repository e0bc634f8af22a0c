#pragma once
// The files of the SDK's resources folder, compiled into the library at build time.
#include <span>
#include <string_view>

namespace quarra {

struct EmbeddedResource {
    // The path inside the folder ("Info.json", "de/Localizable.strings.json").
    std::string_view name;
    std::string_view data;
};

std::span<const EmbeddedResource> embeddedResources();

}  // namespace quarra
