#include "DesktopWindow.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <memory>
#include <ostream>

#include "quarra/TVKQuarraAuth.h"
#include "quarra/gtk/WindowPresenter.h"
#include "quarra/ui/Application.h"

using namespace quarra;

namespace {

// GLib's main loop, quit from handlers that may outlive the call that runs it.
struct Loop {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    ~Loop() { g_main_loop_unref(loop); }
    void run() { g_main_loop_run(loop); }
    void quit() { g_main_loop_quit(loop); }
};

struct UnlockPrinter : TVKPasscodeManagerDelegate {
    std::ostream* out;
    explicit UnlockPrinter(std::ostream& o) : out(&o) {}
    void unlockWasSuccessful() override { *out << "  unlocked\n"; }
};

}  // namespace

bool openDesktop(int& argc, char**& argv) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        return false;
    return gtk_init_check(&argc, &argv);
}

int signInInWindow(std::ostream& out) {
    struct Outcome {
        bool finished = false;
        ErrorPtr failure;
        std::shared_ptr<Loop> loop = std::make_shared<Loop>();
    };
    // The handler runs once the new user's passcode is chosen, which may be after the window
    // closed and this returned.
    auto outcome = std::make_shared<Outcome>();
    gtk::WindowPresenter presenter("Quarra example: sign in");
    presenter.setCloseHandler([loop = outcome->loop] { loop->quit(); });
    out << "sign in in the window (demo user: demo, password demo-password)\n";
    TVKQuarraAuth::sharedInstance().authenticateWithHandler(
        [outcome](const TVKUserPtr&, const ErrorPtr& error) {
            outcome->failure = error;
            outcome->finished = true;
            outcome->loop->quit();
        });
    if (!outcome->finished)
        outcome->loop->run();
    if (!outcome->finished) {
        out << "  the window was closed\n";
        return 1;
    }
    if (outcome->failure) {
        out << "  sign-in ended: " << outcome->failure->localizedDescription() << "\n";
        return 1;
    }
    return 0;
}

int passcodeInWindow(std::ostream& out) {
    auto delegate = std::make_shared<UnlockPrinter>(out);
    TVKQuarraAuth::sharedInstance().setPasscodeDelegate(delegate);
    Loop loop;
    gtk::WindowPresenter presenter("Quarra example: passcode");
    presenter.setCloseHandler([&loop] { loop.quit(); });
    out << "the lock screen is in the window; close the window to end\n";
    ui::Application::shared().finishLaunching();
    loop.run();
    return 0;
}
