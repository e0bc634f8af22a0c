#pragma once
// The application object of the UI model: its state, its key window, the first responder and the
// life-cycle notifications. The host reports what happens to the application with the calls below
// (launch finished, gone to the background, coming back, ending); each posts the platform's
// notifications on the default notification centre, in the platform's order, on the calling
// thread. Main thread only.
#include <functional>
#include <memory>

#include "quarra/ui/Graphics.h"

namespace quarra::ui {

class Window;
class Responder;

// Names as the rest of the platform layer posts and observes them.
inline constexpr const char* ApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* ApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* ApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* ApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* ApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* ApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

class Application {
  public:
    static Application& shared();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ApplicationState applicationState() const { return state_; }

    // --- Life cycle, reported by the host
    // The host's own launch code has run: did-finish-launching, then did-become-active.
    void finishLaunching();
    // Will-resign-active, did-enter-background.
    void enterBackground();
    // Will-enter-foreground, did-become-active.
    void enterForeground();
    // Will-terminate.
    void terminate();

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
    void post(const char* name);

    ApplicationState state_ = ApplicationState::Inactive;
    std::weak_ptr<Window> keyWindow_;
    std::weak_ptr<Responder> firstResponder_;
    Rect screen_{0, 0, 375, 667};
};

}  // namespace quarra::ui
