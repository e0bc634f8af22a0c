#pragma once
// Guards the host with a four-digit application passcode per signed-in user. At every launch and
// every return to the foreground, while the feature is on and somebody is signed in, it presents
// the lock screen: to choose a passcode when the user has none, otherwise to unlock. It judges the
// typed passcodes, counts failed unlocks (across launches) and, at the limit, deletes the passcode
// and signs the user out; the host's passcode delegate hears of every successful unlock.
//
// A keychain that cannot be read (a keyring locked while the host was away) never counts as "no
// passcode": the lock screen stays up asking for the passcode, says that the keychain is locked,
// and neither a typed passcode nor a failed attempt is judged until the keychain answers again.
//
// Host configuration (Info dictionary, read once): "com.tovik.PasscodeEnabled" (Boolean, default
// true) and "com.tovik.MaxAllowedUnlockAttempts" (number, default 5, at least 1).
// Main thread only, except showLockScreenWithMode, which may be called from any thread.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auth/ui/LKLockScreenViewController.h"
#include "quarra/NotificationCenter.h"
#include "quarra/Result.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/ViewController.h"

namespace quarra {

class TVKPasscodeManager : public LKLockScreenViewControllerDataSource,
                           public LKLockScreenViewControllerDelegate,
                           public std::enable_shared_from_this<TVKPasscodeManager> {
  public:
    static TVKPasscodeManager& sharedInstance();

    TVKPasscodeManager(const TVKPasscodeManager&) = delete;
    TVKPasscodeManager& operator=(const TVKPasscodeManager&) = delete;
    ~TVKPasscodeManager() override;

    // (Re)registers for the launch and foreground notifications and reads the configuration.
    void initConfig();
    void hostApplicationDidFinishLaunching();
    void hostApplicationWillEnterForeground();

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isPasscodeEnabled() const { return enabled_; }
    unsigned long maxFailedAttempts() const { return maxFailedAttempts_; }
    void setMaxFailedAttempts(unsigned long attempts) { maxFailedAttempts_ = attempts; }
    // Runs once, after the passcode chosen through resetPasscodeWithHandler has been stored.
    const std::function<void()>& resetHandler() const { return resetHandler_; }
    void setResetHandler(std::function<void()> handler) { resetHandler_ = std::move(handler); }
    std::shared_ptr<TVKPasscodeManagerDelegate> passcodeDelegate() const {
        return passcodeDelegate_.lock();
    }
    void setPasscodeDelegate(std::weak_ptr<TVKPasscodeManagerDelegate> delegate) {
        passcodeDelegate_ = std::move(delegate);
    }

    // Whether the signed-in user has a passcode (false when nobody is signed in); the keychain's
    // error when it could not be read.
    Result<bool> isPasscodeSet() const;
    // The lock screen for the signed-in user: to unlock when a passcode is set, otherwise to
    // choose one. False when nothing was (or will be) presented.
    bool showLockScreen();
    bool isShowingLockScreen() const;
    // Deletes the user's passcode and asks for a new one; `handler` runs once it is stored.
    // Nobody signed in, or a passcode the keychain refuses to delete: false, and `handler` is not
    // called. Feature off: `handler` runs at once and the answer is false.
    bool resetPasscodeWithHandler(std::function<void()> handler);
    // Presents a lock screen in `mode` over the top controller. Off the main thread the
    // presentation moves to the main queue and the answer is true when it may happen.
    bool showLockScreenWithMode(long mode);
    // Feature on, somebody signed in, a controller to present from, and no lock screen on top.
    bool canPresentLockScreen() const;
    // From the key window's root controller up the chain of presented ones; null without one.
    ui::ViewControllerPtr topViewController() const;
    void showAlertWithTitle(const std::string& title, const std::string& message,
                            const std::string& actionTitle,
                            std::function<void(const ui::AlertAction&)> handler);

    // --- The lock screen's data source and delegate
    bool lockScreenViewController(LKLockScreenViewController& controller,
                                  const std::string& pincode) override;
    bool allowBiometricAuthenticationLockScreenViewController(
        LKLockScreenViewController& controller) override;
    void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController& controller,
                                                     const std::string& pincode) override;
    void unlockWasSuccessfulLockScreenViewController(
        LKLockScreenViewController& controller) override;
    void unlockWasCancelledLockScreenViewController(
        LKLockScreenViewController& controller) override;
    void unlockWasFailureLockScreenViewController(LKLockScreenViewController& controller) override;

  private:
    // What the last check of a typed passcode found.
    enum class Judgement { Right, Wrong, NoPasscode, Unreadable };

    TVKPasscodeManager();
    void removeObservers();
    void unlocked();
    // Tells the person on `controller` why their passcode cannot be checked now.
    static void showKeychainLocked(LKLockScreenViewController& controller);
    // showLockScreenWithMode, saying on the screen, when `keychainLocked`, why the passcode
    // cannot be checked now.
    bool presentLockScreen(long mode, bool keychainLocked);
    // Takes `controller` away and shows the lock screen that the keychain now calls for.
    void replaceLockScreen(LKLockScreenViewController& controller);
    // Takes away every lock screen but `chosen` that is still presented. Once `chosen` is gone
    // they are all out of sight (under the sign-in screen, say, which brings back the host's
    // screen they cover).
    void dismissOtherLockScreens(const LKLockScreenViewController& chosen);

    bool enabled_ = true;
    unsigned long maxFailedAttempts_ = 5;
    std::function<void()> resetHandler_;
    std::weak_ptr<TVKPasscodeManagerDelegate> passcodeDelegate_;
    ObserverToken foregroundObserver_ = 0;
    ObserverToken launchObserver_ = 0;
    Judgement lastJudgement_ = Judgement::Wrong;
    // The lock screens presented so far, until they are gone.
    std::vector<std::weak_ptr<LKLockScreenViewController>> lockScreens_;
};

}  // namespace quarra
