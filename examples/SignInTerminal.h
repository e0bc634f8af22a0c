#pragma once
// The example host's sign-in in a terminal: the SDK's own sign-in screen, read and filled through
// the public window-host interface.
#include <iosfwd>
#include <string>

// Shows the SDK's sign-in screen (authenticateWithHandler) and fills it from `in`: the user name,
// then the password (not echoed when `in` is a terminal) unless the user signs in through single
// sign-on. When standard input is no terminal, `username` and `password` are typed into the
// screen's fields instead, so the screen still runs. Prints what the screen shows to `out`.
// Returns 0 once somebody is signed in or the lock screen asks the new user for a passcode first,
// 1 when the sign-in failed or the input ended.
// REQUIRES: the SDK started, the host's window set up; main thread.
int signInInTerminal(std::istream& in, std::ostream& out, const std::string& username,
                     const std::string& password);
