#pragma once
// The pull-to-refresh control of a scrolling list: the user's pull sends value-changed, and the
// owner says when refreshing begins and ends.
#include "quarra/ui/AssociatedObjects.h"
#include "quarra/ui/Control.h"

namespace quarra::ui {

class RefreshControl : public Control, public AssociatedObjects {
  public:
    using Control::Control;

    bool isRefreshing() const { return refreshing_; }
    void beginRefreshing();
    void endRefreshing();
    // The user pulls the list down: refreshing begins and the value-changed actions run.
    void pull();

  private:
    bool refreshing_ = false;
};

}  // namespace quarra::ui
