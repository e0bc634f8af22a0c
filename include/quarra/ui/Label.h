#pragma once
// A text, wrapped to the label's width and at its line breaks.
#include <string>

#include "quarra/ui/View.h"

namespace quarra::ui {

class Label : public View {
  public:
    using View::View;

    const std::string& text() const { return text_; }
    void setText(std::string text) {
        text_ = std::move(text);
        setNeedsDisplay();
    }
    Color textColor() const { return textColor_; }
    void setTextColor(Color color) {
        textColor_ = color;
        setNeedsDisplay();
    }
    const Font& font() const { return font_; }
    void setFont(Font font) {
        font_ = std::move(font);
        setNeedsDisplay();
    }
    TextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(TextAlignment alignment) { alignment_ = alignment; }

    void draw(Canvas& canvas, const Rect& rect) const override;
    std::string accessibilityLabel() const override { return text_; }

  private:
    std::string text_;
    Color textColor_ = Color::black();
    Font font_;
    TextAlignment alignment_ = TextAlignment::Left;
};

}  // namespace quarra::ui
