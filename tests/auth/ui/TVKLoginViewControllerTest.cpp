#include "auth/ui/TVKLoginViewController.h"

#include <gtest/gtest.h>

#include "auth/KeychainItemStore.h"
#include "auth/TVKPasscodeManager.h"
#include "log/LDLog.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/UserDefaults.h"
#include "quarra/Browser.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKErrors.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/Keyboard.h"
#include "quarra/ui/MailComposer.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"
#include "support/OpenIDTestProvider.h"
#include "support/ProviderTestDriver.h"
#include "support/SignInTestBed.h"

namespace quarra {
namespace {

using std::chrono::milliseconds;
using test::Outcome;
using test::SignInTestBed;

// Bounds every wait on the servers; a loaded machine is slow, not stuck.
constexpr auto kLimit = std::chrono::seconds(60);

TVKQuarraAuthManager& auth() {
    return TVKQuarraAuthManager::sharedInstance();
}

struct RecordingBrowser : Browser {
    std::vector<std::string> opened;
    bool openURL(const Url& url) override {
        opened.push_back(url.string());
        return true;
    }
};

// A host with a window and its own root screen; the SDK's services replaced where a person or the
// desktop would answer (biometrics, mail, browser); real servers for everything else.
class LoginScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setMainBundle(
            "com.example.host",
            {{"com.tovik.oauth.client_id", test::OpenIDTestProvider::NativeClient},
             {"com.tovik.oauth.redirect_uri", test::OpenIDTestProvider::LoopbackRedirect}});
        ui::Scheduler::setShared(clock);
        ui::BiometricService::setShared(biometrics);
        ui::MailService::setShared(mail);
        Browser::setShared(browser);
        window->setRootViewController(host);
        window->makeKeyAndVisible();
        bed = std::make_unique<SignInTestBed>();
    }
    void TearDown() override {
        ui::Scheduler::setShared(nullptr);
        ui::BiometricService::setShared(nullptr);
        ui::MailService::setShared(nullptr);
        Browser::setShared(nullptr);
    }

    // authenticateWithHandler as a host calls it; the screen it put in the root's place.
    std::shared_ptr<TVKLoginViewController> show() {
        auth().authenticateWithHandler(outcome.userHandler());
        EXPECT_TRUE(runMainUntil([&] { return auth().isShowingLoginView(); }, kLimit));
        screen = std::dynamic_pointer_cast<TVKLoginViewController>(window->rootViewController());
        return screen;
    }
    void typeInto(const std::shared_ptr<TVKTextField>& field, const std::string& text) {
        ASSERT_TRUE(field->tap());
        for (char c : text)
            ASSERT_TRUE(field->typeText(std::string(1, c)));
    }
    // Waits until the request the screen started has answered.
    bool settle() {
        return runMainUntil([&] { return screen->nextLoginButton->isEnabled(); }, kLimit);
    }
    void reachPasswordStep(const std::string& username = SignInTestBed::Alice) {
        typeInto(screen->usernameTF, username);
        screen->nextLoginButton->tap();
        ASSERT_TRUE(settle());
        clock->advance(milliseconds(200));
    }
    std::string title() const { return screen->nextLoginButton->currentTitle(); }
    bool passwordShown() const { return screen->passwordTF->alpha() == 1; }
    std::shared_ptr<LKLockScreenViewController> lockScreen() const {
        return std::dynamic_pointer_cast<LKLockScreenViewController>(
            screen->presentedViewController());
    }
    void choosePasscode(const std::string& digits) {
        for (int round = 0; round < 2; ++round) {
            auto lock = lockScreen();
            ASSERT_TRUE(lock);
            for (char c : digits)
                lock->numberButtons.at(c - '0')->tap();
            clock->advance(milliseconds(600));
        }
    }
    void signInWithPasscode() {
        bed->signIn();
        ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    }
    static bool userSelected() {
        return TVKLoginViewController::biometricAuthenticationUserSelected();
    }
    static void setUserSelected(bool selected) {
        UserDefaults::standard().setBool(
            selected, auth().userDefaultsBiometricAuthenticationUserSelectedKey());
    }

    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    std::shared_ptr<ui::ScriptedBiometricService> biometrics =
        std::make_shared<ui::ScriptedBiometricService>();
    std::shared_ptr<ui::RecordingMailService> mail = std::make_shared<ui::RecordingMailService>();
    std::shared_ptr<RecordingBrowser> browser = std::make_shared<RecordingBrowser>();
    std::shared_ptr<ui::Window> window = ui::Window::make();
    std::shared_ptr<ui::ViewController> host = std::make_shared<ui::ViewController>();
    std::unique_ptr<SignInTestBed> bed;
    std::shared_ptr<TVKLoginViewController> screen;
    Outcome outcome;
};

TEST_F(LoginScreen, PasswordSignInTakesTwoStepsAndGivesTheRootBackAfterThePasscode) {
    ASSERT_TRUE(show());
    EXPECT_EQ(screen->savedVC(), host);
    EXPECT_TRUE(screen->cancelButton.lock()->isHidden());
    EXPECT_EQ(title(), "Next");
    EXPECT_FALSE(passwordShown());
    // One screen at a time: a second call is not answered at all.
    Outcome second;
    auth().authenticateWithHandler(second.userHandler());

    screen->nextLoginButton->tap();
    EXPECT_EQ(screen->errorLabel->text(), "Please enter a username");
    typeInto(screen->usernameTF, "alice");
    screen->nextLoginButton->tap();
    EXPECT_FALSE(screen->nextLoginButton->isEnabled());
    EXPECT_FALSE(screen->hudView->isHidden());
    EXPECT_EQ(screen->errorLabel->text(), "");
    // Return does nothing while the request runs.
    EXPECT_FALSE(screen->usernameTF->pressReturn());
    ASSERT_TRUE(settle());
    clock->advance(milliseconds(200));
    EXPECT_EQ(bed->count("/auth/discovery"), 1u);
    EXPECT_TRUE(screen->hudView->isHidden());
    EXPECT_EQ(title(), "Log in");
    EXPECT_TRUE(passwordShown());
    EXPECT_EQ(auth().lastAttemptedLoginUsername(), "alice");

    screen->nextLoginButton->tap();
    EXPECT_EQ(screen->errorLabel->text(), "Please enter a password");
    typeInto(screen->passwordTF, "wrong");
    screen->nextLoginButton->tap();
    ASSERT_TRUE(settle());
    EXPECT_EQ(bed->count("/auth/api"), 1u);
    EXPECT_FALSE(screen->errorLabel->text().empty());
    EXPECT_EQ(outcome.calls, 0);

    screen->passwordTF->setText("");
    typeInto(screen->passwordTF, SignInTestBed::AlicePassword);
    EXPECT_TRUE(screen->passwordTF->pressReturn());
    // Signed in without a passcode: the screen hides while the passcode is chosen.
    ASSERT_TRUE(runMainUntil([&] { return lockScreen() != nullptr; }, kLimit));
    EXPECT_TRUE(screen->view()->isHidden());
    EXPECT_EQ(outcome.calls, 0);
    choosePasscode("1357");
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.user);
    EXPECT_EQ(outcome.user->username(), "alice");
    EXPECT_EQ(window->rootViewController(), host);
    EXPECT_FALSE(auth().isShowingLoginView());
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1357");
    RunLoop::main().runPending();
    EXPECT_EQ(second.calls, 0);
}

TEST_F(LoginScreen, EditingTheUserNameReturnsToTheFirstStepAndDropsThePassword) {
    ASSERT_TRUE(show());
    reachPasswordStep();
    typeInto(screen->passwordTF, "typed");
    typeInto(screen->usernameTF, "x");
    EXPECT_TRUE(screen->usernameDirtyFlag());
    EXPECT_EQ(title(), "Next");
    EXPECT_FALSE(passwordShown());
    EXPECT_EQ(screen->passwordTF->text(), "");
    // The second change in the same step starts no second animation.
    std::size_t pending = clock->pending();
    typeInto(screen->usernameTF, "y");
    EXPECT_EQ(clock->pending(), pending);
}

TEST_F(LoginScreen, TheReservedUserNameOpensTheLogEmailInAnyCaseButNotWithSpaces) {
    TVK_LOG_ERROR("a line for the log e-mail");
    LDLog::sharedInstance().flushLog();
    std::optional<Bytes> expected;
    bool read = false;
    TVKQuarraLoggerInternal::sharedInstance().logDataWithCompletionHandler(
        [&](std::optional<Bytes> data) {
            DispatchQueue::main()->async([&, data] {
                expected = data;
                read = true;
            });
        });
    ASSERT_TRUE(runMainUntil([&] { return read; }, kLimit));
    ASSERT_TRUE(expected && !expected->empty());

    ASSERT_TRUE(show());
    typeInto(screen->usernameTF, "RoreVADivov");
    screen->nextLoginButton->tap();
    ASSERT_TRUE(runMainUntil([&] { return screen->presentedViewController() != nullptr; }, kLimit));
    auto composer =
        std::dynamic_pointer_cast<ui::MailComposeViewController>(screen->presentedViewController());
    ASSERT_TRUE(composer);
    EXPECT_EQ(bed->count("/auth/discovery"), 0u);
    ASSERT_EQ(composer->message().attachments.size(), 1u);
    const auto& attachment = composer->message().attachments[0];
    EXPECT_EQ(attachment.data, *expected);
    EXPECT_EQ(attachment.mimeType, "text/plain");
    EXPECT_EQ(attachment.fileName, TVKLoginViewController::LogEmailFileName);
    EXPECT_FALSE(composer->message().subject.empty());
    composer->send();
    EXPECT_FALSE(screen->presentedViewController());
    ASSERT_EQ(mail->sent().size(), 1u);
    EXPECT_EQ(mail->sent()[0].attachments[0].data, *expected);

    // Without mail on the device: an alert says so.
    mail->setCanSendMail(false);
    screen->nextLoginButton->tap();
    ASSERT_TRUE(runMainUntil([&] { return screen->presentedViewController() != nullptr; }, kLimit));
    auto alert = std::dynamic_pointer_cast<ui::AlertController>(screen->presentedViewController());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "Email Setup Needed");
    ASSERT_EQ(alert->actions().size(), 1u);
    EXPECT_EQ(alert->actions()[0].title, "Ok");
    alert->chooseAction(0);

    // With a space around it the name is an ordinary one.
    screen->usernameTF->setText(" rorevadivov");
    screen->nextLoginButton->tap();
    ASSERT_TRUE(settle());
    EXPECT_EQ(bed->count("/auth/discovery"), 1u);
    EXPECT_FALSE(screen->presentedViewController());
}

TEST_F(LoginScreen, CancelIsOfferedOnlyToASignedInUserWithAPasscode) {
    struct Case {
        bool signedIn, passcode;
    } cases[] = {{true, true}, {true, false}, {false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.signedIn) + std::to_string(c.passcode));
        if (c.signedIn)
            bed->signIn();
        if (c.passcode) {
            ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
        }
        outcome = {};
        ASSERT_TRUE(show());
        auto cancel = screen->cancelButton.lock();
        EXPECT_EQ(TVKLoginViewController::cancelAllowed(), c.passcode);
        EXPECT_EQ(cancel->isHidden(), !c.passcode);
        if (c.signedIn) {
            // A returning user: the name is given, the password step is shown at once.
            EXPECT_EQ(screen->usernameTF->text(), "alice");
            EXPECT_FALSE(screen->usernameTF->isEnabled());
            EXPECT_TRUE(screen->forgotUsernameButton.lock()->isHidden());
            EXPECT_EQ(title(), "Log in");
        }
        if (c.passcode) {
            EXPECT_EQ(cancel->currentTitle(), "Cancel");
            cancel->tap();
            ASSERT_EQ(outcome.calls, 1);
            EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -5));
            EXPECT_EQ(outcome.user, auth().currentUser());
            EXPECT_EQ(window->rootViewController(), host);
            ASSERT_EQ(KeychainItemStore::resetPasscodeForUsername("alice"), nullptr);
        } else {
            window->setRootViewController(host);
        }
        if (c.signedIn)
            auth().logout();
    }
}

TEST_F(LoginScreen, ForgottenLinksOpenTheSignInSitesPages) {
    ASSERT_TRUE(show());
    screen->forgotUsernameButton.lock()->tap();
    reachPasswordStep();
    screen->forgotPasswordButton.lock()->tap();
    EXPECT_EQ(browser->opened,
              (std::vector<std::string>{"https://login.quarra.com/auth/forgotusername",
                                        "https://login.quarra.com/auth/forgotpassword"}));
}

TEST_F(LoginScreen, BiometricOptInKeepsThePasswordOnlyWhileChecked) {
    biometrics->setAvailable(ui::BiometryType::TouchID);
    auth().enableBiometricAuthentication(true);
    ASSERT_TRUE(show());
    auto box = screen->enabledBiometricAuthenticationCB;
    EXPECT_EQ(box->text(), "Enable Touch ID");
    EXPECT_FALSE(box->checked());
    reachPasswordStep();
    EXPECT_EQ(box->alpha(), 1);
    box->didTapView();
    EXPECT_TRUE(userSelected());
    TVKPasscodeManager::sharedInstance().setEnabled(false);
    typeInto(screen->passwordTF, SignInTestBed::AlicePassword);
    screen->nextLoginButton->tap();
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(KeychainItemStore::getPassword(), "secret");

    // Unchecking withdraws the choice and the password kept for it.
    outcome = {};
    ASSERT_EQ(KeychainItemStore::setPasscode("2580", SignInTestBed::Alice), nullptr);
    biometrics->queueOutcome(false, ui::BiometricErrorUserCancel);
    ASSERT_TRUE(show());
    ASSERT_TRUE(runMainUntil([&] { return passwordShown(); }, kLimit));
    EXPECT_TRUE(screen->enabledBiometricAuthenticationCB->checked());
    screen->enabledBiometricAuthenticationCB->didTapView();
    EXPECT_FALSE(userSelected());
    EXPECT_FALSE(*KeychainItemStore::getPassword());

    // Checking it without biometry on the device: unchecked again, with the reason.
    biometrics->setUnavailable(ui::BiometricErrorNotEnrolled);
    screen->enabledBiometricAuthenticationCB->didTapView();
    EXPECT_FALSE(screen->enabledBiometricAuthenticationCB->checked());
    EXPECT_FALSE(userSelected());
    auto alert = std::dynamic_pointer_cast<ui::AlertController>(screen->presentedViewController());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->message(),
              "Biometric Authentication has not been enabled for this device. Please enable "
              "Biometric Authentication in Settings.");
}

TEST_F(LoginScreen, AReturningUserSignsInWithBiometricsOrTypesThePassword) {
    signInWithPasscode();
    biometrics->setAvailable(ui::BiometryType::FaceID);
    auth().enableBiometricAuthentication(true);
    setUserSelected(true);
    ASSERT_EQ(KeychainItemStore::setPassword(SignInTestBed::AlicePassword), nullptr);
    biometrics->queueOutcome(true);
    ASSERT_TRUE(show());
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    EXPECT_EQ(biometrics->prompts(), std::vector<std::string>{"Please login with Face ID"});
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(window->rootViewController(), host);

    // Biometry gone from the machine while the choice is still stored: the password step.
    biometrics->setUnavailable(ui::BiometricErrorNotAvailable);
    outcome = {};
    ASSERT_TRUE(show());
    EXPECT_EQ(title(), "Log in");
    EXPECT_TRUE(passwordShown());
    EXPECT_EQ(biometrics->prompts().size(), 1u);
}

TEST_F(LoginScreen, ASignInWithoutPasscodeScreenStillFinishesOnce) {
    // The passcode feature is off: no passcode screen will call back.
    TVKPasscodeManager::sharedInstance().setEnabled(false);
    ASSERT_TRUE(show());
    reachPasswordStep();
    typeInto(screen->passwordTF, SignInTestBed::AlicePassword);
    screen->nextLoginButton->tap();
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    RunLoop::main().runPending();
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(window->rootViewController(), host);
}

TEST_F(LoginScreen, SingleSignOnUserSignsInThroughTheProviderAndLosesTheBiometricChoice) {
    test::OpenIDTestProvider provider;
    bed->service.serveSessionExchange(bed->first, provider.issuer());
    bed->service.setSingleSignOnProfile(
        "alice", {{"as_metadata", provider.metadata()},
                  {"quarra_session_endpoint", bed->first.url("/oauth/session").string()}});
    Browser::setShared(std::make_shared<test::ProviderTestBrowser>());
    setUserSelected(true);
    ASSERT_EQ(KeychainItemStore::setPassword("kept"), nullptr);
    TVKPasscodeManager::sharedInstance().setEnabled(false);
    ASSERT_TRUE(show());
    typeInto(screen->usernameTF, "alice");
    screen->nextLoginButton->tap();
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    ASSERT_TRUE(outcome.user);
    EXPECT_EQ(outcome.user->username(), "alice");
    EXPECT_FALSE(userSelected());
    EXPECT_FALSE(*KeychainItemStore::getPassword());
    EXPECT_EQ(window->rootViewController(), host);
}

TEST_F(LoginScreen, TheFocusedFieldStaysAboveTheKeyboard) {
    ASSERT_TRUE(show());
    ASSERT_TRUE(screen->usernameTF->tap());
    ui::Rect shown = screen->lastKeyboardFrame();
    EXPECT_EQ(shown.height(), ui::Keyboard::Height);
    // A tall keyboard covers the field: the form scrolls it into view above the keyboard.
    ui::Rect tall(0, 200, 375, 467);
    ui::Keyboard::postFrameChange(tall);
    EXPECT_EQ(screen->scrollView->contentInset().bottom, 467 + 16);
    EXPECT_GT(screen->scrollView->contentOffset().y, 0);
    // The keyboard leaves the screen: no insets, back at the top.
    screen->view()->tap();
    EXPECT_FALSE(screen->usernameTF->isFirstResponder());
    EXPECT_EQ(screen->scrollView->contentInset(), ui::EdgeInsets{});
    EXPECT_EQ(screen->scrollView->contentOffset().y, 0);
}

}  // namespace
}  // namespace quarra
