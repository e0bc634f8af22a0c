#pragma once
// An HTTP request that the OAuth client sends to a provider's endpoint.
#include <strings.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Url.h"

namespace quarra {

struct SSOURLRequest {
    Url url;
    std::string method;
    std::vector<std::pair<std::string, std::string>> headers;
    Bytes body;

    // The value of the first header of that name, ignoring case; "" when none.
    std::string header(const std::string& name) const {
        for (const auto& [key, value] : headers) {
            if (strcasecmp(key.c_str(), name.c_str()) == 0)
                return value;
        }
        return {};
    }
};

}  // namespace quarra
