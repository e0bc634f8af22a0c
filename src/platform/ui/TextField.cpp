#include "quarra/ui/TextField.h"

#include "quarra/ui/Keyboard.h"

namespace quarra::ui {
namespace {

// Set while a field takes the focus from another one: the keyboard stays up in between.
bool gHandingOver = false;

}  // namespace

bool TextField::canBecomeFirstResponder() {
    return isEnabled() && isVisibleInHierarchy();
}

bool TextField::becomeFirstResponder() {
    if (isFirstResponder())
        return true;
    auto observer = delegate();
    if (observer && !observer->textFieldShouldBeginEditing(*this))
        return false;
    gHandingOver = true;
    bool focused = Control::becomeFirstResponder();
    gHandingOver = false;
    if (!focused)
        return false;
    Keyboard::show();
    if (observer)
        observer->textFieldDidBeginEditing(*this);
    sendActionsForControlEvents(ControlEventEditingDidBegin);
    return true;
}

bool TextField::resignFirstResponder() {
    if (!isFirstResponder())
        return true;
    auto observer = delegate();
    if (observer && !observer->textFieldShouldEndEditing(*this))
        return false;
    Control::resignFirstResponder();
    if (!gHandingOver)
        Keyboard::hide();
    if (observer)
        observer->textFieldDidEndEditing(*this);
    sendActionsForControlEvents(ControlEventEditingDidEnd);
    return true;
}

bool TextField::tap() {
    if (!isEnabled() || !acceptsTouches())
        return false;
    runTapRecognizers();
    return becomeFirstResponder();
}

bool TextField::typeText(const std::string& characters) {
    if (!isFirstResponder())
        return false;
    if (auto observer = delegate();
        observer && !observer->shouldChangeCharacters(*this, characters))
        return false;
    setText(text_ + characters);
    sendActionsForControlEvents(ControlEventEditingChanged);
    return true;
}

bool TextField::pressReturn() {
    auto observer = delegate();
    return !observer || observer->textFieldShouldReturn(*this);
}

bool TextField::deleteBackward() {
    if (!isFirstResponder() || text_.empty())
        return false;
    if (auto observer = delegate(); observer && !observer->shouldChangeCharacters(*this, ""))
        return false;
    std::size_t end = text_.size() - 1;
    while (end > 0 && (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80)
        --end;
    setText(text_.substr(0, end));
    sendActionsForControlEvents(ControlEventEditingChanged);
    return true;
}

std::string TextField::shownText() const {
    if (!secure_)
        return text_;
    // One dot per character, not per byte of its UTF-8 form.
    std::string shown;
    for (unsigned char c : text_) {
        if ((c & 0xC0) != 0x80)
            shown += "\u2022";
    }
    return shown;
}

void TextField::draw(Canvas& canvas, const Rect& rect) const {
    if (text_.empty()) {
        canvas.drawText(placeholder_, rect, font_, Color::rgb(0.7, 0.7, 0.7), TextAlignment::Left);
        return;
    }
    canvas.drawText(shownText(), rect, font_, textColor_, TextAlignment::Left);
}

}  // namespace quarra::ui
