#pragma once
// The host application's life cycle as notifications. The host reports its own state changes
// (a desktop program has no system that tells it), and the process's normal end posts "will
// terminate" once, so observers (the log dispatcher's flush) run before the process goes.
#include <atomic>

namespace quarra {

inline constexpr const char* ApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* ApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* ApplicationWillTerminateNotification =
    "UIApplicationWillTerminateNotification";

enum class ApplicationState { Active, Background };

class Application {
  public:
    static Application& shared();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    ApplicationState state() const { return state_; }
    // Post the notification on the calling thread when the state changes; a repeated call does
    // nothing.
    void didEnterBackground();
    void willEnterForeground();
    // Posts "will terminate" once per process (later calls do nothing); also run at normal exit.
    void willTerminate();

    // Makes sure the exit hook is registered; called by everything that observes "will terminate".
    static void postWillTerminateAtExit();

  private:
    Application() = default;

    std::atomic<ApplicationState> state_{ApplicationState::Active};
    std::atomic<bool> terminated_{false};
};

}  // namespace quarra
