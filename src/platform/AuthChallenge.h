#pragma once
// Authentication challenges a URL session hands to its delegate, and the delegate's answers. Only
// server trust is raised today: one challenge per new TLS connection, carrying the peer's chain.
#include <memory>
#include <optional>
#include <string>

#include "platform/ServerTrust.h"

namespace quarra {

inline constexpr const char* AuthenticationMethodServerTrust = "ServerTrust";

// What the delegate wants done with a challenge.
enum class AuthChallengeDisposition {
    UseCredential = 0,           // accept with the given credential (for server trust: a trust)
    PerformDefaultHandling = 1,  // as if there were no delegate: system trust store and host name
    CancelAuthenticationChallenge = 2,  // the task fails with the cancellation error
    RejectProtectionSpace = 3,  // this way of authenticating is refused; same as default here
};

struct ProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;  // "https"
    std::string authenticationMethod = AuthenticationMethodServerTrust;
    std::shared_ptr<const ServerTrust> serverTrust;  // set for server-trust challenges
};

// A credential answering a challenge. For server trust it names the trust being accepted.
struct UrlCredential {
    std::shared_ptr<const ServerTrust> trust;

    static UrlCredential forTrust(std::shared_ptr<const ServerTrust> trust) {
        return UrlCredential{std::move(trust)};
    }
};

struct AuthChallenge {
    ProtectionSpace protectionSpace;
    int previousFailureCount = 0;
};

}  // namespace quarra
