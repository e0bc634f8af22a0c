#pragma once
// Encodings and random values of the OAuth client: base64url without padding (RFC 4648 section 5),
// random URL-safe strings for states and PKCE verifiers, SHA-256 for PKCE challenges. Stateless,
// safe on any thread.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"

namespace quarra {

class SSOTokenUtilities {
  public:
    SSOTokenUtilities() = delete;

    static std::string encodeBase64urlNoPadding(const Bytes& bytes);
    // Standard Base64 with padding and no line breaks.
    static std::string encodeBase64(const Bytes& bytes);
    // `size` bytes from OpenSSL's secure generator in base64url without padding (43 characters for
    // 32 bytes); nothing when the generator fails.
    static std::optional<std::string> randomURLSafeStringWithSize(size_t size);
    // The 32-byte SHA-256 digest of the text's bytes.
    static Bytes sha256(std::string_view text);
};

}  // namespace quarra
