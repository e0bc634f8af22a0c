#include "quarra/ui/ActivityIndicatorView.h"

namespace quarra::ui {

void ActivityIndicatorView::startAnimating() {
    animating_ = true;
    updateHidden();
}

void ActivityIndicatorView::stopAnimating() {
    animating_ = false;
    updateHidden();
}

void ActivityIndicatorView::setHidesWhenStopped(bool hides) {
    hidesWhenStopped_ = hides;
    updateHidden();
}

void ActivityIndicatorView::updateHidden() {
    if (hidesWhenStopped_)
        setHidden(!animating_);
    setNeedsDisplay();
}

}  // namespace quarra::ui
