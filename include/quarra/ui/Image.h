#pragma once
// An image of the UI model: either pixels (straight RGBA rows, read from a PNG file) or a drawing
// that paints itself into any rectangle (how the SDK's own small symbols are made). Immutable once
// made; shared between image views.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quarra/ui/Canvas.h"
#include "quarra/ui/Graphics.h"

namespace quarra::ui {

struct Image;
using ImagePtr = std::shared_ptr<const Image>;

struct Image {
    std::string name;
    // In points.
    Size size;
    // Pixels, when the image has them: pixelWidth * pixelHeight * 4 bytes, straight RGBA.
    int pixelWidth = 0, pixelHeight = 0;
    std::vector<std::uint8_t> rgba;
    // A drawing, when the image is made of one.
    std::function<void(Canvas&, const Rect&)> drawing;

    // "<folder>/<name>.png", or null when there is no such (readable) PNG file.
    static ImagePtr named(const std::string& name, const std::filesystem::path& folder);
    static ImagePtr drawn(std::string name, Size size,
                          std::function<void(Canvas&, const Rect&)> drawing);
};

}  // namespace quarra::ui
