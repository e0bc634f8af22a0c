#pragma once
// The host's door to sign-in and session: who is signed in, making sure somebody is, refreshing
// the session and logging out. Every call is passed to the session manager; handlers run on the
// main queue. Call from the main thread.
#include <chrono>
#include <functional>
#include <memory>

#include "quarra/TVKUser.h"
#include "quarra/Error.h"

namespace quarra {

// Told of every successful unlock of the lock screen. Every method is optional.
class TVKPasscodeManagerDelegate {
  public:
    virtual ~TVKPasscodeManagerDelegate() = default;
    // The application has been unlocked (passcode or biometrics) or a passcode was chosen.
    virtual void unlockWasSuccessful() {}
};

class TVKQuarraAuth {
  public:
    using UserHandler = std::function<void(const TVKUserPtr& user, const ErrorPtr& error)>;
    using LogoutHandler = std::function<void(const TVKUserPtr& user)>;

    static TVKQuarraAuth& sharedInstance();

    TVKQuarraAuth(const TVKQuarraAuth&) = delete;
    TVKQuarraAuth& operator=(const TVKQuarraAuth&) = delete;

    // The signed-in user at the moment of the call; null when nobody is signed in.
    TVKUserPtr currentUser() const;
    // Makes sure somebody is signed in. With nobody signed in, or a user who signs in with a
    // password, the SDK's sign-in screen takes the key window's root place until the sign-in ends
    // (a new user first chooses an application passcode), then the host's root screen comes back.
    // Without a key window the handler receives TVKAuthorizationErrorDomain -20. A single-sign-on
    // user signs in again in the browser. While the sign-in screen is on show a second call waits
    // for it and hears its outcome. The handler is called once.
    void authenticateWithHandler(UserHandler handler);
    // Ends the sign-in in progress (the sign-in screen, the browser step of single sign-on): its
    // handlers, and the requests waiting for it, get TVKAuthorizationErrorDomain -5.
    void cancelSignIn();
    // How long the browser step of single sign-on may take before it ends with the cancel error;
    // five minutes unless set. Applies to sign-ins started later. A limit that is not positive is
    // refused (TVKAuthorizationErrorDomain -6) and the one before stays.
    [[nodiscard]] ErrorPtr setSignInTimeLimit(std::chrono::milliseconds limit);
    // A fresh session from the server while the current one is alive.
    void refreshUserWithHandler(UserHandler handler);
    // Signs the user out of this process and deletes the stored session (the user's passcode,
    // file key, folders and caches stay); the error says what could not be deleted (a locked
    // keychain keeps the session), and calling it again once the keychain answers finishes it.
    [[nodiscard]] ErrorPtr logout();
    // Called, on the thread that logs out, with the user that was signed in.
    void setLogoutHandler(LogoutHandler handler);

    // Presents the application lock screen for the signed-in user (to unlock, or to choose a
    // passcode when none is set); false when nothing is presented.
    bool showLockScreen();
    bool isShowingLockScreen() const;
    // Off also deletes a password kept for biometric sign-in; the error says what failed.
    [[nodiscard]] ErrorPtr enableBiometricAuthentication(bool enabled);
    bool isBiometricAuthenticationEnabled() const;
    // Told of every successful unlock; held weakly.
    void setPasscodeDelegate(std::weak_ptr<TVKPasscodeManagerDelegate> delegate);
    std::shared_ptr<TVKPasscodeManagerDelegate> passcodeDelegate() const;

  private:
    TVKQuarraAuth() = default;
};

}  // namespace quarra
