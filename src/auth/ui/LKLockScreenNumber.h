#pragma once
// A round digit button of the lock screen: a ring in the tint colour, filled while pressed.
#include "quarra/ui/Button.h"

namespace quarra {

class LKLockScreenNumber : public ui::Button {
  public:
    using Button::Button;

    // Redraws only when the state changes.
    void setHighlighted(bool highlighted) override;
    void draw(ui::Canvas& canvas, const ui::Rect& rect) const override;
};

}  // namespace quarra
