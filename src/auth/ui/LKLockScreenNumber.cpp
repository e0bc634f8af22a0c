#include "auth/ui/LKLockScreenNumber.h"

namespace quarra {

void LKLockScreenNumber::setHighlighted(bool highlighted) {
    if (highlighted == isHighlighted())
        return;
    Button::setHighlighted(highlighted);
    setNeedsDisplay();
}

void LKLockScreenNumber::draw(ui::Canvas& canvas, const ui::Rect& r) const {
    double side = r.height();
    ui::Rect circle(r.x() + 1, r.y() + 1, side - 2, side - 2);
    if (state() & ui::ControlStateHighlighted)
        canvas.fillEllipse(circle, tintColor());
    else
        canvas.strokeEllipse(circle, tintColor(), 0.8);
    Button::draw(canvas, ui::Rect(r.x(), r.y(), side, side));
}

}  // namespace quarra
