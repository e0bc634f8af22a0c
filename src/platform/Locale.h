#pragma once
// The user's preferred languages, most preferred first, as BCP 47 tags ("de-CH").
#include <string>
#include <vector>

namespace quarra {

// Read from LANGUAGE (a colon-separated list), else the first of LC_ALL, LC_MESSAGES and LANG that
// is set; "C" and "POSIX" name no language. Never empty: "en" when nothing names one.
std::vector<std::string> preferredLanguages();

}  // namespace quarra
