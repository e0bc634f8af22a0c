#pragma once
// Starting another program. Safe to call from any thread.
#include <string>
#include <vector>

namespace quarra {

// Starts `arguments[0]` (looked up on PATH) with the rest as its arguments, without a shell and
// without waiting for it; its standard input is /dev/null. It is reaped when it ends, so no zombie
// stays behind. False when it could not be started.
bool spawnDetached(std::vector<std::string> arguments);

}  // namespace quarra
