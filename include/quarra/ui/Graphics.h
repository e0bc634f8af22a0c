#pragma once
// Plain values of the UI model: points, sizes, rectangles (in points, origin top left), colours
// (components on the 0-to-1 scale, not clamped) and fonts.
#include <string>

namespace quarra::ui {

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    Rect() = default;
    Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}
    double x() const { return origin.x; }
    double y() const { return origin.y; }
    double width() const { return size.width; }
    double height() const { return size.height; }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
    bool operator==(const Rect&) const = default;
};

struct Color {
    double red = 0, green = 0, blue = 0, alpha = 1;

    static Color rgb(double red, double green, double blue, double alpha = 1) {
        return {red, green, blue, alpha};
    }
    static Color white() { return {1, 1, 1, 1}; }
    static Color black() { return {0, 0, 0, 1}; }
    static Color clear() { return {0, 0, 0, 0}; }
    bool operator==(const Color&) const = default;
};

struct Font {
    std::string family = "DejaVu Sans";
    double size = 17;
    bool bold = false;

    static Font system(double size, bool bold = false) { return {"DejaVu Sans", size, bold}; }
    bool operator==(const Font&) const = default;
};

enum class TextAlignment { Left, Center, Right };

}  // namespace quarra::ui
