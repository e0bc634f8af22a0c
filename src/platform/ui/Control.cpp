#include "quarra/ui/Control.h"

namespace quarra::ui {

void Control::addTarget(std::uint64_t events, Action action) {
    targets_.push_back({events, std::move(action)});
}

void Control::sendActionsForControlEvents(std::uint64_t events) {
    // An action may register more; those wait for the next event.
    auto targets = targets_;
    for (const auto& target : targets) {
        if (target.events & events)
            target.action(*this);
    }
}

std::uint64_t Control::state() const {
    std::uint64_t state = ControlStateNormal;
    if (highlighted_)
        state |= ControlStateHighlighted;
    if (!enabled_)
        state |= ControlStateDisabled;
    if (selected_)
        state |= ControlStateSelected;
    return state;
}

bool Control::tap() {
    if (!enabled_ || !acceptsTouches())
        return false;
    sendActionsForControlEvents(ControlEventTouchDown);
    setHighlighted(true);
    setHighlighted(false);
    runTapRecognizers();
    sendActionsForControlEvents(ControlEventTouchUpInside);
    return true;
}

}  // namespace quarra::ui
