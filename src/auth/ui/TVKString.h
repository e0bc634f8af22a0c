#pragma once
// Colours written as text in the host's configuration: "[248, 151, 43]", red, green and blue on
// the 0-to-255 scale.
#include <optional>
#include <string>

#include "quarra/ui/Graphics.h"

namespace quarra {

struct TVKString {
    // Every "[", "]" and space is dropped and the rest split at ","; exactly three parts give an
    // opaque colour, each part's leading number divided by 255 (0 when it starts with none; not
    // clamped). Anything else, and no text, gives nothing.
    static std::optional<ui::Color> colorWithString(const std::optional<std::string>& text);
    // "[r, g, b]" of the colour's components as stored (0-to-1 scale, six decimals): not the
    // scale colorWithString reads.
    static std::string string(const ui::Color& color);
};

}  // namespace quarra
