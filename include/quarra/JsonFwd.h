#pragma once
// The name of the SDK's JSON value type without the JSON library itself, for headers that only pass
// values through (the full library costs every file that includes it about a second to compile).
#include <nlohmann/json_fwd.hpp>

namespace quarra {

using Json = nlohmann::json;

}  // namespace quarra
