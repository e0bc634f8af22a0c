#pragma once
// The main run loop: the only place where blocks of the main queue run. A host runs it on its main
// thread; tests run it until what they wait for has happened.
#include <functional>
#include <string_view>

#include "quarra/Dispatch.h"

namespace quarra {

// The mode streams and timers are scheduled in; the main run loop runs this mode only.
inline constexpr std::string_view RunLoopDefaultMode = "RunLoopDefaultMode";

class RunLoop {
  public:
    static RunLoop& main();

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // Runs main-queue blocks until stop() is called.
    // REQUIRES: called on the main thread.
    void run();
    void stop();
    // Runs main-queue blocks until `done` holds or `timeout` passes; returns the final value of
    // `done`. REQUIRES: called on the main thread.
    bool runUntil(const std::function<bool()>& done, Clock::duration timeout);
    // Runs the main-queue blocks already due, without waiting.
    void runPending();

  private:
    RunLoop() = default;
    friend class DispatchQueue;
    void wake();
    bool runOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

// Test helper: runs the main loop until `done` holds, at most `timeout` (by default a minute: a
// bound for a hang, not for a busy machine).
bool runMainUntil(const std::function<bool()>& done,
                  Clock::duration timeout = std::chrono::seconds(60));

}  // namespace quarra
