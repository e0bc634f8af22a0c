#include "transport/HTLocalizedString.h"

namespace quarra {

std::string HTLocalizedString(std::string_view english) { return std::string(english); }

}  // namespace quarra
