#include "auth/TVKPasscodeManager.h"

#include <gtest/gtest.h>

#include <thread>

#include "auth/KeychainItemStore.h"
#include "core/TVKQuarraEMMManager.h"
#include "platform/UserDefaults.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"
#include "support/SignInTestBed.h"

namespace quarra {
namespace {

using std::chrono::milliseconds;
using test::SignInTestBed;

struct HostDelegate : TVKPasscodeManagerDelegate {
    int unlocks = 0;
    void unlockWasSuccessful() override { ++unlocks; }
};

// A host with a window, the SDK's passcode manager and, once signed in, Alice.
class Passcode : public ::testing::Test {
  protected:
    void TearDown() override {
        ui::Scheduler::setShared(nullptr);
        ui::BiometricService::setShared(nullptr);
    }

    // Names the host with `info` and creates the manager, as the SDK's start-up does.
    void start(Json info = Json::object(), bool signIn = true) {
        Bundle::setMainBundle("com.example.host", std::move(info));
        ui::Scheduler::setShared(clock);
        ui::BiometricService::setShared(biometrics);
        window->setRootViewController(host);
        window->makeKeyAndVisible();
        bed = std::make_unique<SignInTestBed>();
        if (signIn)
            bed->signIn();
        manager().setPasscodeDelegate(delegate);
    }

    static TVKPasscodeManager& manager() { return TVKPasscodeManager::sharedInstance(); }
    static std::string storedPasscode() {
        return KeychainItemStore::getPasscodeForUsername(SignInTestBed::Alice);
    }
    std::shared_ptr<LKLockScreenViewController> lockScreen() const {
        return std::dynamic_pointer_cast<LKLockScreenViewController>(
            host->presentedViewController());
    }
    void type(const std::string& digits) {
        auto screen = lockScreen();
        ASSERT_TRUE(screen);
        for (char c : digits)
            screen->numberButtons.at(c - '0')->tap();
    }
    // Chooses a passcode on a lock screen in mode 1: typed, confirmed after the slide.
    void choose(const std::string& digits) {
        type(digits);
        clock->advance(milliseconds(600));
        type(digits);
    }
    // A wrong entry and the pause after it.
    void fail() {
        type("0000");
        clock->advance(milliseconds(500));
    }

    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    std::shared_ptr<ui::ScriptedBiometricService> biometrics =
        std::make_shared<ui::ScriptedBiometricService>();
    std::shared_ptr<ui::Window> window = ui::Window::make();
    std::shared_ptr<ui::ViewController> host = std::make_shared<ui::ViewController>();
    std::shared_ptr<HostDelegate> delegate = std::make_shared<HostDelegate>();
    std::unique_ptr<SignInTestBed> bed;
};

TEST_F(Passcode, LaunchWithoutPasscodeAsksForOneAndStoresIt) {
    start();
    ui::Application::shared().finishLaunching();
    ASSERT_TRUE(lockScreen());
    EXPECT_EQ(lockScreen()->lockScreenMode(), LKLockScreenModeNew);
    EXPECT_EQ(lockScreen()->modalPresentationStyle(), ui::ModalPresentationStyle::OverFullScreen);
    choose("2580");
    EXPECT_FALSE(lockScreen());
    EXPECT_EQ(storedPasscode(), "2580");
    EXPECT_EQ(delegate->unlocks, 1);
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
}

TEST_F(Passcode, ForegroundAsksForThePasscodeOnlyOnce) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    ui::Application::shared().enterBackground();
    ui::Application::shared().enterForeground();
    auto first = lockScreen();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->lockScreenMode(), LKLockScreenModeNormal);
    EXPECT_TRUE(TVKQuarraAuth::sharedInstance().isShowingLockScreen());
    // Away and back again while the lock screen still shows.
    ui::Application::shared().enterBackground();
    ui::Application::shared().enterForeground();
    EXPECT_FALSE(TVKQuarraAuth::sharedInstance().showLockScreen());
    EXPECT_EQ(lockScreen(), first);
    EXPECT_FALSE(first->presentedViewController());

    type("2580");
    EXPECT_FALSE(lockScreen());
    EXPECT_EQ(TVKQuarraAuth::sharedInstance().passcodeDelegate(), delegate);
    EXPECT_EQ(delegate->unlocks, 1);
}

TEST_F(Passcode, TooManyFailuresSignTheUserOutBeforeTheAlert) {
    start({{"com.tovik.MaxAllowedUnlockAttempts", 3}});
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    ASSERT_TRUE(manager().showLockScreen());
    fail();
    fail();
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 2u);
    // A right passcode starts the count again.
    type("2580");
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);

    ASSERT_TRUE(manager().showLockScreen());
    auto screen = lockScreen();
    fail();
    fail();
    type("0000");
    // Passcode and session are gone together, while the alert still asks to continue.
    EXPECT_EQ(storedPasscode(), "");
    EXPECT_FALSE(TVKQuarraAuth::sharedInstance().currentUser());
    auto alert = std::dynamic_pointer_cast<ui::AlertController>(screen->presentedViewController());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->message(),
              "You have exceeded the number of unlock attempts allowed. Please login again and "
              "reset your pin code.");
    ASSERT_EQ(alert->actions().size(), 1u);
    EXPECT_EQ(alert->actions()[0].title, "Continue");
    EXPECT_TRUE(alert->chooseAction(0));
    EXPECT_FALSE(host->presentedViewController());
    EXPECT_EQ(delegate->unlocks, 1);
}

TEST_F(Passcode, FailuresCountAcrossLaunches) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    // What four failures of an earlier launch leave in the keychain.
    ASSERT_EQ(KeychainItemStore::setNumFailedUnlockAttempts(4), nullptr);
    ui::Application::shared().finishLaunching();
    type("0000");
    EXPECT_EQ(storedPasscode(), "");
    EXPECT_FALSE(TVKQuarraAuth::sharedInstance().currentUser());
    EXPECT_TRUE(
        std::dynamic_pointer_cast<ui::AlertController>(lockScreen()->presentedViewController()));
}

TEST_F(Passcode, MismatchWhileChoosingIsNotCounted) {
    start();
    ui::Application::shared().finishLaunching();
    type("1111");
    clock->advance(milliseconds(600));
    type("2222");
    clock->advance(milliseconds(500));
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
    EXPECT_EQ(storedPasscode(), "");
    EXPECT_EQ(lockScreen()->lockScreenMode(), LKLockScreenModeNew);
}

TEST_F(Passcode, AttemptLimitFromTheHostIsAtLeastOne) {
    start();
    const std::pair<Json, unsigned long> cases[] = {{nullptr, 5}, {3, 3},   {0, 1},
                                                    {-2, 1},      {2.7, 2}, {"7", 5}};
    for (const auto& [value, limit] : cases) {
        SCOPED_TRACE(value.dump());
        Json info = Json::object();
        if (!value.is_null())
            info["com.tovik.MaxAllowedUnlockAttempts"] = value;
        Bundle::setMainBundle("com.example.host", info);
        manager().initConfig();
        EXPECT_EQ(manager().maxFailedAttempts(), limit);
    }
}

TEST_F(Passcode, DisabledFeatureShowsNothingAndResetsAtOnce) {
    start({{"com.tovik.PasscodeEnabled", false}});
    ui::Application::shared().finishLaunching();
    ui::Application::shared().enterBackground();
    ui::Application::shared().enterForeground();
    EXPECT_FALSE(lockScreen());
    int handled = 0;
    EXPECT_FALSE(manager().resetPasscodeWithHandler([&] { ++handled; }));
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(lockScreen());
}

TEST_F(Passcode, NobodySignedInShowsNothing) {
    start(Json::object(), false);
    ui::Application::shared().finishLaunching();
    EXPECT_FALSE(lockScreen());
    int handled = 0;
    EXPECT_FALSE(manager().resetPasscodeWithHandler([&] { ++handled; }));
    EXPECT_EQ(handled, 0);
    EXPECT_FALSE(manager().isPasscodeSet());
}

TEST_F(Passcode, ResetAsksForANewPasscodeAndRunsTheHandlerOnce) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    int handled = 0;
    ASSERT_TRUE(manager().resetPasscodeWithHandler([&] { ++handled; }));
    EXPECT_EQ(storedPasscode(), "");
    EXPECT_EQ(lockScreen()->lockScreenMode(), LKLockScreenModeNew);
    choose("1397");
    EXPECT_EQ(storedPasscode(), "1397");
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(manager().resetHandler());
    // The next unlock runs no handler.
    ASSERT_TRUE(manager().showLockScreen());
    type("1397");
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(delegate->unlocks, 2);
}

TEST_F(Passcode, ResetButtonSignsTheUserOut) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    ASSERT_TRUE(manager().showLockScreen());
    lockScreen()->cancelButton->tap();
    EXPECT_FALSE(lockScreen());
    EXPECT_EQ(storedPasscode(), "");
    EXPECT_FALSE(TVKQuarraAuth::sharedInstance().currentUser());
    EXPECT_EQ(delegate->unlocks, 0);
}

TEST_F(Passcode, ShowingFromAnotherThreadPresentsOnTheMainQueue) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    bool answer = false;
    std::thread([&] { answer = manager().showLockScreenWithMode(LKLockScreenModeNormal); }).join();
    EXPECT_TRUE(answer);
    EXPECT_FALSE(lockScreen());
    ASSERT_TRUE(runMainUntil([&] { return lockScreen() != nullptr; }));
    EXPECT_EQ(lockScreen()->lockScreenMode(), LKLockScreenModeNormal);
}

TEST_F(Passcode, BiometricUnlockCountsAsUnlock) {
    start();
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    ASSERT_EQ(KeychainItemStore::setNumFailedUnlockAttempts(2), nullptr);
    biometrics->setAvailable(ui::BiometryType::TouchID);
    biometrics->queueOutcome(true);
    // The user's own choice on the sign-in screen.
    UserDefaults::standard().setBool(true,
                                     TVKQuarraAuthManager::sharedInstance()
                                         .userDefaultsBiometricAuthenticationUserSelectedKey());
    ASSERT_TRUE(manager().showLockScreen());
    EXPECT_EQ(lockScreen()->titleLabel->text(), "Touch ID or Enter Passcode");
    ASSERT_TRUE(runMainUntil([&] { return clock->pending() > 0; }));
    clock->advance(milliseconds(400));
    EXPECT_FALSE(lockScreen());
    EXPECT_EQ(delegate->unlocks, 1);
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
}

TEST_F(Passcode, StartUpEnablesBiometricsOnlyWhereOffered) {
    start(Json::object(), false);
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    biometrics->setUnavailable(ui::BiometricErrorNotEnrolled);
    auth.initAuthenticationState();
    EXPECT_FALSE(auth.isBiometricAuthenticationEnabled());

    biometrics->setAvailable(ui::BiometryType::FaceID);
    auth.initAuthenticationState();
    EXPECT_TRUE(auth.isBiometricAuthenticationEnabled());

    // The managed configuration may hide it all the same.
    UserDefaults::standard().setObject({{TVKBiometricAuthenticationVisibleKey, "notvisible"}},
                                       TVKManagedConfigurationKey);
    auth.initAuthenticationState();
    EXPECT_FALSE(auth.isBiometricAuthenticationEnabled());
}

}  // namespace
}  // namespace quarra
