#include "PasscodeTerminal.h"

#include <iostream>
#include <memory>
#include <string>

#include "auth/TVKPasscodeManager.h"
#include "auth/ui/LKLockScreenViewController.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/PngRenderer.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Sounds.h"
#include "quarra/ui/Window.h"

using namespace quarra;

namespace {

// Lets the screen's pauses and slides (at most 0.6 s) play out.
void settle() {
    RunLoop::main().runUntil([] { return false; }, std::chrono::milliseconds(700));
}

ui::ViewControllerPtr topViewController() {
    return TVKPasscodeManager::sharedInstance().topViewController();
}

void printScreen(const LKLockScreenViewController& screen, std::ostream& out) {
    std::string dots;
    for (std::size_t i = 0; i < LKLockScreenPincodeView::PincodeLength; ++i)
        dots += i < screen.pincodeView->filledDots() ? " \u25cf" : " \u25cb";
    out << "\n  " << screen.titleLabel->text() << "\n";
    if (!screen.subtitleLabel->text().empty())
        out << "  " << screen.subtitleLabel->text() << "\n";
    out << " " << dots << "\n";
    if (!screen.cancelButton->isHidden())
        out << "  [r] " << screen.cancelButton->currentTitle() << "   [d] "
            << screen.deleteButton->currentTitle() << "\n";
    else
        out << "  [d] " << screen.deleteButton->currentTitle() << "\n";
}

struct PrintingDelegate : TVKPasscodeManagerDelegate {
    std::ostream* out;
    explicit PrintingDelegate(std::ostream& o) : out(&o) {}
    void unlockWasSuccessful() override { *out << "\n  unlocked\n"; }
};

}  // namespace

int drivePasscodeInTerminal(std::istream& in, std::ostream& out) {
    auto delegate = std::make_shared<PrintingDelegate>(out);
    TVKQuarraAuth::sharedInstance().setPasscodeDelegate(delegate);
    ui::Sounds::setObserver([&out](unsigned sound) {
        if (sound == ui::SystemSoundVibrate)
            out << "  *bzzt* (the device vibrates)\n";
    });
    out << "digits to type, d delete, r reset, b background and back, q quit\n";
    auto& app = ui::Application::shared();
    app.finishLaunching();
    std::string line;
    for (;;) {
        auto top = topViewController();
        if (auto alert = std::dynamic_pointer_cast<ui::AlertController>(top)) {
            out << "\n  " << alert->message() << "\n  [Enter] " << alert->actions().at(0).title
                << "\n> " << std::flush;
            if (!std::getline(in, line))
                break;
            alert->chooseAction(0);
            continue;
        }
        auto screen = std::dynamic_pointer_cast<LKLockScreenViewController>(top);
        if (screen) {
            printScreen(*screen, out);
        } else if (!TVKQuarraAuth::sharedInstance().currentUser()) {
            out << "\n  signed out: the host would show its sign-in screen now\n";
            break;
        } else {
            out << "\n  the host's own screen ([b] background and back, [q] quit)\n";
        }
        out << "> " << std::flush;
        if (!std::getline(in, line))
            break;
        bool quit = false;
        for (char c : line) {
            auto lock = std::dynamic_pointer_cast<LKLockScreenViewController>(topViewController());
            if (c >= '0' && c <= '9' && lock) {
                lock->numberButtons.at(c - '0')->tap();
                if (lock->pincodeView->layer()->animationForKey("shake"))
                    out << "  ~ the dots shake ~\n";
            } else if (c == 'd' && lock) {
                lock->deleteButton->tap();
            } else if (c == 'r' && lock) {
                lock->cancelButton->tap();
            } else if (c == 'b') {
                app.enterBackground();
                out << "  (in the background)\n";
                app.enterForeground();
            } else if (c == 'q') {
                quit = true;
            }
            RunLoop::main().runPending();
        }
        settle();
        if (quit)
            break;
    }
    ui::Sounds::setObserver(nullptr);
    return 0;
}

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

}  // namespace

int drawLockScreenPictures(const std::filesystem::path& folder) {
    auto clock = std::make_shared<ui::ManualScheduler>();
    ui::Scheduler::setShared(clock);
    auto biometrics = std::make_shared<ui::ScriptedBiometricService>();
    biometrics->setAvailable(ui::BiometryType::TouchID);
    ui::BiometricService::setShared(biometrics);
    auto window = ui::Window::make();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
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
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    for (const auto& picture : pictures) {
        source->allow = picture.biometrics;
        auto screen = LKLockScreenViewController::make();
        screen->setLockScreenMode(picture.mode);
        screen->setDataSource(source);
        window->rootViewController()->presentViewController(screen, false);
        for (const char* c = picture.typed; *c; ++c)
            screen->numberButtons.at(*c - '0')->tap();
        // Lets the slide to the confirmation step finish.
        clock->advance(std::chrono::seconds(1));
        auto path = folder / picture.file;
        if (auto error = ui::drawWindowToPng(*window, path)) {
            std::cerr << error->localizedDescription() << "\n";
            return 1;
        }
        std::cout << path.string() << "\n";
        screen->dismissViewController(false);
    }
    ui::Scheduler::setShared(nullptr);
    ui::BiometricService::setShared(nullptr);
    return 0;
}
