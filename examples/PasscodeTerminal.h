#pragma once
// The example host's lock screen in a terminal, read and driven through the public window-host
// interface.
#include <iosfwd>

// Drives the SDK's lock screen from `in` (digits; "d" delete, "r" the Reset or Cancel button,
// "b" to background and foreground, "q" to quit) and prints what the screen shows to `out`.
// REQUIRES: the SDK started, a user signed in, the host's window set up; main thread.
int drivePasscodeInTerminal(std::istream& in, std::ostream& out);
