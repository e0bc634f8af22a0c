#pragma once
// What a sign-in with the identity provider left behind: the latest authorization and token
// responses, the refresh token, the granted scope, and the OAuth error that ended the sign-in, if
// any. Its main service runs an action with fresh tokens, refreshing them first when they are
// stale; every caller that arrives during a refresh waits for that same refresh. It archives itself
// so that the sign-in driver can keep it across launches.
//
// Confined to the main queue: read it, update it and archive it there. Only
// performActionWithFreshTokens() may be called from any thread; it moves to the main queue itself,
// and every action runs there, asynchronously, exactly once.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sso/SSOAuthorizationFlowSessionImplementation.h"
#include "sso/SSORegistrationResponse.h"
#include "sso/SSOTokenResponse.h"

namespace quarra {

class SSOAuthState;

class SSOAuthStateChangeDelegate {
  public:
    virtual ~SSOAuthStateChangeDelegate() = default;
    virtual void didChangeState(SSOAuthState& state) = 0;
};

class SSOAuthStateErrorDelegate {
  public:
    virtual ~SSOAuthStateErrorDelegate() = default;
    // The provider rejected the state (an OAuth error): it is unusable until a new authorization.
    virtual void authStateDidEncounterAuthorizationError(SSOAuthState& state,
                                                         const ErrorPtr& error) = 0;
    // A refresh failed for a passing reason (network, server); the state is as it was.
    virtual void authStateDidEncounterTransientError(SSOAuthState&, const ErrorPtr&) {}
};

class SSOAuthState : public SSOCoding, public std::enable_shared_from_this<SSOAuthState> {
  public:
    static constexpr const char* ArchiveClassName = "SSOAuthState";
    // Seconds before its expiry from which an access token counts as stale.
    static constexpr double kExpiryTimeTolerance = 60.0;

    using Action =
        std::function<void(const std::optional<std::string>& accessToken,
                           const std::optional<std::string>& idToken, const ErrorPtr& error)>;
    using StateCallback =
        std::function<void(const std::shared_ptr<SSOAuthState>& state, const ErrorPtr& error)>;

    // Runs the authorization in `agent` and returns its flow session at once. A code response is
    // exchanged at the token endpoint; the callback then gets (new state, null) or (null, error),
    // on the main queue, once.
    static std::shared_ptr<SSOAuthorizationFlowSessionImplementation>
    authStateByPresentingAuthorizationRequest(const SSOAuthorizationRequest& request,
                                              std::shared_ptr<SSOExternalUserAgent> agent,
                                              StateCallback callback);

    // Applies, each when given: the registration, the authorization and the token response.
    explicit SSOAuthState(
        std::shared_ptr<const SSOAuthorizationResponse> authorizationResponse,
        std::shared_ptr<const SSOTokenResponse> tokenResponse = nullptr,
        std::shared_ptr<const SSORegistrationResponse> registrationResponse = nullptr);
    SSOAuthState(const SSOAuthState&) = delete;
    SSOAuthState& operator=(const SSOAuthState&) = delete;

    // A registration starts over: every token, the scope and the error are cleared.
    void updateWithRegistrationResponse(std::shared_ptr<const SSORegistrationResponse> response);
    // An error of the authorization domain invalidates the state; otherwise a response replaces
    // the tokens and the scope.
    void updateWithAuthorizationResponse(std::shared_ptr<const SSOAuthorizationResponse> response,
                                         const ErrorPtr& error);
    // An error of the token domain invalidates the state; otherwise the response's tokens, and its
    // refresh token and scope when it has them, are taken.
    void updateWithTokenResponse(std::shared_ptr<const SSOTokenResponse> response,
                                 const ErrorPtr& error);
    void updateWithAuthorizationError(const ErrorPtr& error);

    // The refresh at the token endpoint with the original request's client and redirect and the
    // scope granted last.
    // REQUIRES: a refresh token and an authorization response (SSOException otherwise).
    SSOTokenRequest tokenRefreshRequest(
        SSOTokenRequest::Parameters additionalParameters = {}) const;

    void setNeedsTokenRefresh() { needsTokenRefresh_ = true; }
    bool needsTokenRefresh() const { return needsTokenRefresh_; }

    // Hands `action` the access and ID token, refreshed first when stale. Stale without a refresh
    // token: general error -11 and no request. An OAuth error of the refresh invalidates the state;
    // another error leaves it as it was and reaches the action with the old tokens.
    void performActionWithFreshTokens(Action action,
                                      SSOTokenRequest::Parameters additionalRefreshParameters = {});
    void withFreshTokensPerformAction(Action action) {
        performActionWithFreshTokens(std::move(action));
    }

    bool isAuthorized() const;
    // Fresh: not marked for a refresh and the access token expires more than 60 seconds from now,
    // or has no known expiry.
    bool isTokenFresh() const;
    std::optional<std::string> accessToken() const;
    std::optional<std::string> tokenType() const;
    std::optional<SSODate> accessTokenExpirationDate() const;
    std::optional<std::string> idToken() const;

    const std::optional<std::string>& refreshToken() const { return refreshToken_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const std::shared_ptr<const SSOAuthorizationResponse>& lastAuthorizationResponse() const {
        return lastAuthorizationResponse_;
    }
    const std::shared_ptr<const SSOTokenResponse>& lastTokenResponse() const {
        return lastTokenResponse_;
    }
    const std::shared_ptr<const SSORegistrationResponse>& lastRegistrationResponse() const {
        return lastRegistrationResponse_;
    }
    const ErrorPtr& authorizationError() const { return authorizationError_; }

    // Held weakly.
    void setStateChangeDelegate(std::weak_ptr<SSOAuthStateChangeDelegate> delegate) {
        stateChangeDelegate_ = std::move(delegate);
    }
    void setErrorDelegate(std::weak_ptr<SSOAuthStateErrorDelegate> delegate) {
        errorDelegate_ = std::move(delegate);
    }

    // The tokens are masked.
    std::string description() const;

    // "lastAuthorizationResponse", "lastTokenResponse", "authorizationError" (domain and code
    // only), "scope", "refreshToken", "needsTokenRefresh". The registration, the delegates and the
    // waiting actions are not archived.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOAuthState> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

  private:
    // The value of the latest token response when there is one, else of the authorization
    // response; nothing while the state is invalid.
    template <class T>
    std::optional<T> latest(std::optional<T> (SSOTokenResponse::*fromToken)() const,
                            std::optional<T> (SSOAuthorizationResponse::*fromAuthorization)()
                                const) const;
    void didChangeState();
    // On the main queue.
    void performOnMain(Action action, SSOTokenRequest::Parameters additionalRefreshParameters);
    void didRefresh(const std::shared_ptr<SSOTokenResponse>& response, const ErrorPtr& error);

    std::optional<std::string> refreshToken_;
    std::optional<std::string> scope_;
    std::shared_ptr<const SSOAuthorizationResponse> lastAuthorizationResponse_;
    std::shared_ptr<const SSOTokenResponse> lastTokenResponse_;
    std::shared_ptr<const SSORegistrationResponse> lastRegistrationResponse_;
    ErrorPtr authorizationError_;
    bool needsTokenRefresh_ = false;
    std::weak_ptr<SSOAuthStateChangeDelegate> stateChangeDelegate_;
    std::weak_ptr<SSOAuthStateErrorDelegate> errorDelegate_;
    // Present while a refresh is in flight: the actions that wait for it, in order of arrival.
    std::optional<std::vector<Action>> pendingActions_;
};

}  // namespace quarra
