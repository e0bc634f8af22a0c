#pragma once
// A real OpenID provider for single sign-on tests: the npm package the project pins in
// tests/support/oidc-provider (installed by scripts/install-deps), run by Node.js on 127.0.0.1 on
// a free port. The constructor returns once the provider has said it is ready; the destructor (or
// stop()) ends it. Its clients: "quarra-native" (public, PKCE) and "quarra-confidential" (HTTP
// Basic with ConfidentialSecret); both may redirect to "http://127.0.0.1/callback" on any port,
// the native one also to "http://localhost/callback", "http://[::1]/callback" (any port) and
// "com.tovik.quarra.test:/oauth2redirect". Any login name signs in; the
// subject is the name.
#include <sys/types.h>

#include <chrono>
#include <string>

#include "quarra/Json.h"
#include "quarra/Url.h"

namespace quarra::test {

class OpenIDTestProvider {
  public:
    static constexpr const char* NativeClient = "quarra-native";
    static constexpr const char* ConfidentialClient = "quarra-confidential";
    // Characters that must be form-encoded in HTTP Basic.
    static constexpr const char* ConfidentialSecret = "s3cr+t/with%signs";
    static constexpr const char* LoopbackRedirect = "http://127.0.0.1/callback";
    static constexpr const char* SchemeRedirect = "com.tovik.quarra.test:/oauth2redirect";

    struct Options {
        std::chrono::seconds accessTokenLifetime{30};
    };

    OpenIDTestProvider() : OpenIDTestProvider(Options()) {}
    // Throws std::runtime_error when the provider cannot be started (not installed).
    explicit OpenIDTestProvider(Options options);
    ~OpenIDTestProvider();
    OpenIDTestProvider(const OpenIDTestProvider&) = delete;
    OpenIDTestProvider& operator=(const OpenIDTestProvider&) = delete;

    // "http://127.0.0.1:<port>".
    const std::string& issuer() const { return issuer_; }
    Url url(const std::string& path) const;
    // The provider's metadata, fetched from it.
    Json metadata() const;
    // The keys its ID tokens are signed with.
    Json jwks() const;
    // Ends the provider and waits until it has exited; idempotent.
    void stop();

    // Where the provider is installed.
    static std::string directory();

  private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::string issuer_;
};

}  // namespace quarra::test
