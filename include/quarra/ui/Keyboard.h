#pragma once
// The on-screen keyboard, as far as screens see it: it rises when a text field takes the focus and
// falls when no text field has it, and each move is announced before it happens with the
// keyboard's end frame (window coordinates) under KeyboardFrameEndUserInfoKey (a ui::Rect). Posted
// on the default notification centre on the main thread. Main thread only.
#include "quarra/ui/Graphics.h"

namespace quarra::ui {

inline constexpr const char* KeyboardWillChangeFrameNotification =
    "UIKeyboardWillChangeFrameNotification";
inline constexpr const char* KeyboardFrameEndUserInfoKey = "UIKeyboardFrameEndUserInfoKey";

class Keyboard {
  public:
    // The keyboard's height on screen.
    static constexpr double Height = 216;

    static bool isShown();
    // Raises the keyboard (nothing when it is up).
    static void show();
    // Lowers it below the screen (nothing when it is down).
    static void hide();
    // Announces a move to `endFrame` (a test may post any frame).
    static void postFrameChange(const Rect& endFrame);
};

}  // namespace quarra::ui
