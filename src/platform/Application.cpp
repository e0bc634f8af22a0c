#include "platform/Application.h"

#include <cstdlib>
#include <mutex>

#include "platform/NotificationCenter.h"

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
