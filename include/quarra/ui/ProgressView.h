#pragma once
// A bar that shows how much of some work is done, from 0 to 1.
#include "quarra/ui/AssociatedObjects.h"
#include "quarra/ui/View.h"

namespace quarra::ui {

class ProgressView : public View, public AssociatedObjects {
  public:
    using View::View;

    float progress() const { return progress_; }
    // Values outside 0...1 are pinned to the nearer end.
    void setProgress(float progress, bool animated = false);
    // Whether the last change was to be animated.
    bool lastChangeAnimated() const { return lastChangeAnimated_; }

  private:
    float progress_ = 0;
    bool lastChangeAnimated_ = false;
};

}  // namespace quarra::ui
