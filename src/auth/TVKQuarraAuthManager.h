#pragma once
// The session singleton: who is signed in, restored at start-up from the keychain and the user
// archive. Sign-in, Quarra switching, refresh and logout join it later.
// Every member is safe to call from any thread; the current user is swapped under a lock, so a
// reader holds either the old or the new record, never a torn one.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "auth/TVKUserInternal.h"
#include "platform/Url.h"

namespace quarra {

class TVKQuarraAuthManager {
  public:
    static TVKQuarraAuthManager& sharedInstance();

    TVKQuarraAuthManager(const TVKQuarraAuthManager&) = delete;
    TVKQuarraAuthManager& operator=(const TVKQuarraAuthManager&) = delete;

    // Start-up: biometric unlock off (this platform offers none), then the user named in the
    // keychain restored from that user's archive, when there is one.
    void initAuthenticationState();

    // The signed-in user, null when nobody is signed in.
    std::shared_ptr<TVKUserInternal> currentUser() const;
    // Sign-in, restore and logout replace the user.
    void setCurrentUser(std::shared_ptr<TVKUserInternal> user);

    // Host name of the sign-in server: the SDK bundle's "com.tovik.QuarraUrl".
    const std::string& authDNS() const { return authDNS_; }

    // Hands a redirect URL to a pending single sign-on; false: not the SDK's URL.
    bool resumeOAuthFlowWithURL(const Url& url);

    void enableBiometricAuthentication(bool enabled);
    bool isBiometricAuthenticationEnabled() const;
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

    std::string authDNS_;
    std::string biometricUserSelectedKey_;
    std::string biometricEnabledKey_;
    std::string lastAttemptedUsernameKey_;
    mutable std::mutex mutex_;
    std::shared_ptr<TVKUserInternal> currentUser_;
};

}  // namespace quarra
