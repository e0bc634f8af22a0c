#include "transport/HTLocalizedString.h"

#include "quarra/Bundle.h"

namespace quarra {

std::string HTLocalizedString(std::string_view english) {
    std::string key(english);
    return Bundle::main().localizedString(key, key, "HTTPTransport");
}

}  // namespace quarra
