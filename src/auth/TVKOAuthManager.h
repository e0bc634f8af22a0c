#pragma once
// Single sign-on for the session manager. From the authentication profile that discovery returned
// for a user it builds an OpenID Connect authorization-code request with PKCE, lets an external
// user agent show the identity provider's pages, takes the redirect back, keeps the resulting
// authorization state in the keychain and trades the ID token (the access token when the provider
// issued none) for a Quarra session. A stored state of the same user skips the browser and goes
// straight to the exchange, refreshing the tokens first when they are stale.
//
// The stored state belongs to the user who signed in with it: another user name never reuses it.
// Handlers are called exactly once, on the main queue. Safe to call from any thread. One browser
// step at a time: a new one ends the one before with the cancel error, and a browser step that is
// not finished within the time limit ends with it too, so a person who closes the tab never leaves
// a sign-in (and its listener) behind.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Url.h"
#include "sso/SSOAuthState.h"
#include "sso/SSOAuthorizationFlowSessionImplementation.h"
#include "sso/SSOExternalUserAgent.h"

namespace quarra {

class TVKOAuthManager {
  public:
    // The exchange reply (the server's sign-in reply), or the error.
    using Handler = std::function<void(const Json& reply, const ErrorPtr& error)>;
    // Makes the agent of one flow.
    using UserAgentFactory = std::function<std::shared_ptr<SSOExternalUserAgent>()>;

    // Made on first use: reads the host's configuration, then the stored state.
    static TVKOAuthManager& sharedInstance();
    TVKOAuthManager(const TVKOAuthManager&) = delete;
    TVKOAuthManager& operator=(const TVKOAuthManager&) = delete;

    // The host's "com.tovik.oauth.client_id" and "com.tovik.oauth.redirect_uri".
    void initConfig();
    // The stored state, when the keychain holds one that reads back; a stored state that does not
    // is deleted.
    void loadState();

    std::optional<std::string> clientId() const;
    std::optional<Url> redirectURL() const;
    std::shared_ptr<SSOAuthState> authState() const;
    // The user the state belongs to.
    std::optional<std::string> authStateUsername() const;
    // The flow that waits for its redirect; null when none, also once a flow has ended.
    std::shared_ptr<SSOAuthorizationFlowSession> currentAuthorizationFlow() const;

    // How long the browser step of later flows may take; five minutes unless set. A limit that is
    // not positive is refused with TVKAuthorizationErrorDomain -6, and the one before stays.
    [[nodiscard]] ErrorPtr setAuthorizationTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds authorizationTimeLimit() const;
    // Ends the waiting browser step: its handler gets the cancel error (TVKAuthorizationErrorDomain
    // -5). Nothing when none waits.
    void cancelAuthorization();

    // The agent of later flows; by default the desktop's browser (SSOExternalUserAgentLinux).
    void setExternalUserAgentFactory(UserAgentFactory factory);

    // Signs `username` in through the profile's provider ("as_metadata") and exchanges the token at
    // its "quarra_session_endpoint". Invalid metadata clears the stored state and reaches the
    // handler before this returns; a cancelled browser step is TVKAuthorizationErrorDomain -5.
    void authorizeUserWithProfile(const Json& profile, const std::string& username,
                                  Handler handler);
    // Hands a redirect to the waiting flow; true when it was the flow's (the flow is then
    // forgotten), false for any other URL or when no flow waits.
    bool resumeOAuthFlowWithURL(const Url& url);

    // The exchange with up to two resends after an expired-token answer, each after a refresh.
    // Any failure clears the stored state.
    void exchangeTokenForSession(const std::string& endpoint, Handler handler);
    void exchangeTokenForSession(const std::string& endpoint, unsigned long numRetries,
                                 Handler handler);

    // Keeps the state in memory and in the keychain, as `username`'s.
    void saveAuthState(std::shared_ptr<SSOAuthState> state, const std::string& username);
    // Forgets the state in memory and deletes the keychain item.
    void clearAuthState();

    // A cancelled browser step becomes TVKAuthorizationErrorDomain -5 with the error beneath;
    // anything else stays as it is.
    static ErrorPtr sdkErrorForOAuthError(const ErrorPtr& error);
    // Whether the host's "CFBundleURLTypes" register `scheme` (letter case ignored).
    static bool appBundleHasURIScheme(const std::string& scheme);

  private:
    TVKOAuthManager();
    void presentFlow(const SSOAuthorizationRequest& request,
                     std::shared_ptr<SSOExternalUserAgent> agent, const std::string& username,
                     const std::string& endpoint, Handler handler);
    // Forgets `state` when it is still the current one.
    void clearAuthStateIfCurrent(const std::shared_ptr<SSOAuthState>& state);

    mutable std::mutex mutex_;
    std::optional<std::string> clientId_;
    std::optional<Url> redirectURL_;
    std::shared_ptr<SSOAuthorizationFlowSessionImplementation> currentAuthorizationFlow_;
    // Counts presented flows, so that a flow's end forgets only itself.
    std::uint64_t flowGeneration_ = 0;
    std::chrono::milliseconds authorizationTimeLimit_ = std::chrono::minutes(5);
    std::shared_ptr<SSOAuthState> authState_;
    std::optional<std::string> authStateUsername_;
    UserAgentFactory agentFactory_;
};

}  // namespace quarra
