#pragma once
// The requests that talk to an OpenID provider: its metadata (OpenID Connect Discovery), the
// authorization in an external user agent, the token request and dynamic client registration.
// Replies are read on the URL session's queue and delivered asynchronously on the main queue, never
// inside the call that sent the request. Stateless; safe on any thread.
#include <functional>
#include <memory>

#include "quarra/Url.h"
#include "sso/SSOAuthorizationFlowSessionImplementation.h"
#include "sso/SSORegistrationResponse.h"
#include "sso/SSOServiceConfiguration.h"
#include "sso/SSOTokenResponse.h"

namespace quarra {

using SSODiscoveryCallback = std::function<void(
    const std::optional<SSOServiceConfiguration>& configuration, const ErrorPtr& error)>;
using SSOTokenCallback =
    std::function<void(const std::shared_ptr<SSOTokenResponse>& response, const ErrorPtr& error)>;
using SSORegistrationCompletion = std::function<void(
    const std::shared_ptr<SSORegistrationResponse>& response, const ErrorPtr& error)>;

class SSOAuthorizationService {
  public:
    SSOAuthorizationService() = delete;

    // The metadata at the issuer's ".well-known/openid-configuration".
    static void discoverServiceConfigurationForIssuer(const Url& issuerURL,
                                                      SSODiscoveryCallback completion);
    // Failures are general error -5 with the cause (transport, HTTP status or metadata) beneath.
    static void discoverServiceConfigurationForDiscoveryURL(const Url& discoveryURL,
                                                            SSODiscoveryCallback completion);

    // Starts the authorization in `agent` and returns its flow session at once. The callback gets
    // (response, null) or (null, error) when the flow finishes; an agent that does not start gives
    // general error -9 before this returns.
    static std::shared_ptr<SSOAuthorizationFlowSessionImplementation> presentAuthorizationRequest(
        const SSOAuthorizationRequest& request, std::shared_ptr<SSOExternalUserAgent> agent,
        SSOAuthorizationCallback callback);

    // An OAuth error reply (status 400, 401 or 429 with an "error" field) gives the token domain's
    // error with the HTTP error beneath; other failures the general errors -5, -6, -7 and -8.
    static void performTokenRequest(const SSOTokenRequest& request, SSOTokenCallback callback);
    // As performTokenRequest, with 200 or 201 for success, OAuth errors of status 400 or 401 in the
    // registration domain, -12 for a reply that makes no registration and -13 for a request that
    // cannot be written.
    static void performRegistrationRequest(const SSORegistrationRequest& request,
                                           SSORegistrationCompletion completion);
};

}  // namespace quarra
