#include "sso/SSOTokenUtilities.h"

#include "platform/Base64.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <stdexcept>

namespace quarra {

std::string SSOTokenUtilities::encodeBase64(const Bytes& bytes) {
    return base64Encode(bytes);
}

std::string SSOTokenUtilities::encodeBase64urlNoPadding(const Bytes& bytes) {
    std::string text = encodeBase64(bytes);
    text.erase(std::find(text.begin(), text.end(), '='), text.end());
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<std::string> SSOTokenUtilities::randomURLSafeStringWithSize(size_t size) {
    if (size > INT_MAX)
        return std::nullopt;
    Bytes bytes(size);
    if (RAND_bytes(bytes.data(), static_cast<int>(size)) != 1)
        return std::nullopt;
    return encodeBase64urlNoPadding(bytes);
}

Bytes SSOTokenUtilities::sha256(std::string_view text) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        // Only an allocation failure inside OpenSSL gets here.
        throw std::bad_alloc();
    }
    digest.resize(length);
    return digest;
}

}  // namespace quarra
