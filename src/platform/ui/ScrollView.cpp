#include "quarra/ui/ScrollView.h"

#include <algorithm>

namespace quarra::ui {

void ScrollView::setContentOffset(Point offset, bool animated) {
    offset_ = offset;
    if (animated)
        ++animatedScrolls_;
    setNeedsDisplay();
}

void ScrollView::scrollRectToVisible(const Rect& rect, bool animated) {
    double visibleTop = offset_.y + contentInset_.top;
    double visibleBottom = offset_.y + bounds().height() - contentInset_.bottom;
    Point target = offset_;
    if (rect.y() + rect.height() > visibleBottom)
        target.y += rect.y() + rect.height() - visibleBottom;
    else if (rect.y() < visibleTop)
        target.y -= visibleTop - rect.y();
    target.y = std::max(target.y, -contentInset_.top);
    if (target != offset_)
        setContentOffset(target, animated);
}

}  // namespace quarra::ui
