#pragma once
// Random (version 4) UUIDs, for names that must not collide between processes or threads, such as
// the files of the cache's file store.
#include <optional>
#include <string>

namespace quarra {

// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F": 36 characters, upper-case hexadecimal, the version and
// variant bits set as RFC 4122 asks. Nothing when the system's random source fails.
std::optional<std::string> uuidString();

}  // namespace quarra
