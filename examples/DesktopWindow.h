#pragma once
// The example host at a desktop: the SDK's screens in a GTK window, with GLib's main loop as the
// SDK's main loop (the main run loop's descriptor joined to it).
#include <iosfwd>

// Opens the display named by DISPLAY or WAYLAND_DISPLAY; false when there is none.
bool openDesktop(int& argc, char**& argv);
// The SDK's sign-in screen in a window, for the person to sign in there. 0 once somebody is
// signed in (a new user has chosen a passcode on the lock screen in the same window), 1 when the
// sign-in failed or the window was closed.
// REQUIRES: openDesktop, the SDK started, the host's window set up; main thread.
int signInInWindow(std::ostream& out);
// The lock screen in a window (the host's launch shows it to a user with a passcode) until the
// person closes the window.
int passcodeInWindow(std::ostream& out);
