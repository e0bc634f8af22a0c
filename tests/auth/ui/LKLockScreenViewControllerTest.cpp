#include "auth/ui/LKLockScreenViewController.h"

#include <gtest/gtest.h>

#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/PngRenderer.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Sounds.h"
#include "quarra/ui/Window.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

using std::chrono::milliseconds;

// Judges passcodes and writes down what the screen reports, in order.
struct Judge : LKLockScreenViewControllerDataSource, LKLockScreenViewControllerDelegate {
    std::string passcode = "1234";
    bool allowBiometrics = false;
    std::vector<std::string> events;

    bool lockScreenViewController(LKLockScreenViewController&, const std::string& p) override {
        return p == passcode;
    }
    bool allowBiometricAuthenticationLockScreenViewController(
        LKLockScreenViewController&) override {
        return allowBiometrics;
    }
    void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController& c,
                                                     const std::string& p) override {
        events.push_back("success " + p + " mode " + std::to_string(c.lockScreenMode()));
    }
    void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController&) override {
        events.push_back("biometric success");
    }
    void unlockWasCancelledLockScreenViewController(LKLockScreenViewController&) override {
        events.push_back("cancelled");
    }
    void unlockWasFailureLockScreenViewController(LKLockScreenViewController&) override {
        events.push_back("failure");
    }
};

class LockScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setMainBundle("com.example.host");
        ui::Scheduler::setShared(clock);
        ui::BiometricService::setShared(biometrics);
        window->setRootViewController(std::make_shared<ui::ViewController>());
        window->makeKeyAndVisible();
        ui::Sounds::clear();
    }
    void TearDown() override {
        ui::Scheduler::setShared(nullptr);
        ui::BiometricService::setShared(nullptr);
    }

    std::shared_ptr<LKLockScreenViewController> present(long mode) {
        screen = LKLockScreenViewController::make();
        screen->setLockScreenMode(mode);
        screen->setDelegate(judge);
        screen->setDataSource(judge);
        EXPECT_TRUE(window->rootViewController()->presentViewController(screen, false));
        return screen;
    }
    void type(const std::string& digits) {
        for (char c : digits)
            screen->numberButtons.at(c - '0')->tap();
    }
    bool presented() const {
        return window->rootViewController()->presentedViewController() != nullptr;
    }
    using Texts = std::pair<std::string, std::string>;
    Texts texts() const { return {screen->titleLabel->text(), screen->subtitleLabel->text()}; }

    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    std::shared_ptr<ui::ScriptedBiometricService> biometrics =
        std::make_shared<ui::ScriptedBiometricService>();
    std::shared_ptr<ui::Window> window = ui::Window::make();
    std::shared_ptr<Judge> judge = std::make_shared<Judge>();
    std::shared_ptr<LKLockScreenViewController> screen;
};

TEST_F(LockScreen, EachModeShowsItsTextsAndButtons) {
    struct Case {
        long mode;
        bool allow;
        ui::BiometryType biometry;
        std::string title, subtitle;
        bool cancelShown;
    };
    const Case cases[] = {
        {LKLockScreenModeNormal, false, ui::BiometryType::TouchID, "Enter Passcode", "", true},
        {LKLockScreenModeNormal, true, ui::BiometryType::TouchID, "Fingerprint or Enter Passcode",
         "", true},
        {LKLockScreenModeNormal, true, ui::BiometryType::FaceID, "Fingerprint or Enter Passcode",
         "", true},
        // Allowed, but the device has no biometry: no title at all.
        {LKLockScreenModeNormal, true, ui::BiometryType::None, "", "", true},
        {LKLockScreenModeNew, false, ui::BiometryType::None, "Set Passcode",
         "Enter a 4 digit passcode", false},
        {LKLockScreenModeVerification, false, ui::BiometryType::None, "Enter Passcode", "", true},
        // The table's keys stand as they are; the English table gives the texts.
        {LKLockScreenModeChange, false, ui::BiometryType::None, "Enter New Passcode",
         "Enter your new 4 digit passcode", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        if (c.biometry == ui::BiometryType::None)
            biometrics->setUnavailable(ui::BiometricErrorNotEnrolled);
        else
            biometrics->setAvailable(c.biometry);
        judge->allowBiometrics = c.allow;
        present(c.mode);
        EXPECT_EQ(texts(), std::pair(c.title, c.subtitle));
        EXPECT_EQ(screen->cancelButton->isHidden(), !c.cancelShown);
        EXPECT_EQ(screen->cancelButton->titleForState(ui::ControlStateNormal),
                  c.mode == LKLockScreenModeNormal || c.mode == LKLockScreenModeVerification
                      ? "Reset"
                      : "Cancel");
        EXPECT_EQ(screen->deleteButton->titleForState(ui::ControlStateNormal), "Delete");
        screen->dismissViewController(false);
    }
    // Only a device with biometry is ever prompted, always naming the reader the desktop has.
    EXPECT_EQ(biometrics->prompts(),
              (std::vector<std::string>{"Please unlock with the fingerprint reader",
                                        "Please unlock with the fingerprint reader"}));
}

TEST_F(LockScreen, TakesTheHostColours) {
    Bundle::setMainBundle("com.example.host", {{"com.tovik.ui.primary_color", "[0, 0, 255]"}});
    present(LKLockScreenModeNormal);
    EXPECT_EQ(screen->pincodeView->pincodeColor(), ui::Color::rgb(0, 0, 1));
    EXPECT_EQ(screen->numberButtons[5]->tintColor(), ui::Color::rgb(0, 0, 1));
    ui::Color grey = ui::Color::rgb(142 / 255.0, 142 / 255.0, 147 / 255.0);
    EXPECT_EQ(screen->titleLabel->textColor(), grey);
    EXPECT_EQ(screen->numberButtons[5]->titleColorForState(ui::ControlStateNormal), grey);
    EXPECT_EQ(screen->view()->backgroundColor(), ui::Color::white());
}

TEST_F(LockScreen, RightPasscodeUnlocksOnceAndDismisses) {
    present(LKLockScreenModeNormal);
    type("12");
    EXPECT_EQ(screen->pincodeView->filledDots(), 2u);
    screen->deleteButton->tap();
    type("234");
    EXPECT_FALSE(presented());
    // A fifth tap after the fourth reports nothing more.
    type("5");
    EXPECT_EQ(judge->events, std::vector<std::string>{"success 1234 mode 0"});
}

TEST_F(LockScreen, DeleteOnAnEmptyRowDoesNothing) {
    present(LKLockScreenModeNormal);
    int redraws = screen->pincodeView->displayCount();
    screen->deleteButton->tap();
    EXPECT_EQ(screen->pincodeView->pincode(), "");
    EXPECT_EQ(screen->pincodeView->displayCount(), redraws);
}

TEST_F(LockScreen, WrongPasscodeShakesPausesAndClears) {
    present(LKLockScreenModeNormal);
    type("9999");
    EXPECT_EQ(judge->events, std::vector<std::string>{"failure"});
    EXPECT_EQ(ui::Sounds::played(), std::vector<unsigned>{ui::SystemSoundVibrate});
    const ui::Animation* shake = screen->pincodeView->layer()->animationForKey("shake");
    ASSERT_TRUE(shake);
    EXPECT_EQ(shake->keyPath, "transform.translation.x");
    EXPECT_EQ(shake->values, (std::vector<double>{-20, 20, -20, 20, -10, 10, -5, 5, 0}));
    EXPECT_EQ(shake->duration, 0.5);

    // Typing during the pause is ignored, so it can neither fail again nor unlock.
    type("1234");
    EXPECT_EQ(screen->pincodeView->pincode(), "9999");
    clock->advance(milliseconds(499));
    EXPECT_FALSE(screen->pincodeView->isEnabled());
    clock->advance(milliseconds(1));
    EXPECT_TRUE(screen->pincodeView->isEnabled());
    EXPECT_EQ(screen->pincodeView->pincode(), "");
    EXPECT_FALSE(screen->pincodeView->layer()->animationForKey("shake"));
    EXPECT_EQ(texts(), Texts("Enter Passcode", ""));

    type("1234");
    EXPECT_EQ(judge->events, (std::vector<std::string>{"failure", "success 1234 mode 0"}));
}

TEST_F(LockScreen, NewPasscodeIsConfirmedBeforeItIsReported) {
    present(LKLockScreenModeNew);
    type("4711");
    EXPECT_EQ(screen->lockScreenMode(), LKLockScreenModeVerification);
    EXPECT_EQ(texts(), Texts("Confirm Passcode", "Re-enter your passcode to confirm"));
    // The row slides out and back in; it takes no digits until it is back.
    EXPECT_FALSE(screen->pincodeView->isEnabled());
    clock->advance(milliseconds(600));
    EXPECT_TRUE(screen->pincodeView->isEnabled());
    EXPECT_EQ(screen->pincodeView->pincode(), "");
    EXPECT_EQ(screen->subtitleLabel->frame().x(), 16);

    type("4711");
    EXPECT_EQ(judge->events, std::vector<std::string>{"success 4711 mode 1"});
    EXPECT_FALSE(presented());
}

// The confirmation shows at once: digits pressed while it slides in (a delete among them) are
// entered once the row is back, none beyond four.
TEST_F(LockScreen, DigitsPressedWhileTheConfirmationSlidesInCount) {
    present(LKLockScreenModeNew);
    type("4711");
    clock->advance(milliseconds(100));
    type("48");
    screen->deleteButton->tap();
    clock->advance(milliseconds(300));
    type("7119");
    EXPECT_EQ(screen->pincodeView->pincode(), "");
    EXPECT_TRUE(judge->events.empty());
    clock->advance(milliseconds(200));
    EXPECT_EQ(judge->events, std::vector<std::string>{"success 4711 mode 1"});
    EXPECT_FALSE(presented());
}

TEST_F(LockScreen, MismatchedConfirmationStartsOver) {
    present(LKLockScreenModeNew);
    type("4711");
    clock->advance(milliseconds(600));
    type("4712");
    // Back in mode 1 before the delegate hears of it.
    EXPECT_EQ(screen->lockScreenMode(), LKLockScreenModeNew);
    EXPECT_EQ(judge->events, std::vector<std::string>{"failure"});
    clock->advance(milliseconds(500));
    EXPECT_EQ(texts(), Texts("Set Passcode", "Enter a 4 digit passcode"));
    // The first entry was discarded: it must be chosen and confirmed again.
    type("4711");
    EXPECT_EQ(screen->lockScreenMode(), LKLockScreenModeVerification);
    clock->advance(milliseconds(600));
    type("4711");
    EXPECT_EQ(judge->events, (std::vector<std::string>{"failure", "success 4711 mode 1"}));
}

TEST_F(LockScreen, ResetTellsTheDelegateAndDismisses) {
    present(LKLockScreenModeNormal);
    screen->cancelButton->tap();
    EXPECT_EQ(judge->events, std::vector<std::string>{"cancelled"});
    EXPECT_FALSE(presented());
}

TEST_F(LockScreen, BiometricSuccessFillsTheDotsThenUnlocks) {
    biometrics->setAvailable(ui::BiometryType::FaceID);
    biometrics->queueOutcome(true);
    judge->allowBiometrics = true;
    present(LKLockScreenModeNormal);
    // The reply reaches the screen on the main queue.
    ASSERT_TRUE(runMainUntil([&] { return clock->pending() > 0; }));
    EXPECT_EQ(biometrics->prompts(),
              std::vector<std::string>{"Please unlock with the fingerprint reader"});
    clock->advance(milliseconds(30));
    EXPECT_EQ(screen->pincodeView->filledDots(), 4u);
    EXPECT_TRUE(presented());
    // A digit typed while the dots fill counts for nothing.
    type("9999");
    clock->advance(milliseconds(370));
    EXPECT_FALSE(presented());
    EXPECT_EQ(judge->events, std::vector<std::string>{"biometric success"});
}

TEST_F(LockScreen, BiometricFailureOrCancelLeavesThePasscode) {
    for (long code : {ui::BiometricErrorUserCancel, ui::BiometricErrorAuthenticationFailed,
                      ui::BiometricErrorUserFallback}) {
        SCOPED_TRACE(code);
        judge->events.clear();
        biometrics->setAvailable(ui::BiometryType::TouchID);
        judge->allowBiometrics = true;
        present(LKLockScreenModeNormal);
        std::size_t prompts = biometrics->prompts().size();
        ASSERT_TRUE(biometrics->respond(false, code));
        ASSERT_TRUE(runMainUntil([&] { return screen->biometricError() != nullptr; }));
        EXPECT_EQ(screen->biometricError()->code(), code);
        EXPECT_EQ(biometrics->prompts().size(), prompts);
        EXPECT_EQ(clock->pending(), 0u);
        EXPECT_TRUE(presented());
        type("1234");
        EXPECT_EQ(judge->events, std::vector<std::string>{"success 1234 mode 0"});
    }
}

TEST_F(LockScreen, StaysUpright) {
    present(LKLockScreenModeNormal);
    EXPECT_EQ(screen->supportedInterfaceOrientations(), 6u);
    EXPECT_TRUE(screen->shouldAutorotate());
}

TEST_F(LockScreen, DrawsToAPngOfTheScreensSize) {
    present(LKLockScreenModeNormal);
    type("12");
    test::TempDir dir;
    auto file = dir / "lock.png";
    ASSERT_EQ(ui::drawWindowToPng(*window, file, 2), nullptr);
    std::string png = test::readFile(file);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) |
               (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) |
               static_cast<unsigned char>(png[at + 3]);
    };
    EXPECT_EQ(be32(16), 750);
    EXPECT_EQ(be32(20), 1334);

    auto error = ui::drawWindowToPng(*window, dir / "missing" / "lock.png");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), ui::PngRendererErrorDomain);
}

}  // namespace
}  // namespace quarra
