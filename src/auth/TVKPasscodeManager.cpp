#include "auth/TVKPasscodeManager.h"

#include <cmath>
#include <utility>

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

Result<bool> TVKPasscodeManager::isPasscodeSet() const {
    std::string username = currentUsername();
    if (username.empty())
        return false;
    auto stored = KeychainItemStore::getPasscodeForUsername(username);
    if (!stored)
        return stored.error();
    return stored->has_value();
}

bool TVKPasscodeManager::showLockScreen() {
    auto set = isPasscodeSet();
    logFailure("read the passcode", set.error());
    // A passcode that cannot be read may well be set: the screen asks for it and never offers to
    // choose one over it.
    bool unlock = !set || *set;
    if (unlock && !TVKQuarraAuth::sharedInstance().currentUser())
        return false;
    return presentLockScreen(unlock ? LKLockScreenModeNormal : LKLockScreenModeNew, !set);
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
    return presentLockScreen(mode, false);
}

bool TVKPasscodeManager::presentLockScreen(long mode, bool keychainLocked) {
    if (!canPresentLockScreen())
        return false;
    if (!isMainThread()) {
        DispatchQueue::main()->async(
            [this, mode, keychainLocked] { presentLockScreen(mode, keychainLocked); });
        return true;
    }
    auto lockScreen = LKLockScreenViewController::make();
    lockScreen->setLockScreenMode(mode);
    lockScreen->setDelegate(
        std::static_pointer_cast<LKLockScreenViewControllerDelegate>(shared_from_this()));
    lockScreen->setDataSource(
        std::static_pointer_cast<LKLockScreenViewControllerDataSource>(shared_from_this()));
    lockScreen->setModalPresentationStyle(ui::ModalPresentationStyle::OverFullScreen);
    bool presented = topViewController()->presentViewController(lockScreen, false);
    if (presented) {
        std::erase_if(lockScreens_, [](const auto& screen) { return screen.expired(); });
        lockScreens_.push_back(lockScreen);
    }
    if (presented && keychainLocked)
        showKeychainLocked(*lockScreen);
    return presented;
}

void TVKPasscodeManager::dismissOtherLockScreens(const LKLockScreenViewController& chosen) {
    auto screens = std::exchange(lockScreens_, {});
    for (const auto& weak : screens) {
        auto screen = weak.lock();
        if (!screen || screen.get() == &chosen)
            continue;
        // Its presenter takes it away with whatever was presented over it.
        if (auto presenter = screen->presentingViewController())
            presenter->dismissViewController(false);
    }
}

void TVKPasscodeManager::showKeychainLocked(LKLockScreenViewController& controller) {
    controller.subtitleLabel->setText(
        Bundle::sdk().localizedString("The keychain is locked. Unlock it to go on."));
}

void TVKPasscodeManager::replaceLockScreen(LKLockScreenViewController& controller) {
    auto self = shared_from_this();
    controller.dismissViewController(false, [self] { self->showLockScreen(); });
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
    // Choosing a passcode while the old one stays would leave the old one in force.
    if (ErrorPtr error = KeychainItemStore::resetPasscodeForUsername(username)) {
        logFailure("delete the passcode", error);
        return false;
    }
    resetHandler_ = std::move(handler);
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

bool TVKPasscodeManager::lockScreenViewController(LKLockScreenViewController& controller,
                                                  const std::string& pincode) {
    auto stored = KeychainItemStore::getPasscodeForUsername(currentUsername());
    if (!stored) {
        logFailure("read the passcode", stored.error());
        lastJudgement_ = Judgement::Unreadable;
        showKeychainLocked(controller);
        return false;
    }
    controller.subtitleLabel->setText("");
    // No stored passcode matches nothing, not even an empty entry.
    if (!*stored) {
        lastJudgement_ = Judgement::NoPasscode;
        return false;
    }
    bool right = fc_isEqualInConsistentTime(bytes(**stored), bytes(pincode));
    lastJudgement_ = right ? Judgement::Right : Judgement::Wrong;
    return right;
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
        if (ErrorPtr error = KeychainItemStore::setPasscode(pincode, currentUsername())) {
            // A passcode not stored was not chosen: nothing is unlocked and the person is asked
            // again, by the screen that the keychain now calls for.
            logFailure("store the passcode", error);
            if (showLockScreen() && isMainThread()) {
                auto screen =
                    std::dynamic_pointer_cast<LKLockScreenViewController>(topViewController());
                if (screen && screen->lockScreenMode() == LKLockScreenModeNew) {
                    screen->subtitleLabel->setText(Bundle::sdk().localizedString(
                        "The passcode could not be saved. Try again."));
                }
            }
            return;
        }
        // One lock screen at a time: any other one asked for what is now chosen. A launch's lock
        // screen left under the sign-in screen would otherwise come back with the host's screen.
        dismissOtherLockScreens(controller);
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
    logFailure("log out", auth.logout());
    auth.authenticateWithHandler(nullptr);
}

void TVKPasscodeManager::unlockWasFailureLockScreenViewController(
    LKLockScreenViewController& controller) {
    if (controller.lockScreenMode() == LKLockScreenModeNew)
        return;
    // Only an unlock asks the data source; a failed confirmation of a change does not.
    const Judgement judged = controller.lockScreenMode() == LKLockScreenModeNormal
                                 ? std::exchange(lastJudgement_, Judgement::Wrong)
                                 : Judgement::Wrong;
    if (judged == Judgement::Unreadable)
        return;  // nothing was judged, so nothing was guessed wrong
    if (judged == Judgement::NoPasscode) {
        replaceLockScreen(controller);  // the keychain answers again and holds none
        return;
    }
    auto counted = KeychainItemStore::getNumFailedUnlockAttempts();
    std::uint64_t failures = counted.valueOr(0) + 1;
    // A count that cannot be kept would allow guesses without end: that counts as the limit.
    ErrorPtr countError =
        counted ? KeychainItemStore::setNumFailedUnlockAttempts(failures) : counted.error();
    logFailure("count the failed attempt", countError);
    if (failures < maxFailedAttempts_ && !countError)
        return;
    // The passcode and the session go together, before the alert: a process ended while the
    // alert shows must not leave a signed-in user without a passcode.
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    logFailure("delete the passcode",
               KeychainItemStore::resetPasscodeForUsername(currentUsername()));
    logFailure("log out", auth.logout());
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
