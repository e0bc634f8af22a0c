#include "auth/ui/TVKString.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace quarra {
namespace {

// The number a text starts with, read as the platform's text-to-float conversion reads it:
// leading white space, a sign, digits with an optional fraction and exponent; 0 when none.
double leadingNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    std::size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-'))
            ++j;
        if (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) {
            while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j])))
                ++j;
            i = j;
        }
    }
    // Only the validated span reaches strtod, so no hexadecimal, "inf" or "nan" gets through.
    return std::strtod(text.substr(start, i - start).c_str(), nullptr);
}

}  // namespace

std::optional<ui::Color> TVKString::colorWithString(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    std::string kept;
    for (char c : *text) {
        if (c != '[' && c != ']' && c != ' ')
            kept += c;
    }
    std::vector<std::string> parts(1);
    for (char c : kept) {
        if (c == ',')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    if (parts.size() != 3)
        return std::nullopt;
    return ui::Color::rgb(leadingNumber(parts[0]) / 255, leadingNumber(parts[1]) / 255,
                          leadingNumber(parts[2]) / 255, 1);
}

std::string TVKString::string(const ui::Color& color) {
    char text[128];
    std::snprintf(text, sizeof text, "[%f, %f, %f]", color.red, color.green, color.blue);
    return text;
}

}  // namespace quarra
