#include "auth/ui/TVKTextField.h"

namespace quarra {

TVKTextField::TVKTextField(ui::Rect frame) : TextField(frame) {
    setBorderStyle(ui::TextBorderStyle::None);
    borderLayer_ = ui::Layer::make();
    borderLayer_->setBorderWidth(1.0);
    borderLayer_->setBorderColor(unfocusedColor_);
    layer()->addSublayer(borderLayer_);
    // With the clip only the border layer's top edge shows: a line along the field's bottom.
    layer()->setMasksToBounds(true);
}

void TVKTextField::layoutSubviews() {
    TextField::layoutSubviews();
    ui::Rect b = bounds();
    borderLayer_->setFrame(ui::Rect(0, b.height() - 1, b.width(), b.height()));
}

void TVKTextField::setFocusedUI(bool focused) {
    std::optional<ui::Color> color = focused ? focusColor_ : unfocusedColor_;
    borderLayer_->setBorderColor(color);
    for (const auto& label : {headerLabel_, footerLabel_}) {
        if (label && color)
            label->setTextColor(*color);
    }
}

bool TVKTextField::canBecomeFirstResponder() {
    bool can = TextField::canBecomeFirstResponder();
    setFocusedUI(can);
    return can;
}

bool TVKTextField::resignFirstResponder() {
    bool resigned = TextField::resignFirstResponder();
    setFocusedUI(!resigned);
    return resigned;
}

void TVKTextField::setFocusColor(std::optional<ui::Color> color) {
    focusColor_ = color;
    setFocusedUI(isFirstResponder());
}

void TVKTextField::setUnfocusedColor(std::optional<ui::Color> color) {
    unfocusedColor_ = color;
    setFocusedUI(isFirstResponder());
}

std::string TVKTextField::accessibilityLabel() const {
    std::string label = TextField::accessibilityLabel();
    if (label.empty() && headerLabel_)
        label = headerLabel_->text();
    return label;
}

}  // namespace quarra
