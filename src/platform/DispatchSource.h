#pragma once
// Event sources that run a handler on a dispatch queue: timers (one-shot or repeating) and watches
// of a file for deletion, renaming and writes (inotify). A source is made suspended: set its
// handlers, then resume() it. suspend() and resume() nest; events that arrive while a source is
// suspended are merged and delivered once on resume. cancel() is final: no event handler starts
// afterwards, and the cancel handler runs once on the queue. Every member is safe to call from any
// thread, the source's own handlers included.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

// What a file watch reports, as bits of data().
inline constexpr unsigned long DispatchVnodeDelete = 1;
inline constexpr unsigned long DispatchVnodeWrite = 2;
inline constexpr unsigned long DispatchVnodeRename = 0x20;

class DispatchSource : public std::enable_shared_from_this<DispatchSource> {
  public:
    // A timer that does not fire until setTimer() is called.
    static std::shared_ptr<DispatchSource> timer(DispatchQueuePtr queue);
    // Watches the file open as `fd` (found by `path`, whose inode must be the descriptor's) for the
    // events in `mask`. Deletion counts when the file's last name goes, even while it is still
    // open. Fails when the file cannot be watched. The descriptor stays the caller's and must stay
    // open until the source is cancelled.
    static Result<std::shared_ptr<DispatchSource>> fileWatch(int fd,
                                                             const std::filesystem::path& path,
                                                             unsigned long mask,
                                                             DispatchQueuePtr queue);

    ~DispatchSource();
    DispatchSource(const DispatchSource&) = delete;
    DispatchSource& operator=(const DispatchSource&) = delete;

    void setEventHandler(Block handler);
    void setCancelHandler(Block handler);
    // First fire `delay` from now, then every `interval` (none: once). `leeway` is accepted for
    // the caller's intent; the timer fires as soon as it is due. Replaces an earlier setting.
    void setTimer(Clock::duration delay, std::optional<Clock::duration> interval = std::nullopt,
                  Clock::duration leeway = Clock::duration::zero());

    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const { return cancelled_; }
    // For a file watch inside the event handler: the events merged into this delivery; for a timer:
    // the number of firings merged.
    unsigned long data() const;

  private:
    enum class Kind { Timer, FileWatch };
    DispatchSource(Kind kind, DispatchQueuePtr queue);

    // Records an event and delivers it unless suspended. Called by the timer and the watcher.
    void signal(unsigned long bits, std::uint64_t generation);
    void deliverLocked(std::unique_lock<std::mutex>& lock);
    void armTimerLocked();
    friend class FileWatcher;

    const Kind kind_;
    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    Block eventHandler_;
    Block cancelHandler_;
    int suspendCount_ = 1;
    std::atomic<bool> cancelled_{false};
    unsigned long pending_ = 0;    // events not handed to the queue yet
    unsigned long delivered_ = 0;  // what data() answers inside the handler
    std::uint64_t generation_ = 0; // bumped by setTimer and cancel: stale firings are ignored
    std::optional<Clock::time_point> due_;
    std::optional<Clock::duration> interval_;
    bool armed_ = false;
    // File watches.
    unsigned long mask_ = 0;
    int fd_ = -1;
    int watch_ = -1;
};

using DispatchSourcePtr = std::shared_ptr<DispatchSource>;

}  // namespace quarra
