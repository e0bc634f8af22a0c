#include "quarra/ui/Application.h"

#include "quarra/NotificationCenter.h"
#include "quarra/ui/Responder.h"

namespace quarra::ui {

Application& Application::shared() {
    static Application* instance = new Application();
    return *instance;
}

void Application::finishLaunching() {
    quarra::Application::shared().didFinishLaunching();
}

void Application::enterBackground() {
    quarra::Application::shared().didEnterBackground();
}

void Application::enterForeground() {
    quarra::Application::shared().willEnterForeground();
}

void Application::terminate() {
    quarra::Application::shared().willTerminate();
}

void Application::setNetworkActivityIndicatorVisible(bool visible) {
    if (visible == networkActivityIndicatorVisible_)
        return;
    networkActivityIndicatorVisible_ = visible;
    if (networkActivityObserver_)
        networkActivityObserver_(visible);
}

bool Application::sendActionToFirstResponder(const std::function<void(Responder&)>& action) {
    auto responder = firstResponder();
    if (!responder)
        return false;
    action(*responder);
    return true;
}

}  // namespace quarra::ui
