#pragma once
// The host application's life cycle as notifications, from one object for the whole process: the
// UI model's application (platform/ui/Application.h) and the SDK's application delegate both report
// here. The host reports its own state changes (a desktop program has no system that tells it);
// each change posts the platform's notifications in the platform's order on the calling thread,
// and only a real change posts (a second "background" while in the background posts nothing).
// The process's normal end posts "will terminate" once, so observers (the log dispatcher's flush)
// run before the process goes. Every member is safe to call from any thread.
#include <atomic>

namespace quarra {

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

// Inactive until the host reports its launch, and while moving between the other two.
enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

class Application {
  public:
    static Application& shared();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ApplicationState state() const { return state_; }
    // The host's own launch code has run: did-finish-launching, then did-become-active.
    void didFinishLaunching();
    // Will-resign-active (when active), did-enter-background; nothing when in the background.
    void didEnterBackground();
    // Will-enter-foreground, did-become-active; only when in the background.
    void willEnterForeground();
    // Posts "will terminate" once per process (later calls do nothing); also run at normal exit.
    void willTerminate();

    // Makes sure the exit hook is registered; called by everything that observes "will terminate".
    static void postWillTerminateAtExit();

  private:
    Application() = default;

    std::atomic<ApplicationState> state_{ApplicationState::Inactive};
    std::atomic<bool> terminated_{false};
};

}  // namespace quarra
