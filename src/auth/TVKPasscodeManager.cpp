#include "auth/TVKPasscodeManager.h"

#include <cmath>

#include "auth/KeychainItemStore.h"
#include "quarra/TVKQuarraAuth.h"
#include "auth/TVKQuarraAuthManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Window.h"
#include "storage/crypt/FCCryptorFormat.h"

namespace quarra {

namespace {

void logFailure(const char* what, const ErrorPtr& error) {
    if (error)
        TVK_LOG_ERROR(std::string("Could not ") + what + ": " + error->description());
}

std::string currentUsername() {
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    return user ? user->username() : std::string();
}

ByteView bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

TVKPasscodeManager& TVKPasscodeManager::sharedInstance() {
    // Held by a shared owner so the lock screen can refer to it weakly; never destroyed.
    static auto* instance = new std::shared_ptr<TVKPasscodeManager>(new TVKPasscodeManager());
    return **instance;
}

TVKPasscodeManager::TVKPasscodeManager() {
    initConfig();
}

TVKPasscodeManager::~TVKPasscodeManager() {
    removeObservers();
}

void TVKPasscodeManager::removeObservers() {
    auto& center = NotificationCenter::defaultCenter();
    center.removeObserver(foregroundObserver_);
    center.removeObserver(launchObserver_);
    foregroundObserver_ = launchObserver_ = 0;
}

void TVKPasscodeManager::initConfig() {
    removeObservers();
    auto& center = NotificationCenter::defaultCenter();
    foregroundObserver_ =
        center.addObserver(ui::ApplicationWillEnterForegroundNotification,
                           [this](const Notification&) { hostApplicationWillEnterForeground(); });
    launchObserver_ =
        center.addObserver(ui::ApplicationDidFinishLaunchingNotification,
                           [this](const Notification&) { hostApplicationDidFinishLaunching(); });

    maxFailedAttempts_ = 5;
    enabled_ = true;
    Json info = Bundle::main().infoDictionary();
    Json attempts = info.value("com.tovik.MaxAllowedUnlockAttempts", Json());
    if (attempts.is_number()) {
        // Zero or less would lock the user out at the first mistake, or never count at all.
        double value = attempts.get<double>();
        maxFailedAttempts_ =
            value < 1 || std::isnan(value) ? 1 : static_cast<unsigned long>(std::min(value, 1e9));
    }
    Json enabled = info.value("com.tovik.PasscodeEnabled", Json());
    if (enabled.is_boolean())
        enabled_ = enabled.get<bool>();
    else if (enabled.is_number())
        enabled_ = enabled.get<double>() != 0;
}

void TVKPasscodeManager::hostApplicationDidFinishLaunching() {
    showLockScreen();
}

void TVKPasscodeManager::hostApplicationWillEnterForeground() {
    showLockScreen();
}

bool TVKPasscodeManager::isPasscodeSet() const {
    std::string username = currentUsername();
    return !username.empty() && !KeychainItemStore::getPasscodeForUsername(username).empty();
}

bool TVKPasscodeManager::showLockScreen() {
    bool set = isPasscodeSet();
    if (set && !TVKQuarraAuth::sharedInstance().currentUser())
        return false;
    return showLockScreenWithMode(set ? LKLockScreenModeNormal : LKLockScreenModeNew);
}

ui::ViewControllerPtr TVKPasscodeManager::topViewController() const {
    auto window = ui::Application::shared().keyWindow();
    ui::ViewControllerPtr top = window ? window->rootViewController() : nullptr;
    while (top && top->presentedViewController())
        top = top->presentedViewController();
    return top;
}

bool TVKPasscodeManager::isShowingLockScreen() const {
    return dynamic_cast<LKLockScreenViewController*>(topViewController().get()) != nullptr;
}

bool TVKPasscodeManager::canPresentLockScreen() const {
    if (!enabled_ || !TVKQuarraAuthManager::sharedInstance().currentUser())
        return false;
    // The controllers belong to the main thread; elsewhere the main-thread call looks at them.
    if (!isMainThread())
        return true;
    return topViewController() && !isShowingLockScreen();
}

bool TVKPasscodeManager::showLockScreenWithMode(long mode) {
    if (!canPresentLockScreen())
        return false;
    if (!isMainThread()) {
        DispatchQueue::main()->async([this, mode] { showLockScreenWithMode(mode); });
        return true;
    }
    auto lockScreen = LKLockScreenViewController::make();
    lockScreen->setLockScreenMode(mode);
    lockScreen->setDelegate(
        std::static_pointer_cast<LKLockScreenViewControllerDelegate>(shared_from_this()));
    lockScreen->setDataSource(
        std::static_pointer_cast<LKLockScreenViewControllerDataSource>(shared_from_this()));
    lockScreen->setModalPresentationStyle(ui::ModalPresentationStyle::OverFullScreen);
    return topViewController()->presentViewController(lockScreen, false);
}

bool TVKPasscodeManager::resetPasscodeWithHandler(std::function<void()> handler) {
    std::string username = currentUsername();
    if (username.empty())
        return false;
    if (!enabled_) {
        if (handler)
            handler();
        return false;
    }
    resetHandler_ = std::move(handler);
    logFailure("delete the passcode", KeychainItemStore::resetPasscodeForUsername(username));
    return showLockScreenWithMode(LKLockScreenModeNew);
}

void TVKPasscodeManager::showAlertWithTitle(const std::string& title, const std::string& message,
                                            const std::string& actionTitle,
                                            std::function<void(const ui::AlertAction&)> handler) {
    auto alert = ui::AlertController::make(title, message, ui::AlertStyle::Alert);
    alert->addAction({actionTitle, ui::AlertActionStyle::Default,
                      [handler = std::move(handler)](const ui::AlertAction& action) {
                          if (handler)
                              handler(action);
                      }});
    if (auto top = topViewController())
        top->presentViewController(alert, true);
}

// --- Data source

bool TVKPasscodeManager::lockScreenViewController(LKLockScreenViewController&,
                                                  const std::string& pincode) {
    std::string stored = KeychainItemStore::getPasscodeForUsername(currentUsername());
    // No stored passcode matches nothing, not even an empty entry.
    return !stored.empty() && fc_isEqualInConsistentTime(bytes(stored), bytes(pincode));
}

bool TVKPasscodeManager::allowBiometricAuthenticationLockScreenViewController(
    LKLockScreenViewController&) {
    return TVKQuarraAuthManager::sharedInstance().biometricAuthenticationUserSelected();
}

// --- Delegate

void TVKPasscodeManager::unlocked() {
    logFailure("reset the failed attempts", KeychainItemStore::setNumFailedUnlockAttempts(0));
    if (auto delegate = passcodeDelegate())
        delegate->unlockWasSuccessful();
}

void TVKPasscodeManager::unlockWasSuccessfulLockScreenViewController(
    LKLockScreenViewController& controller, const std::string& pincode) {
    if (controller.lockScreenMode() == LKLockScreenModeNew) {
        logFailure("store the passcode",
                   KeychainItemStore::setPasscode(pincode, currentUsername()));
        // Cleared before it runs, so it runs once even if it asks for another reset.
        auto handler = std::move(resetHandler_);
        resetHandler_ = nullptr;
        if (handler)
            handler();
    }
    unlocked();
}

void TVKPasscodeManager::unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController&) {
    unlocked();
}

void TVKPasscodeManager::unlockWasCancelledLockScreenViewController(
    LKLockScreenViewController& controller) {
    if (controller.lockScreenMode() != LKLockScreenModeNormal)
        return;
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    logFailure("delete the passcode",
               KeychainItemStore::resetPasscodeForUsername(currentUsername()));
    auth.logout();
    auth.authenticateWithHandler(nullptr);
}

void TVKPasscodeManager::unlockWasFailureLockScreenViewController(
    LKLockScreenViewController& controller) {
    if (controller.lockScreenMode() == LKLockScreenModeNew)
        return;
    std::uint64_t failures = KeychainItemStore::getNumFailedUnlockAttempts() + 1;
    // A count that cannot be kept would allow guesses without end: that counts as the limit.
    ErrorPtr countError = KeychainItemStore::setNumFailedUnlockAttempts(failures);
    logFailure("count the failed attempt", countError);
    if (failures < maxFailedAttempts_ && !countError)
        return;
    // The passcode and the session go together, before the alert: a process ended while the
    // alert shows must not leave a signed-in user without a passcode.
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    logFailure("delete the passcode",
               KeychainItemStore::resetPasscodeForUsername(currentUsername()));
    auth.logout();
    const Bundle& sdk = Bundle::sdk();
    std::weak_ptr<ui::ViewController> lockScreen = controller.shared_from_this();
    showAlertWithTitle(
        "",
        sdk.localizedString("You have exceeded the number of unlock attempts allowed. Please "
                            "login again and reset your pin code."),
        sdk.localizedString("Continue"), [lockScreen](const ui::AlertAction&) {
            if (auto screen = lockScreen.lock())
                screen->dismissViewController(false);
            TVKQuarraAuthManager::sharedInstance().authenticateWithHandler(nullptr);
        });
}

}  // namespace quarra
