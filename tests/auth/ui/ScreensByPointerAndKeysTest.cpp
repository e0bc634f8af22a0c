// The SDK's screens as a desktop host drives them: pointer presses and releases at points, typed
// text and keys, what the screen shows read back as a screen reader reads it. Only the servers and
// the lock screen's judge are test doubles.
#include <gtest/gtest.h>

#include "auth/TVKPasscodeManager.h"
#include "auth/ui/LKLockScreenViewController.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"
#include "quarra/ui/WindowHost.h"
#include "support/PasscodeJudge.h"
#include "support/SignInTestBed.h"

namespace quarra {
namespace {

using std::chrono::milliseconds;
using ui::Key;
using ui::ScreenElement;
using ui::WindowHost;

constexpr auto kScreenLimit = std::chrono::seconds(60);

std::vector<ScreenElement> elementsWith(ScreenElement::Role role) {
    std::vector<ScreenElement> found;
    for (auto& element : WindowHost::elements()) {
        if (element.role == role)
            found.push_back(element);
    }
    return found;
}

const ScreenElement* find(const std::vector<ScreenElement>& elements, const std::string& label) {
    for (const auto& element : elements) {
        if (element.label == label)
            return &element;
    }
    return nullptr;
}

bool shows(const std::string& label) {
    auto all = WindowHost::elements();
    return find(all, label) != nullptr;
}

bool enabled(const std::string& label) {
    auto all = WindowHost::elements();
    const auto* element = find(all, label);
    return element && element->enabled;
}

void click(const ScreenElement& element) {
    ui::Point middle{element.frame.midX(), element.frame.midY()};
    ASSERT_TRUE(WindowHost::pointerPressed(middle));
    ASSERT_TRUE(WindowHost::pointerReleased(middle));
}

// The lock screen's dot row as a screen reader reads it.
std::string dots() {
    for (const auto& element : WindowHost::elements()) {
        if (element.value.find("\u25cb") != std::string::npos ||
            element.value.find("\u25cf") != std::string::npos)
            return element.value;
    }
    return "";
}

// A sign-in the host asks for, and what its handler heard.
struct SignIn {
    int calls = 0;
    TVKUserPtr user;
    ErrorPtr failure;
    SignIn() {
        TVKQuarraAuth::sharedInstance().authenticateWithHandler(
            [this](const TVKUserPtr& u, const ErrorPtr& e) {
                ++calls;
                user = u;
                failure = e;
            });
    }
};

class Screens : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setMainBundle("com.example.host");
        ui::Scheduler::setShared(clock);
        biometrics->setUnavailable(ui::BiometricErrorNotEnrolled);
        ui::BiometricService::setShared(biometrics);
        window->setRootViewController(std::make_shared<ui::ViewController>());
        window->makeKeyAndVisible();
    }
    void TearDown() override {
        WindowHost::setNeedsDrawHandler(nullptr);
        ui::Scheduler::setShared(nullptr);
        ui::BiometricService::setShared(nullptr);
    }

    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    std::shared_ptr<ui::ScriptedBiometricService> biometrics =
        std::make_shared<ui::ScriptedBiometricService>();
    std::shared_ptr<ui::Window> window = ui::Window::make();
};

// The user name, a wrong password (the SDK's own error text shows, whole), the password corrected
// with backspace, then the passcode the new user chooses: all by clicks and keys.
TEST_F(Screens, SignInWithAWrongThenTheRightPasswordAndANewPasscode) {
    test::SignInTestBed bed;
    SignIn signIn;
    const int& calls = signIn.calls;
    ASSERT_TRUE(runMainUntil([] { return shows("Next"); }, kScreenLimit));

    // Typing goes to the user name before any click, and to the password after Next; a screen
    // reader names each field by its caption.
    auto fields = elementsWith(ScreenElement::Role::TextField);
    ASSERT_EQ(fields.size(), 1u);
    EXPECT_EQ(fields[0].label, "USERNAME");
    EXPECT_TRUE(fields[0].focused);
    EXPECT_TRUE(WindowHost::insertText("alic"));
    EXPECT_TRUE(WindowHost::insertText("e"));
    EXPECT_TRUE(WindowHost::pressKey(Key::Return));
    ASSERT_TRUE(runMainUntil([] { return enabled("Log in"); }, kScreenLimit));

    // The password field is the one that shows dots.
    fields = elementsWith(ScreenElement::Role::TextField);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].value, "alice");
    EXPECT_EQ(fields[1].label, "PASSWORD");
    EXPECT_TRUE(fields[1].focused);
    EXPECT_TRUE(fields[1].enabled);
    clock->advance(milliseconds(200));
    // Tab goes round the fields and back.
    EXPECT_TRUE(WindowHost::pressKey(Key::Tab));
    EXPECT_TRUE(elementsWith(ScreenElement::Role::TextField)[0].focused);
    EXPECT_TRUE(WindowHost::pressKey(Key::Tab));
    EXPECT_TRUE(elementsWith(ScreenElement::Role::TextField)[1].focused);
    EXPECT_TRUE(WindowHost::insertText("wrong"));
    EXPECT_EQ(elementsWith(ScreenElement::Role::TextField)[1].value,
              "\u2022\u2022\u2022\u2022\u2022");
    EXPECT_TRUE(WindowHost::tapElement("Log in"));
    ASSERT_TRUE(runMainUntil([] { return enabled("Log in"); }, kScreenLimit));
    std::string shown;
    for (const auto& element : elementsWith(ScreenElement::Role::Text)) {
        if (element.label.find("Invalid username or password") != std::string::npos)
            shown = element.label;
    }
    EXPECT_EQ(shown, "Authorization failed\nQuarra Response: Invalid username or password");
    EXPECT_EQ(calls, 0);

    // Backspace in the password deletes dots; in the user name (below) it edits the name, which
    // takes the screen back to its first step.
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(WindowHost::pressKey(Key::Backspace));
    EXPECT_FALSE(WindowHost::pressKey(Key::Backspace));
    click(elementsWith(ScreenElement::Role::TextField)[0]);
    EXPECT_TRUE(WindowHost::pressKey(Key::Backspace));
    EXPECT_TRUE(shows("Next"));
    clock->advance(milliseconds(200));
    EXPECT_EQ(elementsWith(ScreenElement::Role::TextField).size(), 1u);
    EXPECT_TRUE(WindowHost::insertText("e"));
    EXPECT_TRUE(WindowHost::pressKey(Key::Return));
    ASSERT_TRUE(runMainUntil([] { return enabled("Log in"); }, kScreenLimit));
    clock->advance(milliseconds(200));
    click(elementsWith(ScreenElement::Role::TextField)[1]);
    EXPECT_TRUE(WindowHost::insertText(test::SignInTestBed::AlicePassword));
    EXPECT_TRUE(WindowHost::pressKey(Key::Return));
    ASSERT_TRUE(runMainUntil([] { return shows("Set Passcode"); }, kScreenLimit));
    // The password field still has the focus under the lock screen, but the keys typed now fill
    // the dots; those pressed as "Confirm Passcode" slides in count as well.
    EXPECT_TRUE(WindowHost::insertText("135"));
    EXPECT_EQ(dots(), "\u25cf\u25cf\u25cf\u25cb");
    EXPECT_TRUE(WindowHost::tapElement("7"));
    EXPECT_TRUE(shows("Confirm Passcode"));
    EXPECT_TRUE(WindowHost::insertText("1357"));
    EXPECT_EQ(calls, 0);
    clock->advance(milliseconds(600));
    ASSERT_TRUE(runMainUntil([&] { return calls > 0; }, kScreenLimit));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(signIn.failure);
    ASSERT_TRUE(signIn.user);
    EXPECT_EQ(signIn.user->username(), "alice");
    EXPECT_FALSE(shows("Set Passcode"));
}

// A launch finds a user signed in without a passcode (the person quit at "Set Passcode"), and the
// host asks for a sign-in as it does at start. The passcode is chosen once, typed on the sign-in's
// lock screen, and the host's own screen comes back with nothing over it, also after a return to
// the foreground.
TEST_F(Screens, ALaunchWithoutAPasscodeThenASignInEndsOnTheHostsScreen) {
    test::SignInTestBed bed;
    bed.signIn();
    TVKPasscodeManager::sharedInstance();  // as the SDK's start makes it
    auto hostScreen = window->rootViewController();
    ui::Application::shared().finishLaunching();
    ASSERT_TRUE(shows("Set Passcode"));

    SignIn signIn;
    const int& calls = signIn.calls;
    ASSERT_TRUE(runMainUntil([] { return enabled("Log in"); }, kScreenLimit));
    auto fields = elementsWith(ScreenElement::Role::TextField);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_TRUE(fields[1].focused);
    EXPECT_TRUE(WindowHost::insertText(test::SignInTestBed::AlicePassword));
    EXPECT_TRUE(WindowHost::pressKey(Key::Return));
    ASSERT_TRUE(runMainUntil([] { return shows("Set Passcode"); }, kScreenLimit));
    EXPECT_TRUE(WindowHost::insertText("1357"));
    EXPECT_TRUE(WindowHost::insertText("1357"));
    clock->advance(milliseconds(600));
    ASSERT_TRUE(runMainUntil([&] { return calls > 0; }, kScreenLimit));
    EXPECT_FALSE(signIn.failure);
    EXPECT_EQ(window->rootViewController(), hostScreen);
    EXPECT_FALSE(hostScreen->presentedViewController());
    EXPECT_FALSE(shows("Set Passcode"));

    ui::Application::shared().enterBackground();
    ui::Application::shared().enterForeground();
    ASSERT_TRUE(shows("Enter Passcode"));
    EXPECT_TRUE(WindowHost::insertText("1357"));
    EXPECT_FALSE(hostScreen->presentedViewController());
    EXPECT_EQ(calls, 1);
}

class LockScreenByPointer : public Screens {
  protected:
    void present(long mode) {
        auto screen = LKLockScreenViewController::make();
        screen->setLockScreenMode(mode);
        screen->setDelegate(judge);
        screen->setDataSource(judge);
        ASSERT_TRUE(window->rootViewController()->presentViewController(screen, false));
    }
    void type(const std::string& digits) {
        for (char c : digits)
            EXPECT_TRUE(WindowHost::tapElement(std::string(1, c))) << c;
    }
    std::shared_ptr<test::PasscodeJudge> judge = std::make_shared<test::PasscodeJudge>();
};

TEST_F(LockScreenByPointer, AWrongPasscodeThenTheRightOneUnlocks) {
    present(LKLockScreenModeNormal);
    EXPECT_TRUE(shows("Enter Passcode"));
    type("12");
    EXPECT_EQ(dots(), "\u25cf\u25cf\u25cb\u25cb");
    EXPECT_TRUE(WindowHost::tapElement("Delete"));
    EXPECT_EQ(dots(), "\u25cf\u25cb\u25cb\u25cb");
    type("999");
    EXPECT_EQ(judge->events, std::vector<std::string>{"failure"});
    clock->advance(milliseconds(500));
    EXPECT_EQ(dots(), "\u25cb\u25cb\u25cb\u25cb");
    // Typed on a keyboard, the digits press the keypad's keys.
    EXPECT_TRUE(WindowHost::insertText("2580"));
    EXPECT_EQ(judge->events, (std::vector<std::string>{"failure", "unlocked 2580"}));
    EXPECT_FALSE(shows("Enter Passcode"));
}

TEST_F(LockScreenByPointer, CancelLeavesWithoutAPasscode) {
    present(LKLockScreenModeChange);
    EXPECT_TRUE(WindowHost::tapElement("Cancel"));
    EXPECT_EQ(judge->events, std::vector<std::string>{"cancelled"});
    EXPECT_FALSE(shows("Enter New Passcode"));
}

// A press that leaves the button before the release taps nothing; a press on a text taps nothing.
TEST_F(LockScreenByPointer, OnlyAReleaseOverWhatWasPressedTaps) {
    present(LKLockScreenModeNormal);
    auto all = WindowHost::elements();
    const ScreenElement* one = find(all, "1");
    const ScreenElement* two = find(all, "2");
    const ScreenElement* title = find(all, "Enter Passcode");
    ASSERT_TRUE(one && two && title);
    EXPECT_TRUE(WindowHost::pointerPressed({one->frame.midX(), one->frame.midY()}));
    EXPECT_FALSE(WindowHost::pointerReleased({two->frame.midX(), two->frame.midY()}));
    EXPECT_FALSE(WindowHost::pointerPressed({title->frame.midX(), title->frame.midY()}));
    EXPECT_FALSE(WindowHost::pointerReleased({title->frame.midX(), title->frame.midY()}));
    EXPECT_FALSE(WindowHost::pointerReleased({one->frame.midX(), one->frame.midY()}));
    EXPECT_EQ(dots(), "\u25cb\u25cb\u25cb\u25cb");
}

// The host hears once per batch of changes, on the main queue, and draws the screen it sees.
TEST_F(LockScreenByPointer, TheHostIsToldToRedrawOncePerBatchOfChanges) {
    int redraws = 0;
    WindowHost::setNeedsDrawHandler([&] { ++redraws; });
    present(LKLockScreenModeNormal);
    type("12");
    EXPECT_EQ(redraws, 0);
    RunLoop::main().runPending();
    EXPECT_EQ(redraws, 1);
    RunLoop::main().runPending();
    EXPECT_EQ(redraws, 1);
    type("3");
    RunLoop::main().runPending();
    EXPECT_EQ(redraws, 2);
}

}  // namespace
}  // namespace quarra
