#pragma once
#include <string>

namespace quarra {

// The phrase for an HTTP status code in lower case ("not found"); the class of the code ("client
// error") for codes without a phrase of their own.
std::string localizedStringForStatusCode(int statusCode);

}  // namespace quarra
