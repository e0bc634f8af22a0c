#pragma once
// How a text breaks into lines to fit a width; the measuring is the drawing library's.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quarra::ui {

using TextMeasure = std::function<double(std::string_view)>;

// The lines of `text` no wider than `width` by `measure`: broken at every line break, between
// words, and inside a word only where the word alone is wider (between UTF-8 characters, never
// inside one). Spaces at a break are dropped; no text is lost otherwise.
std::vector<std::string> wrapText(std::string_view text, double width, const TextMeasure& measure);

}  // namespace quarra::ui
