#include "auth/ui/TVKLoginViewController.h"

#include <strings.h>
#include <syslog.h>

#include "auth/KeychainItemStore.h"
#include "auth/TVKBiometricAuthenticationManager.h"
#include "auth/TVKPasscodeManager.h"
#include "auth/ui/TVKCustomUI.h"
#include "auth/ui/TVKFirstResponder.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/UserDefaults.h"
#include "quarra/Browser.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "quarra/TVKErrorMessageExtensions.h"
#include "quarra/TVKErrors.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Keyboard.h"
#include "quarra/ui/Window.h"

namespace quarra {
namespace {

std::string loginText(const std::string& key) {
    return Bundle::sdk().localizedString(key);
}

TVKQuarraAuthManager& auth() {
    return TVKQuarraAuthManager::sharedInstance();
}

const std::string& userSelectedKey() {
    return auth().userDefaultsBiometricAuthenticationUserSelectedKey();
}

void clearUserSelectedFlag() {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setBool(false, userSelectedKey());
    if (ErrorPtr error = defaults.synchronize())
        TVK_LOG_ERROR("Could not save the biometric choice: " + error->description());
}

constexpr double kBodySize = 17, kCaptionSize = 12;
constexpr double kCurrentStep = 750, kOtherStep = 250;
constexpr double kAnimation = 0.2;
constexpr double kKeyboardMargin = 16;

ui::LayoutConstraintPtr positionConstraint(const ui::ViewPtr& button, double constant) {
    return std::make_shared<ui::LayoutConstraint>(ui::LayoutConstraint{
        button, ui::LayoutAttribute::Top, {}, ui::LayoutAttribute::NotAnAttribute, 1, constant});
}

ui::LayoutConstraintPtr sizeConstraint(const ui::ViewPtr& view, ui::LayoutAttribute attribute,
                                       double constant) {
    return std::make_shared<ui::LayoutConstraint>(ui::LayoutConstraint{
        view, attribute, {}, ui::LayoutAttribute::NotAnAttribute, 1, constant});
}

// The "Login" storyboard: a scroll view holding the header image, the two captioned fields with
// their forgot links, the biometric checkbox, the error text and the action button, Cancel in the
// top corner and the busy spinner over everything; the connections of outlets and actions.
ui::ViewPtr loadLoginStoryboard(TVKLoginViewController& owner,
                                std::weak_ptr<TVKLoginViewController> weak) {
    auto root = ui::View::make(ui::Application::shared().screenBounds());
    owner.scrollView = ui::View::make<ui::ScrollView>();
    root->addSubview(owner.scrollView);
    auto content = owner.scrollView;

    owner.imageHeaderView = ui::View::make<ui::ImageView>();
    content->addSubview(owner.imageHeaderView);
    owner.imageHeaderWidth = sizeConstraint(owner.imageHeaderView, ui::LayoutAttribute::Width, 0);
    owner.imageHeaderHeight = sizeConstraint(owner.imageHeaderView, ui::LayoutAttribute::Height, 0);
    owner.imageHeaderView->addConstraint(owner.imageHeaderWidth);
    owner.imageHeaderView->addConstraint(owner.imageHeaderHeight);

    auto action = [weak](void (TVKLoginViewController::*method)()) {
        return [weak, method](ui::Control&) {
            if (auto controller = weak.lock())
                (controller.get()->*method)();
        };
    };
    auto link = [&](void (TVKLoginViewController::*method)()) {
        auto button = ui::View::make<ui::Button>();
        button->addTarget(ui::ControlEventTouchUpInside, action(method));
        content->addSubview(button);
        return button;
    };
    owner.usernameLabel = ui::View::make<ui::Label>();
    owner.usernameTF = TVKTextField::make();
    auto forgotUsername = link(&TVKLoginViewController::didTapForgotUsernameButton);
    owner.passwordLabel = ui::View::make<ui::Label>();
    owner.passwordTF = TVKTextField::make();
    owner.passwordTF->setSecureTextEntry(true);
    auto forgotPassword = link(&TVKLoginViewController::didTapForgotPasswordButton);
    owner.forgotUsernameButton = forgotUsername;
    owner.forgotPasswordButton = forgotPassword;
    for (const ui::ViewPtr& view : std::initializer_list<ui::ViewPtr>{
             owner.usernameLabel, owner.usernameTF, owner.passwordLabel, owner.passwordTF}) {
        content->addSubview(view);
    }
    owner.enabledBiometricAuthenticationCB = TVKCheckbox::make();
    owner.enabledBiometricAuthenticationCB->addTarget(
        ui::ControlEventValueChanged,
        action(&TVKLoginViewController::didTapEnabledBiometricAuthenticationCheckbox));
    content->addSubview(owner.enabledBiometricAuthenticationCB);
    owner.errorLabel = ui::View::make<ui::Label>();
    owner.errorLabel->setTextColor(ui::Color::rgb(0.85, 0.1, 0.1));
    content->addSubview(owner.errorLabel);
    owner.nextLoginButton = ui::View::make<ui::Button>();
    owner.nextLoginButton->addTarget(ui::ControlEventTouchUpInside,
                                     action(&TVKLoginViewController::didTapNextLoginButton));
    content->addSubview(owner.nextLoginButton);
    owner.nextButtonPosition = positionConstraint(owner.nextLoginButton, 330);
    owner.loginButtonPosition = positionConstraint(owner.nextLoginButton, 500);
    owner.nextLoginButton->addConstraint(owner.nextButtonPosition);
    owner.nextLoginButton->addConstraint(owner.loginButtonPosition);

    auto cancel = ui::View::make<ui::Button>();
    cancel->addTarget(ui::ControlEventTouchUpInside,
                      action(&TVKLoginViewController::didTapCancelButton));
    root->addSubview(cancel);
    owner.cancelButton = cancel;
    owner.hudView = TVKHUDView::make(ui::Rect(0, 0, 80, 80));
    root->addSubview(owner.hudView);

    // Every view placed here belongs to the root, which owns the handler.
    auto* scroll = owner.scrollView.get();
    auto* header = owner.imageHeaderView.get();
    auto* width = owner.imageHeaderWidth.get();
    auto* height = owner.imageHeaderHeight.get();
    auto* userCaption = owner.usernameLabel.get();
    auto* userField = owner.usernameTF.get();
    auto* userLink = forgotUsername.get();
    auto* passCaption = owner.passwordLabel.get();
    auto* passField = owner.passwordTF.get();
    auto* passLink = forgotPassword.get();
    auto* checkbox = owner.enabledBiometricAuthenticationCB.get();
    auto* error = owner.errorLabel.get();
    auto* button = owner.nextLoginButton.get();
    auto* next = owner.nextButtonPosition.get();
    auto* login = owner.loginButtonPosition.get();
    auto* cancelView = cancel.get();
    auto* hud = owner.hudView.get();
    root->setLayoutHandler([=](ui::View& view) {
        ui::Rect b = view.bounds();
        scroll->setFrame(b);
        double left = 32, fieldWidth = b.width() - 64;
        double headerHeight = height->constant > 0 ? height->constant : 60;
        header->setFrame(
            ui::Rect(b.midX() - width->constant / 2, 70, width->constant, height->constant));
        double top = 90 + headerHeight;
        userCaption->setFrame(ui::Rect(left, top, fieldWidth, 22));
        userField->setFrame(ui::Rect(left, top + 24, fieldWidth, 36));
        userLink->setFrame(ui::Rect(left, top + 64, fieldWidth, 20));
        passCaption->setFrame(ui::Rect(left, top + 100, fieldWidth, 22));
        passField->setFrame(ui::Rect(left, top + 124, fieldWidth, 36));
        passLink->setFrame(ui::Rect(left, top + 164, fieldWidth, 20));
        checkbox->setFrame(ui::Rect(left, top + 196, fieldWidth, 28));
        // Two lines of the server's answer fit above the log-in button.
        error->setFrame(ui::Rect(left, top + 228, fieldWidth, 40));
        const ui::LayoutConstraint* place = next->priority >= login->priority ? next : login;
        button->setFrame(ui::Rect(left, top + place->constant - 330 + 100, fieldWidth, 44));
        cancelView->setFrame(ui::Rect(16, 28, 80, 30));
        hud->setFrame(ui::Rect(b.midX() - 40, b.midY() - 40, 80, 80));
    });
    return root;
}

// The alert text for a biometric failure; none for the failures the person caused or knows of.
std::optional<std::string> biometricAlertMessage(const Error& error) {
    long code = error.domain() == ui::BiometricErrorDomain ? error.code() : 0;
    switch (code) {
        case ui::BiometricErrorAuthenticationFailed:
            return loginText("Authentication failed");
        case ui::BiometricErrorUserCancel:
            syslog(LOG_NOTICE, "User canceled login via Biometric Authentication");
            return std::nullopt;
        case ui::BiometricErrorUserFallback:
            syslog(LOG_NOTICE,
                   "User entered invalid biometric info and is falling back to password entry");
            return std::nullopt;
        case ui::BiometricErrorSystemCancel:
            syslog(LOG_NOTICE,
                   "Biometric Authentication login flow was interrupted by another app");
            return std::nullopt;
        case ui::BiometricErrorPasscodeNotSet:
            return std::nullopt;
        case ui::BiometricErrorNotAvailable:
        case -10:
        case -1004:
            return loginText("Biometric Authentication is not available for this device");
        case ui::BiometricErrorNotEnrolled:
            return loginText(
                "Biometric Authentication has not been enabled for this device. Please enable "
                "Biometric Authentication in Settings.");
        case ui::BiometricErrorLockout:
            return loginText("Biometric Authentication has been locked out");
        default:
            syslog(LOG_NOTICE, "ERROR CODE %ld", error.code());
            return loginText("An error occurred enabling Biometric Authentication:%@");
    }
}

}  // namespace

std::shared_ptr<TVKLoginViewController> TVKLoginViewController::loginViewController() {
    return std::shared_ptr<TVKLoginViewController>(new TVKLoginViewController());
}

std::shared_ptr<TVKLoginViewController> TVKLoginViewController::self() {
    return std::static_pointer_cast<TVKLoginViewController>(shared_from_this());
}

bool TVKLoginViewController::biometricAuthenticationUserSelected() {
    return UserDefaults::standard().boolForKey(userSelectedKey());
}

ErrorPtr TVKLoginViewController::resetDefaults() {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.removeObjectForKey(userSelectedKey());
    return defaults.synchronize();
}

bool TVKLoginViewController::cancelAllowed() {
    // A passcode that cannot be read may well be set.
    return auth().currentUser() &&
           TVKPasscodeManager::sharedInstance().isPasscodeSet().valueOr(true);
}

bool TVKLoginViewController::presentWithHandler(TVKUserHandler handler) {
    auto window = ui::Application::shared().keyWindow();
    if (!window)
        return false;
    savedVC_ = window->rootViewController();
    handlers_.clear();
    addHandler(std::move(handler));
    shown_ = true;
    window->setRootViewController(self());
    return true;
}

void TVKLoginViewController::addHandler(TVKUserHandler handler) {
    if (handler)
        handlers_.push_back(std::move(handler));
}

void TVKLoginViewController::cancelSignIn() {
    dismissWithUser(auth().currentUser(), Error::make(TVKAuthorizationErrorDomain,
                                                      TVKAuthorizationUserCanceledErrorCode));
}

void TVKLoginViewController::clearUserDefaultsIfNecessary() {
    // An unreadable keychain says nothing of the saved password: the opt-in stays as it is.
    auto password = KeychainItemStore::getPassword();
    if (password && password->value_or("").empty()) {
        enabledBiometricAuthenticationCB->setChecked(false);
        clearUserSelectedFlag();
    }
}

// --- Building the screen

ui::ViewPtr TVKLoginViewController::loadView() {
    return loadLoginStoryboard(*this, self());
}

void TVKLoginViewController::viewDidLoad() {
    for (const auto& field : {usernameTF, passwordTF})
        field->setDelegate(std::static_pointer_cast<ui::TextFieldDelegate>(self()));
    initUI();
    lastKeyboardFrame_ = {};
    std::weak_ptr<ui::View> weakView = view();
    view()->addTapRecognizer([weakView] {
        if (auto v = weakView.lock())
            v->endEditing();
    });
}

void TVKLoginViewController::initUI() {
    if (auto image = TVKCustomUI::customHeaderImage()) {
        imageHeaderView->setImage(image);
        imageHeaderWidth->constant = image->size().width;
        imageHeaderHeight->constant = image->size().height;
    }
    view()->setBackgroundColor(TVKCustomUI::customBackgroundColor());
    errorLabel->setText("");
    ui::Color primary = TVKCustomUI::customPrimaryColor();
    ui::Color secondary = TVKCustomUI::customSecondaryColor();
    auto forgotUsername = forgotUsernameButton.lock();
    auto forgotPassword = forgotPasswordButton.lock();
    // The buttons of this UI layer draw their own titles: only the caption follows the focus.
    auto setUpField = [&](const std::shared_ptr<TVKTextField>& field,
                          const std::shared_ptr<ui::Label>& caption, const char* captionText) {
        field->setHeaderLabel(caption);
        caption->setText(loginText(captionText));
        field->setTextColor(secondary);
        field->setFocusColor(primary);
        field->setUnfocusedColor(secondary);
    };
    setUpField(usernameTF, usernameLabel, "USERNAME");
    setUpField(passwordTF, passwordLabel, "PASSWORD");

    nextLoginButton->layer()->setCornerRadius(10.0);
    nextLoginButton->layer()->setMasksToBounds(true);
    nextLoginButton->setBackgroundColor(primary);
    nextLoginButton->setTitleColor(view()->backgroundColor().value_or(ui::Color::white()),
                                   ui::ControlStateNormal);
    if (auto cancel = cancelButton.lock())
        cancel->setTitleColor(primary, ui::ControlStateNormal);
    if (forgotPassword) {
        forgotPassword->setTitle(loginText("Forgot password?"), ui::ControlStateNormal);
        forgotPassword->setTintColor(secondary);
        forgotPassword->setTitleColor(secondary, ui::ControlStateNormal);
        forgotPassword->setTitleFont(ui::Font::system(kCaptionSize));
    }
    if (forgotUsername) {
        forgotUsername->setTitle(loginText("Forgot username?"), ui::ControlStateNormal);
        forgotUsername->setTintColor(secondary);
        forgotUsername->setTitleColor(secondary, ui::ControlStateNormal);
        forgotUsername->setTitleFont(ui::Font::system(kCaptionSize));
    }
    setUpCheckbox();
    for (const auto& caption : {usernameLabel, passwordLabel})
        caption->setFont(ui::Font::system(kBodySize, true));
    usernameTF->setFont(ui::Font::system(kBodySize));
    passwordTF->setFont(ui::Font::system(kBodySize));
    errorLabel->setFont(ui::Font::system(kBodySize));
    enabledBiometricAuthenticationCB->setFont(ui::Font::system(kCaptionSize));

    if (auto user = auth().currentUser())
        setUpSessionRefresh(user);
    else
        hidePasswordField(false);
}

void TVKLoginViewController::setUpCheckbox() {
    auto& biometrics = TVKBiometricAuthenticationManager::sharedInstance();
    long type = biometrics.getAuthTypeWithError().valueOr(TVKBiometryTypeNone);
    if (type == TVKBiometryTypeTouchID)
        enabledBiometricAuthenticationCB->setText(loginText("Enable Touch ID"));
    else if (type == TVKBiometryTypeFaceID)
        enabledBiometricAuthenticationCB->setText(loginText("Enable Face ID"));
    else
        return;
    enabledBiometricAuthenticationCB->setTextColor(TVKCustomUI::customSecondaryColor());
    if (!biometricAuthenticationUserSelected()) {
        enabledBiometricAuthenticationCB->setChecked(false);
        return;
    }
    auto present = biometrics.getAuthTypeWithError();
    if (present.valueOr(TVKBiometryTypeNone) != TVKBiometryTypeNone) {
        enabledBiometricAuthenticationCB->setChecked(true);
    } else {
        errorToHandle_ = present.error();
        withdrawBiometricChoice();
    }
}

void TVKLoginViewController::setUpSessionRefresh(const TVKUserInternalPtr& user) {
    usernameTF->setText(user->username());
    usernameTF->setEnabled(false);
    if (auto link = forgotUsernameButton.lock())
        link->setHidden(true);
    if (biometricAuthenticationUserSelected() && cancelAllowed())
        promptForBiometricAuthentication();
    else
        showPasswordField(false);
}

// --- The two steps

void TVKLoginViewController::hidePasswordField(bool animated) {
    std::weak_ptr<TVKLoginViewController> weak = self();
    auto changes = [weak, animated] {
        auto c = weak.lock();
        if (!c)
            return;
        c->nextLoginButton->setTitle(loginText("Next"), ui::ControlStateNormal);
        for (const ui::ViewPtr& v : std::initializer_list<ui::ViewPtr>{
                 c->passwordTF, c->passwordLabel, c->forgotPasswordButton.lock(),
                 c->enabledBiometricAuthenticationCB}) {
            if (v)
                v->setAlpha(0);
        }
        c->passwordTF->setText("");
        c->nextButtonPosition->priority = kCurrentStep;
        c->loginButtonPosition->priority = kOtherStep;
        if (animated)
            c->scrollView->setContentOffset({0, 0}, false);
        c->view()->setNeedsLayout();
        c->layoutView();
    };
    if (!animated) {
        changes();
        return;
    }
    ui::View::animate(kAnimation, changes, [weak](bool) {
        if (auto c = weak.lock())
            c->showFieldAboveKeyboard(c->usernameTF);
    });
}

void TVKLoginViewController::showPasswordField(bool animated) {
    std::weak_ptr<TVKLoginViewController> weak = self();
    auto changes = [weak] {
        auto c = weak.lock();
        if (!c)
            return;
        c->nextLoginButton->setTitle(loginText("Log in"), ui::ControlStateNormal);
        c->enabledBiometricAuthenticationCB->setAlpha(
            auth().isBiometricAuthenticationEnabled() ? 1 : 0);
        for (const ui::ViewPtr& v : std::initializer_list<ui::ViewPtr>{
                 c->passwordTF, c->passwordLabel, c->forgotPasswordButton.lock()}) {
            if (v)
                v->setAlpha(1);
        }
        c->nextButtonPosition->priority = kOtherStep;
        c->loginButtonPosition->priority = kCurrentStep;
        c->view()->setNeedsLayout();
        c->layoutView();
    };
    if (!animated) {
        changes();
        showFieldAboveKeyboard(passwordTF);
        return;
    }
    ui::View::animate(kAnimation, changes, [weak](bool) {
        if (auto c = weak.lock())
            c->showFieldAboveKeyboard(c->passwordTF);
    });
}

// --- Actions

void TVKLoginViewController::didTapNextLoginButton() {
    if (passwordTF->alpha() == 0)
        runUsernameFlow();
    else
        runPasswordFlow();
}

bool TVKLoginViewController::textFieldShouldReturn(ui::TextField& field) {
    if (!nextLoginButton->isEnabled())
        return false;
    if (&field == usernameTF.get())
        runUsernameFlow();
    else if (&field == passwordTF.get())
        runPasswordFlow();
    return true;
}

void TVKLoginViewController::textFieldDidBeginEditing(ui::TextField&) {
    errorLabel->setText("");
}

bool TVKLoginViewController::shouldChangeCharacters(ui::TextField& field, const std::string&) {
    if (&field == usernameTF.get() && !usernameDirtyFlag_) {
        usernameDirtyFlag_ = true;
        hidePasswordField(true);
    }
    return true;
}

void TVKLoginViewController::setBusy(bool busy) {
    nextLoginButton->setEnabled(!busy);
    if (busy)
        hudView->startAnimating();
    else
        hudView->stopAnimating();
}

void TVKLoginViewController::updateCancelButton(bool signingInInBrowser) {
    if (auto cancel = cancelButton.lock()) {
        bool shown = signingInInBrowser || cancelAllowed();
        if (shown)
            cancel->setTitle(loginText("Cancel"), ui::ControlStateNormal);
        cancel->setHidden(!shown);
    }
}

void TVKLoginViewController::runUsernameFlow() {
    const std::string username = usernameTF->text();
    if (!username.empty() && strcasecmp(username.c_str(), LogEmailUsername) == 0) {
        presentLogEmailDialog();
        return;
    }
    if (username.empty()) {
        errorLabel->setText(loginText("Please enter a username"));
        return;
    }
    usernameDirtyFlag_ = false;
    errorLabel->setText("");
    setBusy(true);
    usernameTF->resignFirstResponder();
    auth().updateLastAttemptedLoginUsername(username);
    std::weak_ptr<TVKLoginViewController> weak = self();
    auth().checkAuthTypeForUsername(username,
                                    [weak](long type, const Json& profile, const ErrorPtr& error) {
                                        if (auto c = weak.lock())
                                            c->didDiscover(type, profile, error);
                                    });
}

void TVKLoginViewController::didDiscover(long type, const Json& profile, const ErrorPtr& error) {
    if (error) {
        showErrorForInvalidLogin(error);
        setBusy(false);
        return;
    }
    if (type == TVKAuthTypePassword) {
        setBusy(false);
        showPasswordField(true);
        // Typing goes on in the password at once, before the field has moved into place.
        passwordTF->becomeFirstResponder();
    } else if (type == TVKAuthTypeSingleSignOn) {
        // A single-sign-on user has no password for biometrics to fill in.
        enabledBiometricAuthenticationCB->setChecked(false);
        withdrawBiometricChoice();
        // The person may leave the browser for good: Cancel must be at hand meanwhile.
        updateCancelButton(true);
        std::weak_ptr<TVKLoginViewController> weak = self();
        auth().authorizeOAuthUser(usernameTF->text(), profile,
                                  [weak](const TVKUserInternalPtr& user, const ErrorPtr& error) {
                                      auto c = weak.lock();
                                      if (!c)
                                          return;
                                      c->updateCancelButton(false);
                                      if (error && error->is(TVKAuthorizationErrorDomain, -5))
                                          c->setBusy(false);
                                      c->finalizeAuthorization(user, error);
                                  });
    }
}

void TVKLoginViewController::runPasswordFlow() {
    const std::string username = usernameTF->text();
    const std::string password = passwordTF->text();
    if (username.empty()) {
        errorLabel->setText(loginText("Please enter a username"));
        return;
    }
    if (password.empty()) {
        errorLabel->setText(loginText("Please enter a password"));
        return;
    }
    errorLabel->setText("");
    setBusy(true);
    std::weak_ptr<TVKLoginViewController> weak = self();
    auth().loginToAuthServerWithUsername(
        username, password, [weak](const TVKUserInternalPtr& user, const ErrorPtr& error) {
            if (auto c = weak.lock())
                c->finalizeAuthorization(user, error);
        });
}

void TVKLoginViewController::finalizeAuthorization(const TVKUserInternalPtr& user,
                                                   const ErrorPtr& error) {
    if (error) {
        showErrorForInvalidLogin(error);
        setBusy(false);
        return;
    }
    auto& passcode = TVKPasscodeManager::sharedInstance();
    // A passcode that cannot be read is not replaced: the sign-in has just proved who this is,
    // and the lock screen asks for the passcode once the keychain answers.
    if (passcode.isPasscodeSet().valueOr(true)) {
        dismissWithUser(user, nullptr);
        return;
    }
    view()->setHidden(true);
    auto keep = self();
    bool willCallBack =
        passcode.resetPasscodeWithHandler([keep, user] { keep->dismissWithUser(user, nullptr); });
    // No passcode screen will come (the feature is off, or it cannot be shown): the sign-in is
    // done all the same, and the screen must not stay hidden.
    if (!willCallBack)
        dismissWithUser(user, nullptr);
}

void TVKLoginViewController::showErrorForInvalidLogin(const ErrorPtr& error) {
    if (!error || isUserCanceledOperationError(*error))
        return;
    if (isQuarraServerError(*error))
        errorLabel->setText(quarraServerErrorMessage(*error).value_or(""));
    else
        errorLabel->setText(error->localizedDescription());
}

void TVKLoginViewController::dismissWithUser(const TVKUserInternalPtr& user,
                                             const ErrorPtr& error) {
    if (!shown_)
        return;
    shown_ = false;
    auto keep = self();
    if (auto window = ui::Application::shared().keyWindow();
        window && window->rootViewController() == keep) {
        window->setRootViewController(savedVC_);
    }
    savedVC_.reset();
    std::vector<TVKUserHandler> handlers = std::move(handlers_);
    handlers_.clear();
    for (const TVKUserHandler& handler : handlers)
        handler(user, error);
}

void TVKLoginViewController::didTapCancelButton() {
    // The same cancel the host has: it ends a browser step too.
    auth().cancelSignIn();
}

void TVKLoginViewController::openSignInPage(const std::string& path) {
    auto url = Url::parse(std::string(SignInWebSite) + path);
    if (!url || !Browser::shared()->openURL(*url))
        TVK_LOG_ERROR("Could not open the page " + path + " in the browser");
}

void TVKLoginViewController::didTapForgotPasswordButton() {
    openSignInPage("/auth/forgotpassword");
}

void TVKLoginViewController::didTapForgotUsernameButton() {
    openSignInPage("/auth/forgotusername");
}

// --- Biometrics

void TVKLoginViewController::withdrawBiometricChoice() {
    enabledBiometricAuthenticationCB->setChecked(false);
    clearUserSelectedFlag();
    // The password was kept only for biometric sign-in.
    if (ErrorPtr error = KeychainItemStore::setPassword(""))
        TVK_LOG_ERROR("Could not delete the saved password: " + error->description());
}

void TVKLoginViewController::didTapEnabledBiometricAuthenticationCheckbox() {
    if (!enabledBiometricAuthenticationCB->checked()) {
        withdrawBiometricChoice();
        return;
    }
    auto present = TVKBiometricAuthenticationManager::sharedInstance().getAuthTypeWithError();
    if (present.valueOr(TVKBiometryTypeNone) != TVKBiometryTypeNone) {
        UserDefaults::standard().setBool(true, userSelectedKey());
        return;
    }
    withdrawBiometricChoice();
    // Evaluable, but of no kind the SDK offers: as good as none.
    showAlertForError(present ? ui::biometricError(ui::BiometricErrorNotAvailable)
                              : present.error());
}

void TVKLoginViewController::promptForBiometricAuthentication() {
    auto& biometrics = TVKBiometricAuthenticationManager::sharedInstance();
    long type = biometrics.getAuthTypeWithError().valueOr(TVKBiometryTypeNone);
    if (type == TVKBiometryTypeNone) {
        // Biometry has gone since the user chose it: the password still signs in.
        showPasswordField(false);
        return;
    }
    std::string reason =
        type == TVKBiometryTypeFaceID ? "Please login with Face ID" : "Please login with Touch ID";
    std::weak_ptr<TVKLoginViewController> weak = self();
    biometrics.evaluateBiometricPolicyWithLocalizedAuthReason(
        loginText(reason), [weak](bool success, const ErrorPtr& error) {
            auto c = weak.lock();
            if (!c)
                return;
            c->showPasswordField(false);
            c->passwordTF->becomeFirstResponder();
            if (success) {
                // A kept password that cannot be read is no wrong password to send.
                auto kept = KeychainItemStore::getPassword();
                if (!kept) {
                    c->showErrorForInvalidLogin(kept.error());
                    return;
                }
                c->passwordTF->setText(kept->value_or(""));
                c->runPasswordFlow();
            } else {
                c->showAlertForError(
                    error ? error : ui::biometricError(ui::BiometricErrorAuthenticationFailed));
            }
        });
}

void TVKLoginViewController::showAlertForError(const ErrorPtr& error) {
    syslog(LOG_NOTICE, "Error:%s", error->description().c_str());
    auto message = biometricAlertMessage(*error);
    if (!message)
        return;
    if (auto at = message->find("%@"); at != std::string::npos)
        message->replace(at, 2, error->localizedDescription());
    auto alert = ui::AlertController::make("", *message, ui::AlertStyle::Alert);
    alert->addAction({loginText("OK"), ui::AlertActionStyle::Default, nullptr});
    presentViewController(alert, true);
}

// --- The log e-mail

void TVKLoginViewController::presentLogEmailDialog() {
    std::weak_ptr<TVKLoginViewController> weak = self();
    TVKQuarraLoggerInternal::sharedInstance().logDataWithCompletionHandler(
        [weak](std::optional<Bytes> data) {
            DispatchQueue::main()->async([weak, data = std::move(data)]() mutable {
                auto c = weak.lock();
                if (!c)
                    return;
                if (!ui::MailComposeViewController::canSendMail()) {
                    c->showMailAlert(
                        "Email Setup Needed",
                        "Please set up an email account on this device before sending the log.");
                } else if (!data) {
                    c->showMailAlert("No Log File", "No log file found");
                } else {
                    auto composer = ui::MailComposeViewController::make();
                    composer->setSubject(LogEmailSubject);
                    composer->setMessageBody(LogEmailBody, false);
                    composer->addAttachmentData(std::move(*data), LogEmailMimeType,
                                                LogEmailFileName);
                    composer->setMailComposeDelegate(
                        std::static_pointer_cast<ui::MailComposeViewControllerDelegate>(c));
                    c->presentViewController(composer, true);
                }
            });
        });
}

void TVKLoginViewController::showMailAlert(const std::string& title, const std::string& message) {
    auto alert =
        ui::AlertController::make(loginText(title), loginText(message), ui::AlertStyle::Alert);
    alert->addAction({"Ok", ui::AlertActionStyle::Default, nullptr});
    presentViewController(alert, true);
}

void TVKLoginViewController::mailComposeControllerDidFinish(ui::MailComposeViewController& composer,
                                                            ui::MailComposeResult,
                                                            const ErrorPtr&) {
    composer.dismissViewController(true);
}

// --- Appearance and the keyboard

void TVKLoginViewController::viewWillAppear(bool animated) {
    ViewController::viewWillAppear(animated);
    updateCancelButton(false);
    auto& center = NotificationCenter::defaultCenter();
    if (keyboardObserver_)
        center.removeObserver(keyboardObserver_);
    std::weak_ptr<TVKLoginViewController> weak = self();
    keyboardObserver_ = center.addObserver(ui::KeyboardWillChangeFrameNotification,
                                           [weak](const Notification& notification) {
                                               if (auto c = weak.lock())
                                                   c->keyboardWillChangeFrame(notification);
                                           });
}

void TVKLoginViewController::viewDidAppear(bool animated) {
    ViewController::viewDidAppear(animated);
    // A person at a keyboard types at once: the field of the step on show has the focus.
    const auto& field = passwordTF->alpha() > 0 ? passwordTF : usernameTF;
    if (field->isEnabled())
        field->becomeFirstResponder();
    if (!nextLoginButton->isEnabled())
        hudView->startAnimating();
    if (errorToHandle_) {
        ErrorPtr error = std::move(errorToHandle_);
        errorToHandle_ = nullptr;
        showAlertForError(error);
    }
}

void TVKLoginViewController::viewWillDisappear(bool animated) {
    ViewController::viewWillDisappear(animated);
    if (keyboardObserver_) {
        NotificationCenter::defaultCenter().removeObserver(keyboardObserver_);
        keyboardObserver_ = 0;
    }
}

void TVKLoginViewController::viewDidLayoutSubviews() {
    ViewController::viewDidLayoutSubviews();
    view()->layoutIfNeeded();
}

void TVKLoginViewController::keyboardWillChangeFrame(const Notification& notification) {
    ui::ViewPtr target;
    auto responder = TVKFirstResponder::currentFirstResponder();
    if (responder && (responder == usernameTF || responder == passwordTF))
        target = enabledBiometricAuthenticationCB;
    else if (auto focused = std::dynamic_pointer_cast<ui::View>(responder))
        target = focused;
    else
        target = nextLoginButton;
    ui::Rect frame = target->convertRectToWindow(target->bounds());
    const ui::Rect* end = notification.value<ui::Rect>(ui::KeyboardFrameEndUserInfoKey);
    lastKeyboardFrame_ = end ? *end : ui::Rect();
    showFrameAboveKeyboard(frame, lastKeyboardFrame_);
}

void TVKLoginViewController::showFieldAboveKeyboard(const std::shared_ptr<ui::View>& field) {
    showFrameAboveKeyboard(field->convertRectToWindow(field->bounds()), lastKeyboardFrame_);
}

void TVKLoginViewController::showFrameAboveKeyboard(const ui::Rect& frame,
                                                    const ui::Rect& keyboard) {
    if (frame == ui::Rect())
        return;
    ui::Rect visible = view()->frame();
    visible.size.height -= keyboard.height();
    double testY = frame.y() + frame.height();
    auto window = ui::Application::shared().keyWindow();
    double windowHeight = window ? window->frame().height() : visible.height();
    if (keyboard.y() == windowHeight || keyboard == ui::Rect()) {
        scrollView->setContentInset({});
        scrollView->setScrollIndicatorInsets({});
        scrollView->setContentOffset({0, 0}, true);
        return;
    }
    bool contains = frame.x() >= visible.x() && frame.x() < visible.x() + visible.width() &&
                    testY >= visible.y() && testY < visible.y() + visible.height();
    if (!contains) {
        ui::EdgeInsets insets{0, 0, keyboard.height() + kKeyboardMargin, 0};
        scrollView->setContentInset(insets);
        scrollView->setScrollIndicatorInsets(insets);
        // The frame is in window coordinates; the scroll view wants it in its content's.
        ui::Rect inContent = frame;
        inContent.origin.y += scrollView->contentOffset().y;
        scrollView->scrollRectToVisible(inContent, true);
    }
}

}  // namespace quarra
