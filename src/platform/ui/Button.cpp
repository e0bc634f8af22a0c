#include "quarra/ui/Button.h"

namespace quarra::ui {

void Button::setTitle(std::string title, std::uint64_t state) {
    titles_[state] = std::move(title);
    setNeedsDisplay();
}

std::string Button::titleForState(std::uint64_t state) const {
    auto it = titles_.find(state);
    if (it == titles_.end())
        it = titles_.find(ControlStateNormal);
    return it == titles_.end() ? std::string() : it->second;
}

void Button::setTitleColor(Color color, std::uint64_t state) {
    titleColors_[state] = color;
    setNeedsDisplay();
}

Color Button::titleColorForState(std::uint64_t state) const {
    auto it = titleColors_.find(state);
    if (it == titleColors_.end())
        it = titleColors_.find(ControlStateNormal);
    return it == titleColors_.end() ? Color::white() : it->second;
}

void Button::draw(Canvas& canvas, const Rect& rect) const {
    canvas.drawText(currentTitle(), rect, titleFont_, titleColorForState(state()),
                    TextAlignment::Center);
}

}  // namespace quarra::ui
