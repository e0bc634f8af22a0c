#pragma once
// Facts about the device the host runs on.
#include <optional>
#include <string>

namespace quarra {

// An identifier of this host installation on this machine, stable across launches: a random UUID
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F") made on first use and kept in the host's data folder.
// Nothing when it can neither be read nor stored; then the next call tries again.
std::optional<std::string> identifierForVendor();

}  // namespace quarra
