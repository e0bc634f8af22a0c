#include "platform/LibraryLifetime.h"

#include <curl/curl.h>
#include <openssl/crypto.h>

#include <mutex>

namespace quarra {

void keepOpenSSLUntilProcessEnd() {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        keepOpenSSLUntilProcessEnd();
        curl_global_init(CURL_GLOBAL_DEFAULT);
    });
}

namespace {

// At load, before a host's first call could make OpenSSL register its clean-up.
const bool kOpenSSLKept = (keepOpenSSLUntilProcessEnd(), true);

}  // namespace

}  // namespace quarra
