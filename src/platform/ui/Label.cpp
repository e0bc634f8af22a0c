#include "quarra/ui/Label.h"

namespace quarra::ui {

void Label::draw(Canvas& canvas, const Rect& rect) const {
    canvas.drawText(text_, rect, font_, textColor_, alignment_);
}

}  // namespace quarra::ui
