#pragma once
// The full-screen lock screen: the user types the four-digit application passcode, chooses a new
// one (typing it twice) or unlocks with biometrics. It knows nothing of users or keychains: its
// data source judges passcodes and says whether biometrics may be offered, and its delegate hears
// the outcome. It dismisses itself on success and on "Reset". Main thread only.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "auth/ui/LKLockScreenNumber.h"
#include "auth/ui/LKLockScreenPincodeView.h"
#include "quarra/Error.h"
#include "quarra/ui/Button.h"
#include "quarra/ui/Label.h"
#include "quarra/ui/ViewController.h"

namespace quarra {

enum LKLockScreenMode : long {
    LKLockScreenModeNormal = 0,        // unlock with the passcode (or biometrics)
    LKLockScreenModeNew = 1,           // choose a passcode, then confirm it
    LKLockScreenModeChange = 2,        // choose a replacement, then confirm it
    LKLockScreenModeVerification = 3,  // the confirmation step of modes 1 and 2
};

class LKLockScreenViewController;

class LKLockScreenViewControllerDataSource {
  public:
    virtual ~LKLockScreenViewControllerDataSource() = default;
    // Whether `pincode` is the right passcode.
    virtual bool lockScreenViewController(LKLockScreenViewController& controller,
                                          const std::string& pincode) = 0;
    // Whether biometric unlock may be offered; by default not.
    virtual bool allowBiometricAuthenticationLockScreenViewController(LKLockScreenViewController&) {
        return false;
    }
};

// Every method is optional.
class LKLockScreenViewControllerDelegate {
  public:
    virtual ~LKLockScreenViewControllerDelegate() = default;
    // A passcode was accepted (mode 0) or chosen and confirmed (modes 1 and 2).
    virtual void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController&,
                                                             const std::string& /*pincode*/) {}
    // Unlocked by biometrics.
    virtual void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController&) {}
    // "Reset" was pressed.
    virtual void unlockWasCancelledLockScreenViewController(LKLockScreenViewController&) {}
    // A wrong passcode or a failed confirmation.
    virtual void unlockWasFailureLockScreenViewController(LKLockScreenViewController&) {}
};

class LKLockScreenViewController : public ui::ViewController,
                                   public LKLockScreenPincodeViewDelegate {
  public:
    // A lock screen built from its nib. Set the mode, delegate and data source before presenting.
    static std::shared_ptr<LKLockScreenViewController> make();

    long lockScreenMode() const { return mode_; }
    void setLockScreenMode(long mode) { mode_ = mode; }
    std::shared_ptr<LKLockScreenViewControllerDelegate> delegate() const {
        return delegate_.lock();
    }
    void setDelegate(std::weak_ptr<LKLockScreenViewControllerDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    std::shared_ptr<LKLockScreenViewControllerDataSource> dataSource() const {
        return dataSource_.lock();
    }
    void setDataSource(std::weak_ptr<LKLockScreenViewControllerDataSource> dataSource) {
        dataSource_ = std::move(dataSource);
    }

    // Why the last biometric prompt did not unlock; null when none failed.
    const ErrorPtr& biometricError() const { return biometricError_; }

    // Outlets of the "LKLockScreenViewController" nib.
    std::shared_ptr<ui::Label> titleLabel;
    std::shared_ptr<ui::Label> subtitleLabel;
    std::shared_ptr<ui::Button> cancelButton;
    std::shared_ptr<ui::Button> deleteButton;
    // The ten digit buttons; each one's tag is its digit.
    std::vector<std::shared_ptr<LKLockScreenNumber>> numberButtons;
    std::shared_ptr<LKLockScreenPincodeView> pincodeView;

    // Actions of the nib.
    void onNumberClicked(ui::Control& sender);
    void onDeleteClicked();
    void onCancelClicked();

    void lockScreenPincodeView(LKLockScreenPincodeView& view, const std::string& pincode) override;

    bool shouldAutorotate() const override { return true; }
    // Portrait and portrait upside down.
    unsigned long supportedInterfaceOrientations() const override;

  protected:
    ui::ViewPtr loadView() override;
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

  private:
    LKLockScreenViewController() = default;

    void initCustomColors();
    void setTexts(const std::string& titleKey, const std::string& subtitleKey);
    void succeed(const std::string& pincode);
    void fail();
    void swipeToConfirmation();
    void dismissAfterBiometricUnlock(double delay);
    std::shared_ptr<LKLockScreenViewController> self();

    long mode_ = LKLockScreenModeNormal;
    long previousMode_ = LKLockScreenModeNormal;
    std::string confirmPasscode_;
    // Digits pressed while the confirmation slides in: entered once the dot row takes them.
    std::optional<std::string> typedDuringSwipe_;
    ErrorPtr biometricError_;
    std::weak_ptr<LKLockScreenViewControllerDelegate> delegate_;
    std::weak_ptr<LKLockScreenViewControllerDataSource> dataSource_;
};

}  // namespace quarra
