#pragma once
// The SDK's screens in a desktop window of the host's own toolkit. The toolkit draws the key window
// (with the controllers presented over it) into its cairo context, passes the person's pointer
// presses and releases, typed text and keys on, and redraws when told that the window changed. Any
// toolkit that can draw with cairo hosts the screens this way (GTK directly; Qt, SDL and others
// through a cairo image surface); the GTK presenter (quarra/gtk/WindowPresenter.h) is one such
// host. Hosts without a picture (a terminal, a screen reader) read the screen's elements instead.
// Main thread only.
#include <functional>
#include <string>
#include <vector>

#include "quarra/ui/Graphics.h"

// cairo's own declaration, so that this header needs no cairo headers.
typedef struct _cairo cairo_t;

namespace quarra::ui {

// Keys that do more than type text.
enum class Key {
    Return,     // the focused field's return key
    Backspace,  // deletes the character before the end of the focused field
    Tab,        // moves the focus to the next field on the screen
};

// Something a person sees on the screen and may act on, as a screen reader tells it.
struct ScreenElement {
    enum class Role { Text, TextField, Button };
    Role role = Role::Text;
    // What it says: a text's words, a button's title, a field's placeholder.
    std::string label;
    // A field's contents (one dot per character of a secure field), a control's state.
    std::string value;
    // In window coordinates, in points.
    Rect frame;
    bool enabled = true;
    bool focused = false;
};

class WindowHost {
  public:
    // Lays the key window out at `size` (points), making that the screen's size, and draws it into
    // `cr` at `scale` pixels per point, from the context's current origin. False (nothing drawn)
    // when there is no key window.
    static bool draw(cairo_t* cr, Size size, double scale = 1);

    // A pointer button goes down at `point` (window coordinates, points): a control there is
    // highlighted. True when something there takes presses.
    static bool pointerPressed(Point point);
    // The button comes up at `point`: when it is over what the press went to, that is tapped (a
    // button acts, a field takes the focus). True when something was tapped.
    static bool pointerReleased(Point point);
    // Text the person typed (UTF-8) goes to the focused field of the topmost screen; without one,
    // each character taps the element of that label (a keypad's key). A field of a screen that is
    // covered or hidden takes nothing, whether or not it still holds the focus. False when nothing
    // took the text.
    static bool insertText(const std::string& text);
    // A key for the focused field of the topmost screen; false when there is none or it did not
    // take the key (the host may then offer the key to the screen as typed text).
    static bool pressKey(Key key);

    // `handler` runs on the main queue after the key window changed in a way that shows (a text,
    // a frame, what is presented), once for any number of changes in a row, until another handler
    // (or none) is set. The host then redraws at its next frame.
    static void setNeedsDrawHandler(std::function<void()> handler);

    // What the topmost screen shows, front to back in reading order (top to bottom, left to
    // right), hidden and transparent views left out.
    static std::vector<ScreenElement> elements();
    // Taps the element of elements() with `label` as a person would (press and release at its
    // middle); false when there is none or it took no tap.
    static bool tapElement(const std::string& label);
};

}  // namespace quarra::ui
