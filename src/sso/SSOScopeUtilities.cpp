#include "sso/SSOScopeUtilities.h"

namespace quarra {

std::string SSOScopeUtilities::scopesWithArray(const std::vector<std::string>& scopes) {
    std::string text;
    for (const auto& scope : scopes) {
        if (&scope != &scopes.front())
            text += ' ';
        text += scope;
    }
    return text;
}

std::vector<std::string> SSOScopeUtilities::scopesArrayWithString(std::string_view scopes) {
    std::vector<std::string> list;
    for (size_t start = 0;;) {
        size_t space = scopes.find(' ', start);
        list.emplace_back(scopes.substr(start, space - start));
        if (space == std::string_view::npos)
            return list;
        start = space + 1;
    }
}

bool SSOScopeUtilities::isDisallowedScopeCharacter(char32_t c) {
    bool allowed = c == 0x21 || (c >= 0x23 && c <= 0x5B) || (c >= 0x5D && c <= 0x7E);
    return !allowed;
}

}  // namespace quarra
