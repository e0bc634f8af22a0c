#pragma once
// The main run loop: the only place where blocks of the main queue run. A host runs it on its main
// thread, either itself (run()) or from its own main loop (GLib, Qt, libuv): that loop watches
// fileDescriptor() for reading and calls runDue() when it is readable, so neither loop polls the
// other. Tests run it until what they wait for has happened.
#include <atomic>
#include <functional>
#include <optional>
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
    // `done`. `done` is looked at first and then after each block, and the thread sleeps in
    // between: state that another thread changes must be changed inside a main-queue block, or be
    // followed by one (DispatchQueue::main()->async([] {}) will do), or the wait lasts until
    // `timeout`. stop() does not end it. REQUIRES: called on the main thread.
    bool runUntil(const std::function<bool()>& done, Clock::duration timeout);
    // Runs the main-queue blocks already due, without waiting.
    void runPending();

    // --- Driven by another main loop
    // A descriptor that is readable while main-queue blocks wait to run, from the moment one is
    // queued (from any thread, or by a timer falling due) until runDue() has run it. It stays open
    // for the life of the process; the caller must not read, write or close it. -1 (errno set)
    // when the process has no descriptor left; a later call tries again.
    int fileDescriptor();
    // Runs the main-queue blocks already due, as runPending(), and returns how long until the next
    // delayed main-queue block falls due (none: nullopt). A loop needs that only for its own
    // bookkeeping: the descriptor becomes readable by itself when the block falls due.
    // REQUIRES: called on the main thread.
    std::optional<Clock::duration> runDue();

  private:
    RunLoop() = default;
    friend class DispatchQueue;
    void wake();
    // Waits until a block is queued (or stop() is called, when `untilStopped`) and runs it.
    bool runOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                bool untilStopped);

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
    // Set once under the main queue's mutex; wake() reads it without.
    std::atomic<int> eventFd_{-1};
};

// Test helper: runs the main loop until `done` holds, at most `timeout` (by default a minute: a
// bound for a hang, not for a busy machine). Unlike runUntil it also looks at `done` every few
// milliseconds, as tests wait on state that no main-queue block announces (a server's count, a
// file, a worker's flag).
bool runMainUntil(const std::function<bool()>& done,
                  Clock::duration timeout = std::chrono::seconds(60));

}  // namespace quarra
