#pragma once
// A spinner that shows that something is under way. Stopped it hides itself unless told not to.
#include "quarra/ui/AssociatedObjects.h"
#include "quarra/ui/View.h"

namespace quarra::ui {

class ActivityIndicatorView : public View, public AssociatedObjects {
  public:
    using View::View;

    bool isAnimating() const { return animating_; }
    void startAnimating();
    void stopAnimating();

    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool hides);

  private:
    void updateHidden();

    bool animating_ = false;
    bool hidesWhenStopped_ = true;
};

}  // namespace quarra::ui
