#pragma once
// A view that reports what the user does through target-action: callers register an action for
// a set of events and the control sends the matching actions, in registration order.
#include <cstdint>
#include <functional>
#include <vector>

#include "quarra/ui/View.h"

namespace quarra::ui {

// Event bits, numbered as nibs number them.
enum ControlEvent : std::uint64_t {
    ControlEventTouchDown = 1 << 0,
    ControlEventTouchUpInside = 1 << 6,
    ControlEventValueChanged = 1 << 12,
    ControlEventEditingDidBegin = 1 << 16,
    ControlEventEditingChanged = 1 << 17,
    ControlEventEditingDidEnd = 1 << 18,
};

// State bits; 0 is the normal state.
enum ControlState : std::uint64_t {
    ControlStateNormal = 0,
    ControlStateHighlighted = 1 << 0,
    ControlStateDisabled = 1 << 1,
    ControlStateSelected = 1 << 2,
};

class Control : public View {
  public:
    using Action = std::function<void(Control& sender)>;

    using View::View;

    // `action` runs for every event in `events`. A target that may go away is captured weakly
    // by the caller's action.
    void addTarget(std::uint64_t events, Action action);
    // Sends the actions registered for any of `events`.
    void sendActionsForControlEvents(std::uint64_t events);

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) {
        enabled_ = enabled;
        setNeedsDisplay();
    }
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
    bool isSelected() const { return selected_; }
    void setSelected(bool selected) { selected_ = selected; }
    std::uint64_t state() const;

    // A finger down and up inside: highlight, unhighlight, the tap recognisers and the
    // touch-up-inside actions. Nothing happens when the control is disabled.
    bool tap() override;

  private:
    struct Target {
        std::uint64_t events;
        Action action;
    };

    bool enabled_ = true;
    bool highlighted_ = false;
    bool selected_ = false;
    std::vector<Target> targets_;
};

}  // namespace quarra::ui
