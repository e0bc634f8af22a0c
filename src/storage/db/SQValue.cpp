#include "quarra/SQValue.h"

#include <cstdio>

namespace quarra {

std::string SQValue::description() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, SQNull>) {
                return "<null>";
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return std::to_string(v);
            } else if constexpr (std::is_same_v<T, double>) {
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, "%.17g", v);
                return buffer;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, Bytes>) {
                return "<" + std::to_string(v.size()) + " bytes>";
            } else {
                char buffer[32];
                std::snprintf(buffer, sizeof buffer, "%.17g", v.time_since_epoch().count());
                return buffer;
            }
        },
        storage_);
}

}  // namespace quarra
