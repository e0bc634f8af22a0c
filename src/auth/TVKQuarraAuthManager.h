#pragma once
// The session singleton: who is signed in, in which Quarra, with which session. It asks the
// sign-in host how a user signs in, signs in with user name and password, turns every successful
// sign-in reply into stored state (keychain items, the user archive, the user's file key), switches
// Quarras, checks and refreshes the session and logs out. The stored state survives a restart:
// initAuthenticationState() brings the user back.
//
// Call the operations from the main thread; their handlers run on the main queue (some at once,
// as said). currentUser() may be read from any thread: the user is swapped under a lock, so a
// reader holds either the old or the new record, never a torn one.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth/TVKUserInternal.h"
#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Url.h"
#include "quarra/Result.h"

namespace quarra {

// How a user signs in, as discovery answers it.
enum TVKAuthType : long {
    TVKAuthTypeUnknown = 0,  // always comes with an error
    TVKAuthTypePassword = 1,
    TVKAuthTypeSingleSignOn = 2,
};

using TVKUserHandler = std::function<void(const TVKUserInternalPtr& user, const ErrorPtr& error)>;

class TVKPasscodeManagerDelegate;
class TVKLoginViewController;

class TVKQuarraAuthManager {
  public:
    using AuthTypeHandler = std::function<void(long type, const Json& profile, const ErrorPtr&)>;
    using RemoteAuthenticationHandler =
        std::function<void(bool authenticated, const TVKUserInternalPtr& user, const ErrorPtr&)>;
    using LogoutHandler = std::function<void(const TVKUserPtr& user)>;

    static TVKQuarraAuthManager& sharedInstance();

    TVKQuarraAuthManager(const TVKQuarraAuthManager&) = delete;
    TVKQuarraAuthManager& operator=(const TVKQuarraAuthManager&) = delete;

    // Start-up: biometric unlock enabled when the device offers biometry and the managed
    // configuration shows it (off otherwise), then the user named in the keychain restored from
    // that user's archive, when there is one.
    void initAuthenticationState();

    // The signed-in user, null when nobody is signed in.
    TVKUserInternalPtr currentUser() const;
    // Sign-in, restore and logout replace the user.
    void setCurrentUser(TVKUserInternalPtr user);
    // The stored session id as the keychain holds it now; the keychain is read again only after it
    // has changed, so this is cheap enough for every request. nullopt when none is stored, an
    // error when the keychain could not be read (never an empty secret).
    Result<std::optional<std::string>> sessionId() const;

    // Host name of the sign-in server (with ":port" when not the default); initially the SDK
    // bundle's "com.tovik.QuarraUrl".
    std::string authDNS() const;
    void setAuthDNS(std::string authDNS);

    // --- Signing in

    // Makes sure somebody is signed in. With nobody signed in, or a user who signs in with a
    // password, the sign-in screen takes the key window's root place and the handler hears its
    // outcome. Without a key window no screen can ask: the handler receives
    // TVKAuthorizationErrorDomain -20 "The operation requires the user to authenticate". A
    // single-sign-on user signs in again through the provider (authorizeOAuthUser). Errors of
    // discovery reach the handler with the current user. While the sign-in screen is on show
    // the handler waits for it and hears its outcome. The handler is called once, on the main
    // queue.
    void authenticateWithHandler(TVKUserHandler handler);
    // Ends the sign-in in progress: the browser step of single sign-on and the sign-in screen.
    // Their handlers, and every request that waits on them, get TVKAuthorizationErrorDomain -5.
    void cancelSignIn();

    // Discovery: asks the sign-in host how `username` signs in. The handler receives (type,
    // profile or null, error) asynchronously on the main queue; an unusable reply is
    // TVKAuthorizationErrorDomain -6 with the reply under TVKInvalidServerResponseKey.
    void checkAuthTypeForUsername(const std::string& username, AuthTypeHandler handler);
    static long authTypeFromResponse(const Json& response);
    // The first single-sign-on profile with "as_metadata"; null when none (or a password user).
    static Json oauthProfileFromResponse(const Json& response);

    // Password sign-in at the sign-in host. The password is kept in the keychain only when
    // `savePassword` and the user chose biometric unlock; otherwise a password kept earlier is
    // deleted. A failure leaves the signed-in user and the stored state as they were.
    void loginToAuthServerWithUsername(const std::string& username, const std::string& password,
                                       TVKUserHandler handler);
    void loginToAuthServerWithUsername(const std::string& username, const std::string& password,
                                       bool savePassword, TVKUserHandler handler);
    // The "auth/api" reply in the shape of a Quarra's "auth" reply ("sessionId", "quarraIds",
    // "quarraId"); a reply that is no success is returned as it is.
    static Json authServerResponseToQuarraServerResponse(const Json& response);

    // The common end of every sign-in and switch: with `authError`, handler(null, error) and
    // nothing stored. A reply that names no usable current Quarra is TVKQuarraErrorDomain -13 and
    // logs the user out. Otherwise the session is stored, the user's file key made when missing
    // and handler(currentUser, null) called.
    void finalizeAuthorization(const Json& response, const ErrorPtr& authError,
                               const std::string& username,
                               const std::optional<std::string>& password, bool savePassword,
                               const TVKUserHandler& handler);
    // Stores the session of a Quarra reply and makes its user the current one. Nothing is stored,
    // and the -13 error returned, when the reply names no current Quarra among its Quarras.
    // A keychain that refuses the session gives its error, and no user is made current.
    [[nodiscard]] ErrorPtr updateSessionInfo(const std::string& username,
                                             const std::optional<std::string>& password,
                                             bool savePassword, const Json& response);
    // Null once the user name, password choice and session are all stored; otherwise the
    // keychain's error, and none of them is left stored.
    [[nodiscard]] ErrorPtr updateAuthCredentials(const std::string& username,
                                                 const std::optional<std::string>& password,
                                                 bool savePassword, const std::string& sessionId);
    // One Quarra per entry of "quarraIds" ("id", "name", "url"), in order; entries without a
    // usable id are left out.
    static std::vector<TVKQuarraPtr> quarrasFromResponse(const Json& quarraIds);

    // Single sign-on through the profile's identity provider (TVKOAuthManager), then the session
    // stored like any sign-in. A refresh token the provider no longer accepts starts the sign-in
    // again, at most `numRetries` times (2 without a count). The handler is called once. Without a
    // count, a call for the user whose sign-in is running joins it and hears its outcome.
    void authorizeOAuthUser(const std::string& username, const Json& authProfile,
                            TVKUserHandler handler);
    void authorizeOAuthUser(const std::string& username, const Json& authProfile,
                            unsigned long numRetries, TVKUserHandler handler);
    // Hands a redirect URL to a pending single sign-on; false: not the SDK's URL.
    bool resumeOAuthFlowWithURL(const Url& url);
    // Whether the sign-in screen is the key window's root view controller.
    bool isShowingLoginView() const;

    // --- Quarras, session and logout

    // Makes `quarra` the current Quarra with a valid session. Without `forceRefreshSession` a
    // request for the current Quarra answers at once; otherwise the Quarra's "auth" exchange runs.
    void loginToQuarraServer(TVKQuarraPtr quarra, bool forceRefreshSession, TVKUserHandler handler);
    // Signs in to `quarra` with the current session; `numRetries` bounds the re-authentications
    // that leave another Quarra current (0 answers -13 at once).
    void switchCurrentQuarra(TVKQuarraPtr quarra, unsigned long numRetries, TVKUserHandler handler);
    // The signed-in user's Quarra with that id; null (and, when asked, the -3 error) when none.
    Result<TVKQuarraPtr> quarraWithId(std::uint64_t Id) const;
    // TVKQuarraErrorDomain -13 "The selected quarra is unavailable" naming the id under
    // TVKQuarraRequestedQuarraIDKey.
    static ErrorPtr quarraUnavailableErrorForQuarraId(std::uint64_t Id);
    // Asks the current Quarra whether the session is alive. A rejected session answers
    // (false, user, null); other failures keep their error. Nobody signed in: (false, null, null)
    // at once.
    void isRemotelyAuthenticatedWithHandler(RemoteAuthenticationHandler handler);
    // A fresh session, Quarra list and default Quarra from the sign-in host while the session is
    // alive; otherwise the user is asked to authenticate.
    void refreshUserWithHandler(TVKUserHandler handler);

    // Cancels every request, deletes the session state (the user's passcode, file key, folders
    // and caches stay) and calls the logout handler with the user that was signed in. Does nothing
    // while a logout is already running. The user is signed out of this process either way; the
    // error says what could not be deleted (a locked keychain keeps the session and any kept
    // password). With nobody signed in it only deletes such leftovers, so a logout that failed is
    // finished by calling it again once the keychain answers.
    [[nodiscard]] ErrorPtr logout();
    void setLogoutHandler(LogoutHandler handler);
    LogoutHandler logoutHandler() const;
    // Deletes what it can of the session state and forgets the user; the first failure.
    [[nodiscard]] ErrorPtr clearCurrentUser();
    // Stores a session id the server will reject (a test aid for hosts); only when signed in.
    void invalidateSession();

    bool sessionIsInvalid() const { return sessionIsInvalid_; }
    bool isLoggingOut() const { return isLoggingOut_; }

    // --- Settings

    // Off also withdraws the user's opt-in and deletes the password kept for biometric sign-in;
    // the error says what could not be stored or deleted.
    [[nodiscard]] ErrorPtr enableBiometricAuthentication(bool enabled);
    bool isBiometricAuthenticationEnabled() const;
    // Whether the user chose, on the sign-in screen, to unlock with biometrics.
    bool biometricAuthenticationUserSelected() const;
    // --- The application passcode (answered by the passcode manager)

    bool showLockScreen();
    bool isShowingLockScreen() const;
    void setPasscodeDelegate(std::weak_ptr<TVKPasscodeManagerDelegate> delegate);
    std::shared_ptr<TVKPasscodeManagerDelegate> passcodeDelegate() const;

    // Stores the name last typed on the sign-in screen; an empty name removes it.
    void updateLastAttemptedLoginUsername(const std::string& username);
    std::optional<std::string> lastAttemptedLoginUsername() const;

    const std::string& userDefaultsBiometricAuthenticationUserSelectedKey() const {
        return biometricUserSelectedKey_;
    }
    const std::string& userDefaultsBiometricAuthenticationEnabledKey() const {
        return biometricEnabledKey_;
    }
    const std::string& userDefaultsLastAttemptedLoginUsernameKey() const {
        return lastAttemptedUsernameKey_;
    }

  private:
    TVKQuarraAuthManager();
    // The sign-in screen when it is the key window's root view controller.
    std::shared_ptr<TVKLoginViewController> shownLoginView() const;

    // The sign-in screen with `handler`; -20 when there is no window to show it in.
    void presentLoginView(TVKUserHandler handler, TVKUserInternalPtr user);
    // The user must sign in again and no screen can ask: -20 on the main queue.
    static void requireAuthentication(TVKUserHandler handler, TVKUserInternalPtr user);
    // Posts "auth/api" with `secret` and finalises with `password` as the one to keep or drop.
    void signInAtAuthServer(const std::string& username, const std::string& secret,
                            std::optional<std::string> password, bool savePassword,
                            TVKUserHandler handler);
    // Re-authentication inside a switch, then the switch again with one retry less.
    // REQUIRES: numRetries > 0.
    void reauthenticateAndSwitch(TVKQuarraPtr quarra, unsigned long numRetries,
                                 TVKUserHandler handler);

    // A single sign-on in progress and the handlers that wait for it.
    struct PendingSingleSignOn {
        std::string username;
        std::vector<TVKUserHandler> handlers;
    };

    std::string biometricUserSelectedKey_;
    std::string biometricEnabledKey_;
    std::string lastAttemptedUsernameKey_;
    std::atomic<bool> sessionIsInvalid_{false};
    std::atomic<bool> isLoggingOut_{false};

    mutable std::mutex mutex_;
    std::string authDNS_;
    TVKUserInternalPtr currentUser_;
    LogoutHandler logoutHandler_;
    std::shared_ptr<PendingSingleSignOn> singleSignOn_;
};

}  // namespace quarra
