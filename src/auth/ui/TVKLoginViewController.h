#pragma once
// The SDK's own sign-in screen. It asks for a user name, asks the sign-in host how that user signs
// in, then asks for the password or hands over to single sign-on, and returns the signed-in user
// (or the error) to the handler it was shown with. Around that: a biometric opt-in, biometric
// sign-in for a returning user, links to the forgotten user name and password pages, Cancel while a
// user is signed in and has a passcode, the diagnostic log e-mail behind a reserved user name, the
// host's colours and header image, and the focused field kept above the keyboard.
//
// The screen is not presented: while shown it is the key window's root view controller, and it
// puts the former root back when it finishes. Main thread only.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auth/TVKQuarraAuthManager.h"
#include "auth/ui/TVKCheckbox.h"
#include "auth/ui/TVKHUDView.h"
#include "auth/ui/TVKTextField.h"
#include "quarra/Error.h"
#include "quarra/NotificationCenter.h"
#include "quarra/ui/Button.h"
#include "quarra/ui/ImageView.h"
#include "quarra/ui/Label.h"
#include "quarra/ui/MailComposer.h"
#include "quarra/ui/ScrollView.h"
#include "quarra/ui/ViewController.h"

namespace quarra {

class TVKLoginViewController : public ui::ViewController,
                               public ui::TextFieldDelegate,
                               public ui::MailComposeViewControllerDelegate {
  public:
    // The reserved user name that opens the log e-mail instead of signing in (any case).
    static constexpr const char* LogEmailUsername = "rorevadivov";
    // The log e-mail's fixed texts.
    static constexpr const char* LogEmailSubject = "Quarra SDK log";
    static constexpr const char* LogEmailBody = "The Quarra SDK's log data is attached.";
    static constexpr const char* LogEmailFileName = "QuarraSDK.log";
    static constexpr const char* LogEmailMimeType = "text/plain";
    // The sign-in web site of the forgotten user name and password pages.
    static constexpr const char* SignInWebSite = "https://login.quarra.com";

    // A new screen from the "Login" storyboard, its outlets and actions connected.
    static std::shared_ptr<TVKLoginViewController> loginViewController();

    // The user's choice of biometric sign-in, as stored.
    static bool biometricAuthenticationUserSelected();
    // Forgets that choice; the error when it could not be saved.
    [[nodiscard]] static ErrorPtr resetDefaults();
    // Cancel is offered while a user is signed in and has an application passcode.
    static bool cancelAllowed();

    // Puts the screen in place of the key window's root view controller. `handler` is called once,
    // when the screen finishes, with the signed-in user or the error. Without a key window nothing
    // is shown and the handler is not called (false).
    bool presentWithHandler(TVKUserHandler handler);
    // Another caller that waits for the screen on show: called once, with the same outcome.
    void addHandler(TVKUserHandler handler);
    // Finishes the screen on show as its Cancel does: the handlers get the cancel error
    // (TVKAuthorizationErrorDomain -5) with the signed-in user, if any.
    void cancelSignIn();
    // Withdraws the biometric choice when no password is kept for it.
    void clearUserDefaultsIfNecessary();

    // The user-name step (the password hidden and dropped) and the password step; animated, they
    // take 0.2 seconds and then bring their field above the keyboard.
    void hidePasswordField(bool animated);
    void showPasswordField(bool animated);

    // --- Outlets of the storyboard
    std::shared_ptr<ui::ScrollView> scrollView;
    std::shared_ptr<ui::ImageView> imageHeaderView;
    ui::LayoutConstraintPtr imageHeaderWidth;
    ui::LayoutConstraintPtr imageHeaderHeight;
    std::shared_ptr<ui::Label> errorLabel;
    std::shared_ptr<ui::Label> usernameLabel;
    std::shared_ptr<ui::Label> passwordLabel;
    std::shared_ptr<TVKTextField> usernameTF;
    std::shared_ptr<TVKTextField> passwordTF;
    // "Next" in the user-name step, "Log in" in the password step; disabled while a request runs.
    std::shared_ptr<ui::Button> nextLoginButton;
    // The action button's place in each step: the current step's has priority 750, the other 250.
    ui::LayoutConstraintPtr nextButtonPosition;
    ui::LayoutConstraintPtr loginButtonPosition;
    std::shared_ptr<TVKHUDView> hudView;
    std::shared_ptr<TVKCheckbox> enabledBiometricAuthenticationCB;
    std::weak_ptr<ui::Button> cancelButton;
    std::weak_ptr<ui::Button> forgotPasswordButton;
    std::weak_ptr<ui::Button> forgotUsernameButton;

    ui::Rect lastKeyboardFrame() const { return lastKeyboardFrame_; }
    bool usernameDirtyFlag() const { return usernameDirtyFlag_; }
    const ui::ViewControllerPtr& savedVC() const { return savedVC_; }

    // --- Actions of the storyboard
    void didTapNextLoginButton();
    void didTapCancelButton();
    void didTapForgotPasswordButton();
    void didTapForgotUsernameButton();
    void didTapEnabledBiometricAuthenticationCheckbox();

    // --- Text fields
    void textFieldDidBeginEditing(ui::TextField& field) override;
    bool textFieldShouldReturn(ui::TextField& field) override;
    bool shouldChangeCharacters(ui::TextField& field, const std::string& replacement) override;

    // --- Mail composer
    void mailComposeControllerDidFinish(ui::MailComposeViewController& controller,
                                        ui::MailComposeResult result,
                                        const ErrorPtr& error) override;

    bool shouldAutorotate() const override { return false; }
    unsigned long supportedInterfaceOrientations() const override {
        return ui::InterfaceOrientationMaskPortrait;
    }

  protected:
    ui::ViewPtr loadView() override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;
    void viewDidLayoutSubviews() override;

  private:
    TVKLoginViewController() = default;
    std::shared_ptr<TVKLoginViewController> self();

    void initUI();
    void setUpCheckbox();
    void setUpSessionRefresh(const TVKUserInternalPtr& user);
    void runUsernameFlow();
    void runPasswordFlow();
    void didDiscover(long type, const Json& profile, const ErrorPtr& error);
    void finalizeAuthorization(const TVKUserInternalPtr& user, const ErrorPtr& error);
    void showErrorForInvalidLogin(const ErrorPtr& error);
    void dismissWithUser(const TVKUserInternalPtr& user, const ErrorPtr& error);
    void setBusy(bool busy);
    // Cancel is shown while the browser step of single sign-on runs, and otherwise as
    // cancelAllowed() says.
    void updateCancelButton(bool signingInInBrowser);
    void withdrawBiometricChoice();
    void promptForBiometricAuthentication();
    void showAlertForError(const ErrorPtr& error);
    void presentLogEmailDialog();
    void showMailAlert(const std::string& title, const std::string& message);
    void openSignInPage(const std::string& path);
    void keyboardWillChangeFrame(const Notification& notification);
    void showFrameAboveKeyboard(const ui::Rect& frame, const ui::Rect& keyboardFrame);
    void showFieldAboveKeyboard(const std::shared_ptr<ui::View>& field);

    ui::Rect lastKeyboardFrame_;
    bool usernameDirtyFlag_ = false;
    std::vector<TVKUserHandler> handlers_;
    ui::ViewControllerPtr savedVC_;
    ErrorPtr errorToHandle_;
    // Between presentWithHandler and the dismissal: a second dismissal does nothing.
    bool shown_ = false;
    ObserverToken keyboardObserver_ = 0;
};

}  // namespace quarra
