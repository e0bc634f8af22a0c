#pragma once
// Tells the host of the key window that something that shows has changed (WindowHost.h).

namespace quarra::ui {

// Cheap when no host listens; coalesced into one call of the host's handler otherwise.
void noteWindowChange();

}  // namespace quarra::ui
