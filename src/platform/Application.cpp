#include "platform/Application.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <mutex>

#include "quarra/NotificationCenter.h"

namespace quarra {

Application& Application::shared() {
    static auto* application = new Application();
    return *application;
}

void Application::didEnterBackground() {
    if (state_.exchange(ApplicationState::Background) != ApplicationState::Background)
        NotificationCenter::defaultCenter().post(ApplicationDidEnterBackgroundNotification);
}

void Application::willEnterForeground() {
    if (state_.exchange(ApplicationState::Active) != ApplicationState::Active)
        NotificationCenter::defaultCenter().post(ApplicationWillEnterForegroundNotification);
}

void Application::willTerminate() {
    if (!terminated_.exchange(true))
        NotificationCenter::defaultCenter().post(ApplicationWillTerminateNotification);
}

void Application::postWillTerminateAtExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        // What observers do at exit may still hash or encrypt (the log's last lines are redacted
        // with digests), so OpenSSL must not clean itself up at exit before them: a host that had
        // not used OpenSSL before would crash on its way out. Its memory goes with the process.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
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
