#include "auth/TVKQuarraAuthManager.h"

#include "auth/KeychainItemStore.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

namespace quarra {

TVKQuarraAuthManager& TVKQuarraAuthManager::sharedInstance() {
    static TVKQuarraAuthManager* instance = new TVKQuarraAuthManager();
    return *instance;
}

TVKQuarraAuthManager::TVKQuarraAuthManager()
    : authDNS_(jsonString(Bundle::sdk().infoDictionary(), "com.tovik.QuarraUrl")) {
    const std::string& frameworkId = TVKQuarraConfigurationManager::sharedInstance().frameworkId();
    biometricUserSelectedKey_ = frameworkId + ".touch_id_user_selected_key";
    biometricEnabledKey_ = frameworkId + ".touch_id_is_enabled_key";
    lastAttemptedUsernameKey_ = frameworkId + ".last_attempted_login_username_key";
}

void TVKQuarraAuthManager::initAuthenticationState() {
    enableBiometricAuthentication(false);
    auto username = KeychainItemStore::getUsername();
    if (username) {
        setCurrentUser(
            TVKQuarraConfigurationManager::sharedInstance().readUserForUsername(*username));
    }
}

std::shared_ptr<TVKUserInternal> TVKQuarraAuthManager::currentUser() const {
    std::lock_guard lock(mutex_);
    return currentUser_;
}

void TVKQuarraAuthManager::setCurrentUser(std::shared_ptr<TVKUserInternal> user) {
    std::lock_guard lock(mutex_);
    currentUser_ = std::move(user);
}

bool TVKQuarraAuthManager::resumeOAuthFlowWithURL(const Url&) {
    // No single sign-on flow can be pending before the single sign-on driver exists.
    return false;
}

void TVKQuarraAuthManager::enableBiometricAuthentication(bool enabled) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setBool(enabled, biometricEnabledKey_);
    defaults.synchronize();
    // Turning biometrics off withdraws the user's opt-in too.
    if (!enabled)
        defaults.setBool(false, biometricUserSelectedKey_);
}

bool TVKQuarraAuthManager::isBiometricAuthenticationEnabled() const {
    return UserDefaults::standard().boolForKey(biometricEnabledKey_);
}

void TVKQuarraAuthManager::updateLastAttemptedLoginUsername(const std::string& username) {
    UserDefaults& defaults = UserDefaults::standard();
    if (username.empty()) {
        defaults.removeObjectForKey(lastAttemptedUsernameKey_);
    } else {
        defaults.setString(username, lastAttemptedUsernameKey_);
    }
    defaults.synchronize();
}

std::optional<std::string> TVKQuarraAuthManager::lastAttemptedLoginUsername() const {
    return UserDefaults::standard().stringForKey(lastAttemptedUsernameKey_);
}

}  // namespace quarra
