// Draws the SDK's lock screen in each mode and the sign-in screen's two steps into PNG files (the
// pictures in docs/):
//
//     quarra_screen_pictures [folder]      default: docs
//
// A tool of the tree, not a host: it sets the screens up in states a person would have to click
// through first, which takes the screens' own classes.
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <memory>

#include "auth/ui/LKLockScreenViewController.h"
#include "auth/ui/TVKLoginViewController.h"
#include "quarra/TVKErrorMessageExtensions.h"
#include "core/TVKQuarraManager.h"
#include "quarra/Bundle.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/PngRenderer.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"

using namespace quarra;

namespace {

// A stand-in for the passcode manager: any passcode is wrong, biometrics are offered.
struct PictureSource : LKLockScreenViewControllerDataSource {
    bool allow = false;
    bool lockScreenViewController(LKLockScreenViewController&, const std::string&) override {
        return false;
    }
    bool allowBiometricAuthenticationLockScreenViewController(
        LKLockScreenViewController&) override {
        return allow;
    }
};

bool write(ui::Window& window, const std::filesystem::path& path) {
    if (auto error = ui::drawWindowToPng(window, path)) {
        std::cerr << error->localizedDescription() << "\n";
        return false;
    }
    std::cout << path.string() << "\n";
    return true;
}

int drawLockScreenPictures(ui::Window& window, const std::shared_ptr<ui::ManualScheduler>& clock,
                           const std::filesystem::path& folder) {
    auto biometrics = std::make_shared<ui::ScriptedBiometricService>();
    biometrics->setAvailable(ui::BiometryType::TouchID);
    ui::BiometricService::setShared(biometrics);
    auto source = std::make_shared<PictureSource>();
    struct Picture {
        const char* file;
        long mode;
        bool biometrics;
        const char* typed;
    };
    const Picture pictures[] = {
        {"lock-screen-unlock.png", LKLockScreenModeNormal, false, "12"},
        {"lock-screen-unlock-touch-id.png", LKLockScreenModeNormal, true, ""},
        {"lock-screen-new.png", LKLockScreenModeNew, false, "1"},
        {"lock-screen-confirm.png", LKLockScreenModeNew, false, "1234"},
        {"lock-screen-change.png", LKLockScreenModeChange, false, ""},
    };
    for (const auto& picture : pictures) {
        source->allow = picture.biometrics;
        auto screen = LKLockScreenViewController::make();
        screen->setLockScreenMode(picture.mode);
        screen->setDataSource(source);
        window.rootViewController()->presentViewController(screen, false);
        for (const char* c = picture.typed; *c; ++c)
            screen->numberButtons.at(*c - '0')->tap();
        // Lets the slide to the confirmation step finish.
        clock->advance(std::chrono::seconds(1));
        if (!write(window, folder / picture.file))
            return 1;
        screen->dismissViewController(false);
    }
    ui::BiometricService::setShared(nullptr);
    return 0;
}

int drawSignInPictures(ui::Window& window, const std::filesystem::path& folder) {
    // What the SDK makes of a Quarra server's answer to a wrong password.
    ErrorPtr wrongPassword = TVKQuarraManager::errorFromResponse(
        {{"responseStatus", "FAILURE"},
         {"errors", Json::array({{{"type", "USERNAME_OR_PASSWORD_INCORRECT"},
                                  {"message", "Invalid username or password"}}})}});
    for (bool passwordStep : {false, true}) {
        auto screen = TVKLoginViewController::loginViewController();
        if (!screen->presentWithHandler(nullptr))
            return 1;
        screen->usernameTF->setText("demo");
        if (passwordStep) {
            screen->showPasswordField(false);
            // As after Next: the password has the focus.
            screen->passwordTF->becomeFirstResponder();
            screen->passwordTF->setText("password");
            // The text the screen shows for it.
            screen->errorLabel->setText(quarraServerErrorMessage(*wrongPassword).value_or(""));
        }
        if (!write(window,
                   folder / (passwordStep ? "sign-in-password.png" : "sign-in-username.png")))
            return 1;
        screen->didTapCancelButton();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!getenv("QUARRA_HOST_BUNDLE_ID"))
        Bundle::setMainBundle("com.example.quarra-example", {{"com.tovik.PasscodeEnabled", false}});
    std::filesystem::path folder = argc >= 2 ? argv[1] : "docs";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    auto clock = std::make_shared<ui::ManualScheduler>();
    ui::Scheduler::setShared(clock);
    auto window = ui::Window::make();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
    int status =
        drawLockScreenPictures(*window, clock, folder) || drawSignInPictures(*window, folder);
    ui::Scheduler::setShared(nullptr);
    return status;
}
