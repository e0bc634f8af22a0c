#include "quarra/ui/Application.h"

#include "quarra/NotificationCenter.h"
#include "quarra/ui/Responder.h"

namespace quarra::ui {

Application& Application::shared() {
    static Application* instance = new Application();
    return *instance;
}

void Application::post(const char* name) {
    NotificationCenter::defaultCenter().post(name);
}

void Application::finishLaunching() {
    post(ApplicationDidFinishLaunchingNotification);
    state_ = ApplicationState::Active;
    post(ApplicationDidBecomeActiveNotification);
}

void Application::enterBackground() {
    state_ = ApplicationState::Inactive;
    post(ApplicationWillResignActiveNotification);
    state_ = ApplicationState::Background;
    post(ApplicationDidEnterBackgroundNotification);
}

void Application::enterForeground() {
    state_ = ApplicationState::Inactive;
    post(ApplicationWillEnterForegroundNotification);
    state_ = ApplicationState::Active;
    post(ApplicationDidBecomeActiveNotification);
}

void Application::terminate() {
    post(ApplicationWillTerminateNotification);
}

bool Application::sendActionToFirstResponder(const std::function<void(Responder&)>& action) {
    auto responder = firstResponder();
    if (!responder)
        return false;
    action(*responder);
    return true;
}

}  // namespace quarra::ui
