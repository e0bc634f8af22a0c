#pragma once
// What a view may draw with. Views describe their own look through this interface; the PNG
// renderers implement it over cairo, so no view depends on a drawing library.
#include <string>

#include "quarra/ui/Graphics.h"
#include "quarra/ui/Image.h"

namespace quarra::ui {

class Canvas {
  public:
    virtual ~Canvas() = default;

    virtual void fillRect(const Rect& rect, const Color& color) = 0;
    // The ellipse inscribed in `rect`.
    virtual void fillEllipse(const Rect& rect, const Color& color) = 0;
    virtual void strokeEllipse(const Rect& rect, const Color& color, double lineWidth) = 0;
    virtual void strokeLine(Point from, Point to, const Color& color, double lineWidth) = 0;
    // Text broken into lines at its line breaks and wherever it would run past the width of
    // `rect`, each line aligned within that width, the lines vertically centred. Lines that do
    // not fit the height are set smaller; none is ever cut off.
    virtual void drawText(const std::string& text, const Rect& rect, const Font& font,
                          const Color& color, TextAlignment alignment) = 0;
    // The image scaled into `rect`.
    virtual void drawImage(const Image& image, const Rect& rect) = 0;
};

}  // namespace quarra::ui
