#include "quarra/ui/RefreshControl.h"

namespace quarra::ui {

void RefreshControl::beginRefreshing() {
    refreshing_ = true;
    setNeedsDisplay();
}

void RefreshControl::endRefreshing() {
    refreshing_ = false;
    setNeedsDisplay();
}

void RefreshControl::pull() {
    if (!isEnabled() || refreshing_)
        return;
    beginRefreshing();
    sendActionsForControlEvents(ControlEventValueChanged);
}

}  // namespace quarra::ui
