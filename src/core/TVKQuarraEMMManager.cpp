#include "core/TVKQuarraEMMManager.h"

#include <algorithm>
#include <cctype>

#include "platform/UserDefaults.h"

namespace quarra {

TVKQuarraEMMManager& TVKQuarraEMMManager::sharedInstance() {
    static TVKQuarraEMMManager* instance = new TVKQuarraEMMManager();
    return *instance;
}

bool TVKQuarraEMMManager::isBiometricAuthenticationVisible() const {
    return readFromEMMDefaultsWith(TVKBiometricAuthenticationVisibleKey) != "notvisible";
}

std::optional<std::string> TVKQuarraEMMManager::readFromEMMDefaultsWith(
    const std::string& key) const {
    auto managed = UserDefaults::standard().dictionaryForKey(TVKManagedConfigurationKey);
    if (!managed)
        return std::nullopt;
    auto it = managed->find(key);
    if (it == managed->end() || !it->is_string())
        return std::nullopt;
    std::string text = it->get<std::string>();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    auto first = std::find_if_not(text.begin(), text.end(), isSpace);
    auto last = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    text = first < last ? std::string(first, last) : std::string();
    std::erase(text, ' ');
    return text;
}

}  // namespace quarra
