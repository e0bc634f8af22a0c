#include "platform/Json.h"

namespace quarra {

std::string jsonString(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return {};
    }
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

}  // namespace quarra
