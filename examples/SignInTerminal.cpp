#include "SignInTerminal.h"

#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "auth/TVKPasscodeManager.h"
#include "auth/ui/LKLockScreenViewController.h"
#include "auth/ui/TVKLoginViewController.h"
#include "quarra/Browser.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/PngRenderer.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"
#include "support/ProviderTestDriver.h"

using namespace quarra;

namespace {

// Reads a line with the terminal's echo off, so the password does not show.
bool readSecretLine(std::istream& in, std::string& line) {
    termios saved{};
    bool terminal =
        &in == &std::cin && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    bool read = static_cast<bool>(std::getline(in, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cout << "\n";
    }
    return read;
}

}  // namespace

int signInInTerminal(std::istream& in, std::ostream& out, const std::string& username,
                     const std::string& password) {
    const bool interactive = &in == &std::cin && isatty(STDIN_FILENO);
    // The handler may run after this returns (once the new user's passcode is chosen on the lock
    // screen), so what it sets outlives this call.
    struct Outcome {
        bool finished = false;
        ErrorPtr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    TVKQuarraAuth::sharedInstance().authenticateWithHandler(
        [outcome](const TVKUserPtr&, const ErrorPtr& error) {
            outcome->failure = error;
            outcome->finished = true;
        });
    const bool& finished = outcome->finished;
    const ErrorPtr& failure = outcome->failure;
    auto window = ui::Application::shared().keyWindow();
    auto screen = std::dynamic_pointer_cast<TVKLoginViewController>(
        window ? window->rootViewController() : nullptr);
    if (!screen) {
        out << "the sign-in screen did not come up\n";
        return 1;
    }
    const auto limit = std::chrono::minutes(5);
    int attempts = 0;
    // The lock screen comes over the sign-in screen when the new user has to choose a passcode
    // first; the sign-in ends once it is chosen, on that screen.
    auto lockScreenUp = [] {
        return std::dynamic_pointer_cast<LKLockScreenViewController>(
                   TVKPasscodeManager::sharedInstance().topViewController()) != nullptr;
    };
    while (!finished && !lockScreenUp()) {
        if (!screen->errorLabel->text().empty())
            out << "  ! " << screen->errorLabel->text() << "\n";
        bool passwordStep = screen->passwordTF->alpha() > 0;
        auto field = passwordStep ? screen->passwordTF : screen->usernameTF;
        std::string line;
        if (!interactive) {
            // Nobody at a terminal: the demo user's credentials, typed once.
            if (++attempts > 2)
                return 1;
            line = passwordStep ? password : username;
            out << (passwordStep ? "  PASSWORD: ********\n" : "  USERNAME: " + line + "\n");
        } else if (passwordStep) {
            out << "  " << screen->passwordLabel->text() << " for " << screen->usernameTF->text()
                << " (empty: another user name): " << std::flush;
            if (!readSecretLine(in, line))
                return 1;
            if (line.empty() && screen->usernameTF->isEnabled()) {
                // An empty password: back to the user name, as editing it would.
                screen->hidePasswordField(false);
                continue;
            }
        } else {
            out << "  " << screen->usernameLabel->text() << ": " << std::flush;
            if (!std::getline(in, line))
                return 1;
        }
        field->setText(line);
        out << "  [" << screen->nextLoginButton->currentTitle() << "]\n";
        screen->nextLoginButton->tap();
        RunLoop::main().runUntil(
            [&] { return finished || lockScreenUp() || screen->nextLoginButton->isEnabled(); },
            limit);
        // Lets the step change (0.2 s) play out.
        RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(300));
    }
    if (failure) {
        out << "  sign-in ended: " << failure->localizedDescription() << "\n";
        return 1;
    }
    return 0;
}

void letTestDriverUseBrowser(const std::string& login, const std::string& password) {
    Browser::setShared(std::make_shared<test::ProviderTestBrowser>(
        test::ProviderTestDriver::Options{.login = login, .password = password}));
}

int drawSignInPictures(const std::filesystem::path& folder) {
    auto clock = std::make_shared<ui::ManualScheduler>();
    ui::Scheduler::setShared(clock);
    auto window = ui::Window::make();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    struct Picture {
        const char* file;
        bool passwordStep;
        const char* error;
    };
    const Picture pictures[] = {
        {"sign-in-username.png", false, ""},
        {"sign-in-password.png", true, "The user name or password is incorrect"},
    };
    for (const auto& picture : pictures) {
        auto screen = TVKLoginViewController::loginViewController();
        if (!screen->presentWithHandler(nullptr))
            return 1;
        screen->usernameTF->setText("demo");
        if (picture.passwordStep) {
            screen->showPasswordField(false);
            screen->passwordTF->setText("password");
        }
        screen->errorLabel->setText(picture.error);
        auto path = folder / picture.file;
        if (auto error = ui::drawWindowToPng(*window, path)) {
            std::cerr << error->localizedDescription() << "\n";
            return 1;
        }
        std::cout << path.string() << "\n";
        screen->didTapCancelButton();
    }
    ui::Scheduler::setShared(nullptr);
    return 0;
}
