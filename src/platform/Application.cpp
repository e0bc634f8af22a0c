#include "quarra/Application.h"

#include <cstdlib>
#include <mutex>

#include "platform/LibraryLifetime.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

Application& Application::shared() {
    static auto* application = new Application();
    return *application;
}

namespace {
void post(const char* name) {
    NotificationCenter::defaultCenter().post(name);
}
}  // namespace

void Application::didFinishLaunching() {
    post(ApplicationDidFinishLaunchingNotification);
    state_ = ApplicationState::Active;
    post(ApplicationDidBecomeActiveNotification);
}

void Application::didEnterBackground() {
    ApplicationState before = state_.load();
    do {
        if (before == ApplicationState::Background)
            return;
    } while (!state_.compare_exchange_weak(before, ApplicationState::Background));
    if (before == ApplicationState::Active)
        post(ApplicationWillResignActiveNotification);
    post(ApplicationDidEnterBackgroundNotification);
}

void Application::willEnterForeground() {
    // Inactive while coming back, so a second report meanwhile posts nothing.
    ApplicationState before = ApplicationState::Background;
    if (!state_.compare_exchange_strong(before, ApplicationState::Inactive))
        return;
    post(ApplicationWillEnterForegroundNotification);
    state_ = ApplicationState::Active;
    post(ApplicationDidBecomeActiveNotification);
}

void Application::willTerminate() {
    if (!terminated_.exchange(true))
        post(ApplicationWillTerminateNotification);
}

void Application::postWillTerminateAtExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // What observers do at exit may still hash or encrypt (the log's last lines are redacted
        // with digests), so OpenSSL must not clean itself up at exit before them: a host that had
        // not used OpenSSL before would crash on its way out. Its memory goes with the process.
        keepOpenSSLUntilProcessEnd();
        std::atexit([] {
            try {
                Application::shared().willTerminate();
            } catch (...) {
                // The process is ending: nothing is left to report to.
            }
        });
    });
}

}  // namespace quarra
