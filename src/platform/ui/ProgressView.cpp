#include "quarra/ui/ProgressView.h"

#include <algorithm>

namespace quarra::ui {

void ProgressView::setProgress(float progress, bool animated) {
    progress_ = std::clamp(progress, 0.0f, 1.0f);
    lastChangeAnimated_ = animated;
    setNeedsDisplay();
}

}  // namespace quarra::ui
