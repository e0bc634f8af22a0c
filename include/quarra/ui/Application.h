#pragma once
// The application object of the UI model: its state, its key window, the first responder, the
// status bar's network-activity indicator and the life-cycle notifications. The host reports what
// happens to the application with the calls below (launch finished, gone to the background, coming
// back, ending); they go to the process's one life cycle (platform/Application.h), which posts the
// platform's notifications on the default notification centre, in the platform's order, on the
// calling thread, and only for a real change of state. Main thread only.
#include <functional>
#include <memory>

#include "quarra/ui/Graphics.h"
#include "quarra/Application.h"

namespace quarra::ui {

class Window;
class Responder;

// The process has one life cycle: the names, the state and the posting are the platform
// application's (platform/Application.h), which this object reports to.
using quarra::ApplicationDidBecomeActiveNotification;
using quarra::ApplicationDidEnterBackgroundNotification;
using quarra::ApplicationDidFinishLaunchingNotification;
using quarra::ApplicationState;
using quarra::ApplicationWillEnterForegroundNotification;
using quarra::ApplicationWillResignActiveNotification;
using quarra::ApplicationWillTerminateNotification;

class Application {
  public:
    static Application& shared();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ApplicationState applicationState() const { return quarra::Application::shared().state(); }

    // --- Life cycle, reported by the host
    // The host's own launch code has run: did-finish-launching, then did-become-active.
    void finishLaunching();
    // Will-resign-active, did-enter-background (when not in the background already).
    void enterBackground();
    // Will-enter-foreground, did-become-active (only from the background).
    void enterForeground();
    // Will-terminate, once per process.
    void terminate();

    // The status bar's network-activity indicator (the spinner a host shows while the network is
    // in use); an observer hears every change.
    bool isNetworkActivityIndicatorVisible() const { return networkActivityIndicatorVisible_; }
    void setNetworkActivityIndicatorVisible(bool visible);
    void setNetworkActivityIndicatorObserver(std::function<void(bool visible)> observer) {
        networkActivityObserver_ = std::move(observer);
    }

    std::shared_ptr<Window> keyWindow() const { return keyWindow_.lock(); }
    void setKeyWindow(std::weak_ptr<Window> window) { keyWindow_ = std::move(window); }

    // The screen, in points (portrait); 375 x 667 unless set.
    Rect screenBounds() const { return screen_; }
    void setScreenBounds(Rect bounds) { screen_ = bounds; }

    std::shared_ptr<Responder> firstResponder() const { return firstResponder_.lock(); }
    void setFirstResponder(std::weak_ptr<Responder> responder) {
        firstResponder_ = std::move(responder);
    }
    // Sends an action without a target: it reaches the first responder, when there is one.
    bool sendActionToFirstResponder(const std::function<void(Responder&)>& action);

  private:
    Application() = default;

    bool networkActivityIndicatorVisible_ = false;
    std::function<void(bool)> networkActivityObserver_;
    std::weak_ptr<Window> keyWindow_;
    std::weak_ptr<Responder> firstResponder_;
    Rect screen_{0, 0, 375, 667};
};

}  // namespace quarra::ui
