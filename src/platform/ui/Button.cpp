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

namespace {

void setForState(std::map<std::uint64_t, ImagePtr>& images, ImagePtr image, std::uint64_t state) {
    if (image)
        images[state] = std::move(image);
    else
        images.erase(state);
}

ImagePtr forState(const std::map<std::uint64_t, ImagePtr>& images, std::uint64_t state) {
    auto it = images.find(state);
    if (it == images.end())
        it = images.find(ControlStateNormal);
    return it == images.end() ? nullptr : it->second;
}

}  // namespace

void Button::setImage(ImagePtr image, std::uint64_t state) {
    setForState(images_, std::move(image), state);
    setNeedsDisplay();
}

ImagePtr Button::imageForState(std::uint64_t state) const {
    return forState(images_, state);
}

void Button::setBackgroundImage(ImagePtr image, std::uint64_t state) {
    setForState(backgroundImages_, std::move(image), state);
    setNeedsDisplay();
}

ImagePtr Button::backgroundImageForState(std::uint64_t state) const {
    return forState(backgroundImages_, state);
}

void Button::draw(Canvas& canvas, const Rect& rect) const {
    if (ImagePtr background = currentBackgroundImage())
        canvas.drawImage(*background, rect);
    if (ImagePtr image = currentImage())
        canvas.drawImage(*image, rect);
    canvas.drawText(currentTitle(), rect, titleFont_, titleColorForState(state()),
                    TextAlignment::Center);
}

}  // namespace quarra::ui
