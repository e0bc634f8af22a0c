#include "quarra/TVKQuarraAuth.h"

#include "auth/TVKOAuthManager.h"
#include "auth/TVKQuarraAuthManager.h"

namespace quarra {
namespace {

TVKUserHandler forward(TVKQuarraAuth::UserHandler handler) {
    if (!handler)
        return nullptr;
    return [handler = std::move(handler)](const TVKUserInternalPtr& user, const ErrorPtr& error) {
        handler(user, error);
    };
}

}  // namespace

TVKQuarraAuth& TVKQuarraAuth::sharedInstance() {
    static TVKQuarraAuth* instance = new TVKQuarraAuth();
    return *instance;
}

TVKUserPtr TVKQuarraAuth::currentUser() const {
    return TVKQuarraAuthManager::sharedInstance().currentUser();
}

void TVKQuarraAuth::authenticateWithHandler(UserHandler handler) {
    TVKQuarraAuthManager::sharedInstance().authenticateWithHandler(forward(std::move(handler)));
}

void TVKQuarraAuth::cancelSignIn() {
    TVKQuarraAuthManager::sharedInstance().cancelSignIn();
}

ErrorPtr TVKQuarraAuth::setSignInTimeLimit(std::chrono::milliseconds limit) {
    return TVKOAuthManager::sharedInstance().setAuthorizationTimeLimit(limit);
}

void TVKQuarraAuth::refreshUserWithHandler(UserHandler handler) {
    TVKQuarraAuthManager::sharedInstance().refreshUserWithHandler(forward(std::move(handler)));
}

ErrorPtr TVKQuarraAuth::logout() {
    return TVKQuarraAuthManager::sharedInstance().logout();
}

void TVKQuarraAuth::setLogoutHandler(LogoutHandler handler) {
    TVKQuarraAuthManager::sharedInstance().setLogoutHandler(std::move(handler));
}

ErrorPtr TVKQuarraAuth::enableBiometricAuthentication(bool enabled) {
    return TVKQuarraAuthManager::sharedInstance().enableBiometricAuthentication(enabled);
}

bool TVKQuarraAuth::isBiometricAuthenticationEnabled() const {
    return TVKQuarraAuthManager::sharedInstance().isBiometricAuthenticationEnabled();
}

bool TVKQuarraAuth::showLockScreen() {
    return TVKQuarraAuthManager::sharedInstance().showLockScreen();
}

bool TVKQuarraAuth::isShowingLockScreen() const {
    return TVKQuarraAuthManager::sharedInstance().isShowingLockScreen();
}

void TVKQuarraAuth::setPasscodeDelegate(std::weak_ptr<TVKPasscodeManagerDelegate> delegate) {
    TVKQuarraAuthManager::sharedInstance().setPasscodeDelegate(std::move(delegate));
}

std::shared_ptr<TVKPasscodeManagerDelegate> TVKQuarraAuth::passcodeDelegate() const {
    return TVKQuarraAuthManager::sharedInstance().passcodeDelegate();
}

}  // namespace quarra
