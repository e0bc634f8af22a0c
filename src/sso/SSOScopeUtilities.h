#pragma once
// Scope lists as the space-separated text of RFC 6749 section 3.3. Stateless.
#include <string>
#include <string_view>
#include <vector>

namespace quarra {

class SSOScopeUtilities {
  public:
    SSOScopeUtilities() = delete;

    // The scopes joined with single spaces.
    static std::string scopesWithArray(const std::vector<std::string>& scopes);
    // Split at every single space: consecutive spaces yield empty entries.
    static std::vector<std::string> scopesArrayWithString(std::string_view scopes);
    // Whether a character may not appear in a scope token: anything but "!", 0x23-0x5B, 0x5D-0x7E.
    static bool isDisallowedScopeCharacter(char32_t character);
};

}  // namespace quarra
