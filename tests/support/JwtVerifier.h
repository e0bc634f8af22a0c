#pragma once
// Checks an RS256-signed JSON Web Token (RFC 7519) against a provider's published keys (a JWK Set,
// RFC 7517), as a relying server does before it trusts an ID token. OpenSSL does the RSA work.
#include <optional>
#include <string>

#include "quarra/Json.h"

namespace quarra::test {

// The token's claims when its RS256 signature verifies with the key of its "kid" in `jwks`;
// nothing, and `why`, otherwise. Claims such as "iss", "aud" and "exp" are the caller's to check.
std::optional<Json> verifyRS256(const std::string& jwt, const Json& jwks, std::string* why);

}  // namespace quarra::test
