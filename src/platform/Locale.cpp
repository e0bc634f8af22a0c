#include "platform/Locale.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace quarra {
namespace {

// "de_CH.UTF-8@euro" -> "de-CH"; empty for "C", "POSIX" and their variants.
std::string languageTag(std::string_view locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX")
        return {};
    std::string tag(locale);
    std::replace(tag.begin(), tag.end(), '_', '-');
    return tag;
}

}  // namespace

std::vector<std::string> preferredLanguages() {
    std::vector<std::string> languages;
    auto add = [&languages](std::string_view locale) {
        std::string tag = languageTag(locale);
        if (!tag.empty() && std::find(languages.begin(), languages.end(), tag) == languages.end()) {
            languages.push_back(std::move(tag));
        }
    };
    if (const char* list = std::getenv("LANGUAGE")) {
        std::string_view rest = list;
        while (!rest.empty()) {
            size_t colon = rest.find(':');
            add(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        }
    }
    if (languages.empty()) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                add(value);
                break;
            }
        }
    }
    if (languages.empty())
        languages.push_back("en");
    return languages;
}

}  // namespace quarra
