#include "auth/ui/LKLockScreenViewController.h"

#include <syslog.h>

#include "auth/TVKBiometricAuthenticationManager.h"
#include "auth/ui/TVKCustomUI.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Sounds.h"

namespace quarra {
namespace {

std::string lockScreenText(const std::string& key) {
    return Bundle::sdk().localizedString(key);
}

constexpr double kButton = 75, kButtonGap = 25, kRowGap = 15;

// The one constraint that ties the subtitle (and the dots below it) to the screen's centre line.
ui::LayoutConstraintPtr subtitleCenterConstraint(const ui::View& root,
                                                 const std::shared_ptr<ui::Label>& subtitle) {
    for (const auto& constraint : root.constraints()) {
        if (constraint->firstItem.lock().get() == &root &&
            constraint->secondItem.lock() == subtitle &&
            constraint->firstAttribute == ui::LayoutAttribute::CenterX) {
            return constraint;
        }
    }
    return nullptr;
}

// The "LKLockScreenViewController" nib: texts at the top, the dot row, a keypad of three columns
// with "Reset" and "Delete" beside the 0, and the connections of its outlets and actions.
ui::ViewPtr loadLKLockScreenViewControllerNib(LKLockScreenViewController& owner,
                                              std::weak_ptr<LKLockScreenViewController> weak) {
    auto root = ui::View::make(ui::Application::shared().screenBounds());
    owner.titleLabel = ui::View::make<ui::Label>();
    owner.titleLabel->setFont(ui::Font::system(20));
    owner.subtitleLabel = ui::View::make<ui::Label>();
    owner.subtitleLabel->setFont(ui::Font::system(14));
    for (const auto& label : {owner.titleLabel, owner.subtitleLabel}) {
        label->setTextAlignment(ui::TextAlignment::Center);
        root->addSubview(label);
    }
    owner.pincodeView = ui::View::make<LKLockScreenPincodeView>();
    root->addSubview(owner.pincodeView);

    auto action = [weak](void (LKLockScreenViewController::*method)()) {
        return [weak, method](ui::Control&) {
            if (auto controller = weak.lock())
                (controller.get()->*method)();
        };
    };
    for (long digit = 0; digit <= 9; ++digit) {
        auto button = ui::View::make<LKLockScreenNumber>();
        button->setTag(digit);
        button->setTitle(std::to_string(digit));
        button->setTitleFont(ui::Font::system(30));
        button->addTarget(ui::ControlEventTouchUpInside, [weak](ui::Control& sender) {
            if (auto controller = weak.lock())
                controller->onNumberClicked(sender);
        });
        owner.numberButtons.push_back(button);
        root->addSubview(button);
    }
    owner.cancelButton = ui::View::make<ui::Button>();
    // What it reads where the mode names it nothing else (choosing a replacement passcode).
    owner.cancelButton->setTitle(lockScreenText("Cancel"));
    owner.cancelButton->addTarget(ui::ControlEventTouchUpInside,
                                  action(&LKLockScreenViewController::onCancelClicked));
    owner.deleteButton = ui::View::make<ui::Button>();
    owner.deleteButton->addTarget(ui::ControlEventTouchUpInside,
                                  action(&LKLockScreenViewController::onDeleteClicked));
    for (const auto& button : {owner.cancelButton, owner.deleteButton}) {
        button->setTitleFont(ui::Font::system(16));
        root->addSubview(button);
    }

    root->addConstraint(std::make_shared<ui::LayoutConstraint>(
        ui::LayoutConstraint{root, ui::LayoutAttribute::CenterX, owner.subtitleLabel,
                             ui::LayoutAttribute::CenterX, 1, 0}));

    auto* title = owner.titleLabel.get();
    auto* subtitle = owner.subtitleLabel.get();
    auto* dots = owner.pincodeView.get();
    std::vector<ui::View*> keys;
    for (const auto& button : owner.numberButtons)
        keys.push_back(button.get());
    auto* cancel = owner.cancelButton.get();
    auto* erase = owner.deleteButton.get();
    std::weak_ptr<ui::Label> subtitleRef = owner.subtitleLabel;
    // Every view placed here is a subview of the root, which owns the handler.
    root->setLayoutHandler([=](ui::View& view) {
        ui::Rect b = view.bounds();
        auto constraint = subtitleCenterConstraint(view, subtitleRef.lock());
        // root.centerX = subtitle.centerX + constant: a positive constant moves the subtitle left.
        double shift = constraint ? -constraint->constant : 0;
        double top = b.height() * 0.13;
        title->setFrame(ui::Rect(16, top, b.width() - 32, 30));
        subtitle->setFrame(ui::Rect(16 + shift, top + 36, b.width() - 32, 22));
        dots->setFrame(ui::Rect(b.midX() - 60 + shift, top + 72, 120, 20));
        double left = b.midX() - kButton * 1.5 - kButtonGap;
        double firstRow = top + 120;
        auto place = [&](ui::View* v, int row, int column) {
            v->setFrame(ui::Rect(left + column * (kButton + kButtonGap),
                                 firstRow + row * (kButton + kRowGap), kButton, kButton));
        };
        for (int digit = 1; digit <= 9; ++digit)
            place(keys[digit], (digit - 1) / 3, (digit - 1) % 3);
        place(keys[0], 3, 1);
        place(cancel, 3, 0);
        place(erase, 3, 2);
    });
    return root;
}

}  // namespace

std::shared_ptr<LKLockScreenViewController> LKLockScreenViewController::make() {
    return std::shared_ptr<LKLockScreenViewController>(new LKLockScreenViewController());
}

std::shared_ptr<LKLockScreenViewController> LKLockScreenViewController::self() {
    return std::static_pointer_cast<LKLockScreenViewController>(shared_from_this());
}

unsigned long LKLockScreenViewController::supportedInterfaceOrientations() const {
    return ui::InterfaceOrientationMaskPortrait | ui::InterfaceOrientationMaskPortraitUpsideDown;
}

ui::ViewPtr LKLockScreenViewController::loadView() {
    auto root = loadLKLockScreenViewControllerNib(*this, self());
    pincodeView->setDelegate(std::static_pointer_cast<LKLockScreenPincodeViewDelegate>(self()));
    return root;
}

void LKLockScreenViewController::setTexts(const std::string& titleKey,
                                          const std::string& subtitleKey) {
    titleLabel->setText(titleKey.empty() ? std::string() : lockScreenText(titleKey));
    subtitleLabel->setText(subtitleKey.empty() ? std::string() : lockScreenText(subtitleKey));
}

void LKLockScreenViewController::viewDidLoad() {
    deleteButton->setTitle(lockScreenText("Delete"), ui::ControlStateNormal);
    auto source = dataSource();
    switch (mode_) {
        case LKLockScreenModeNormal:
        case LKLockScreenModeVerification:
            cancelButton->setTitle(lockScreenText("Reset"), ui::ControlStateNormal);
            if (source && source->allowBiometricAuthenticationLockScreenViewController(*this)) {
                long type = TVKBiometricAuthenticationManager::sharedInstance()
                                .getAuthTypeWithError()
                                .valueOr(TVKBiometryTypeNone);
                if (type == TVKBiometryTypeFaceID)
                    setTexts("Face ID or Enter Passcode", "");
                else if (type == TVKBiometryTypeTouchID)
                    setTexts("Touch ID or Enter Passcode", "");
                else
                    setTexts("", "");
            } else {
                setTexts("Enter Passcode", "");
            }
            break;
        case LKLockScreenModeNew:
            cancelButton->setHidden(true);
            setTexts("Set Passcode", "Enter a 4 digit passcode");
            break;
        case LKLockScreenModeChange:
            setTexts("New Pincode Title", "New Pincode Subtitle");
            break;
        default:
            break;
    }
    initCustomColors();
}

void LKLockScreenViewController::initCustomColors() {
    ui::Color primary = TVKCustomUI::customPrimaryColor();
    ui::Color secondary = TVKCustomUI::customSecondaryColor();
    cancelButton->setTitleColor(secondary, ui::ControlStateNormal);
    deleteButton->setTitleColor(secondary, ui::ControlStateNormal);
    pincodeView->setPincodeColor(primary);
    titleLabel->setTextColor(secondary);
    subtitleLabel->setTextColor(secondary);
    view()->setBackgroundColor(TVKCustomUI::customBackgroundColor());
    for (const auto& button : numberButtons) {
        button->setTintColor(primary);
        button->setTitleColor(secondary, ui::ControlStateNormal);
    }
}

void LKLockScreenViewController::viewDidAppear(bool animated) {
    ViewController::viewDidAppear(animated);
    if (mode_ != LKLockScreenModeNormal)
        return;
    auto source = dataSource();
    if (!source || !source->allowBiometricAuthenticationLockScreenViewController(*this))
        return;
    auto& biometrics = TVKBiometricAuthenticationManager::sharedInstance();
    std::string reason = "Please unlock with Touch ID";
    long type = biometrics.getAuthTypeWithError().valueOr(TVKBiometryTypeNone);
    if (type == TVKBiometryTypeFaceID)
        reason = "Please unlock with Face ID";
    if (type == TVKBiometryTypeNone)
        return;
    std::weak_ptr<LKLockScreenViewController> weak = self();
    biometrics.evaluateBiometricPolicyWithLocalizedAuthReason(
        lockScreenText(reason), [weak](bool success, const ErrorPtr& error) {
            auto controller = weak.lock();
            if (!controller)
                return;
            if (success) {
                controller->dismissAfterBiometricUnlock(0.4);
            } else {
                // The passcode can still be typed; the console hears why the prompt ended.
                controller->biometricError_ =
                    error ? error : ui::biometricError(ui::BiometricErrorAuthenticationFailed);
                std::string line = "LAContext::Authentication Error : " +
                                   (error ? error->description() : std::string("(null)"));
                syslog(LOG_NOTICE, "%s", line.c_str());
            }
        });
}

void LKLockScreenViewController::dismissAfterBiometricUnlock(double delay) {
    // Typing is over: a passcode typed while the dots fill must not count as a failure.
    pincodeView->setEnabled(false);
    pincodeView->wasCompleted();
    std::weak_ptr<LKLockScreenViewController> weak = self();
    ui::Scheduler::shared().after(ui::seconds(delay), [weak] {
        auto controller = weak.lock();
        if (!controller)
            return;
        controller->dismissViewController(false, [controller] {
            if (auto observer = controller->delegate())
                observer->unlockWasSuccessfulLockScreenViewController(*controller);
        });
    });
}

void LKLockScreenViewController::onNumberClicked(ui::Control& sender) {
    std::string digit = std::to_string(sender.tag());
    // The confirmation step shows at once; what the person types while it slides in is theirs.
    if (typedDuringSwipe_) {
        if (typedDuringSwipe_->size() < 4)
            *typedDuringSwipe_ += digit;
        return;
    }
    pincodeView->appendingPincode(digit);
}

void LKLockScreenViewController::onDeleteClicked() {
    if (typedDuringSwipe_) {
        if (!typedDuringSwipe_->empty())
            typedDuringSwipe_->pop_back();
        return;
    }
    pincodeView->removeLastPincode();
}

void LKLockScreenViewController::onCancelClicked() {
    auto keep = self();
    if (auto observer = delegate())
        observer->unlockWasCancelledLockScreenViewController(*this);
    dismissViewController(true);
}

void LKLockScreenViewController::lockScreenPincodeView(LKLockScreenPincodeView&,
                                                       const std::string& pincode) {
    if (mode_ == LKLockScreenModeVerification) {
        bool valid = pincode == confirmPasscode_;
        confirmPasscode_.clear();
        mode_ = previousMode_;
        valid ? succeed(pincode) : fail();
    } else if (mode_ != LKLockScreenModeNormal) {
        confirmPasscode_ = pincode;
        previousMode_ = mode_;
        mode_ = LKLockScreenModeVerification;
        setTexts("Confirm Passocde", "Re-enter your passcode to confirm");
        swipeToConfirmation();
    } else {
        auto source = dataSource();
        bool valid = source && source->lockScreenViewController(*this, pincode);
        valid ? succeed(pincode) : fail();
    }
}

void LKLockScreenViewController::succeed(const std::string& pincode) {
    pincodeView->setEnabled(false);
    auto controller = self();
    dismissViewController(false, [controller, pincode] {
        if (auto observer = controller->delegate())
            observer->unlockWasSuccessfulLockScreenViewController(*controller, pincode);
    });
}

void LKLockScreenViewController::fail() {
    if (mode_ != LKLockScreenModeVerification) {
        if (auto observer = delegate())
            observer->unlockWasFailureLockScreenViewController(*this);
    }
    ui::Sounds::playSystemSound(ui::SystemSoundVibrate);
    ui::Animation shake;
    shake.kind = ui::Animation::Kind::Keyframe;
    shake.keyPath = "transform.translation.x";
    shake.timing = ui::Animation::Timing::Linear;
    shake.duration = 0.5;
    shake.values = {-20, 20, -20, 20, -10, 10, -5, 5, 0};
    pincodeView->layer()->addAnimation(shake, "shake");
    pincodeView->setEnabled(false);
    std::weak_ptr<LKLockScreenViewController> weak = self();
    ui::Scheduler::shared().after(ui::seconds(0.5), [weak] {
        auto controller = weak.lock();
        if (!controller)
            return;
        controller->pincodeView->setEnabled(true);
        controller->pincodeView->initPincode();
        if (controller->mode_ == LKLockScreenModeNew)
            controller->setTexts("Set Passcode", "Enter a 4 digit passcode");
        else if (controller->mode_ == LKLockScreenModeChange)
            controller->setTexts("New Pincode Title", "New Pincode Subtitle");
    });
}

void LKLockScreenViewController::swipeToConfirmation() {
    pincodeView->setEnabled(false);
    typedDuringSwipe_.emplace();
    std::weak_ptr<LKLockScreenViewController> weakSelf = self();
    const ui::ViewPtr& root = view();
    double width = root->bounds().width();
    auto constraint = subtitleCenterConstraint(*root, subtitleLabel);
    std::weak_ptr<ui::View> weakRoot = root;
    std::weak_ptr<LKLockScreenPincodeView> weakDots = pincodeView;
    auto move = [constraint, weakRoot](double constant) {
        if (constraint)
            constraint->constant = constant;
        if (auto r = weakRoot.lock()) {
            r->setNeedsLayout();
            r->layoutIfNeeded();
        }
    };
    ui::View::animate(
        0.3, [move, width] { move(width); },
        [move, width, weakDots, weakSelf](bool) {
            if (auto dots = weakDots.lock())
                dots->initPincode();
            move(-width);
            ui::View::animate(
                0.3, [move] { move(0); },
                [weakDots, weakSelf](bool) {
                    if (auto dots = weakDots.lock())
                        dots->setEnabled(true);
                    auto controller = weakSelf.lock();
                    if (!controller || !controller->typedDuringSwipe_)
                        return;
                    std::string typed = std::move(*controller->typedDuringSwipe_);
                    controller->typedDuringSwipe_.reset();
                    for (char digit : typed)
                        controller->pincodeView->appendingPincode(std::string(1, digit));
                });
        });
}

}  // namespace quarra
