#pragma once
// A view whose content can be larger than itself and is moved by an offset. The model keeps the
// offset and the insets a screen sets (a keyboard that covers the bottom, for instance) and moves
// the offset when asked to show a part of the content; it does not animate. Main thread only.
#include "quarra/ui/View.h"

namespace quarra::ui {

struct EdgeInsets {
    double top = 0, left = 0, bottom = 0, right = 0;
    bool operator==(const EdgeInsets&) const = default;
};

class ScrollView : public View {
  public:
    using View::View;

    Point contentOffset() const { return offset_; }
    void setContentOffset(Point offset, bool animated = false);
    // Counts the offset changes that asked for an animation, so tests can tell them apart.
    int animatedScrolls() const { return animatedScrolls_; }
    EdgeInsets contentInset() const { return contentInset_; }
    void setContentInset(EdgeInsets insets) { contentInset_ = insets; }
    EdgeInsets scrollIndicatorInsets() const { return indicatorInsets_; }
    void setScrollIndicatorInsets(EdgeInsets insets) { indicatorInsets_ = insets; }

    // Moves the offset as little as possible so that `rect` (in content coordinates) lies inside
    // the part of the view that the insets leave visible; nothing when it already does.
    void scrollRectToVisible(const Rect& rect, bool animated);

    Point boundsOrigin() const override { return offset_; }

  private:
    Point offset_;
    EdgeInsets contentInset_;
    EdgeInsets indicatorInsets_;
    int animatedScrolls_ = 0;
};

}  // namespace quarra::ui
