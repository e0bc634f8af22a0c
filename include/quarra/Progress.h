#pragma once
// Progress of one piece of work in units (bytes for transfers): a total, which -1 marks as unknown,
// and a completed count. Observers hear every change of either; the work can be cancelled, paused
// and resumed through handlers its owner installs. Every member is safe to call from any thread;
// observers and handlers run on the thread that made the change.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quarra {

class Progress {
  public:
    using Observer = std::function<void(const Progress&)>;
    using Handler = std::function<void()>;

    explicit Progress(std::int64_t totalUnitCount = -1) : total_(totalUnitCount) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const { return total_.load(); }
    std::int64_t completedUnitCount() const { return completed_.load(); }
    // Completed over total; 0 while the total is unknown or 0.
    double fractionCompleted() const;
    // Observers run only when the value really changes.
    void setTotalUnitCount(std::int64_t count);
    void setCompletedUnitCount(std::int64_t count);

    // Returns a token for removeObserver(); after that returns, the observer is not called again
    // (a call already under way on another thread may finish).
    std::uint64_t addObserver(Observer observer);
    void removeObserver(std::uint64_t token);

    bool isCancellable() const { return cancellable_.load(); }
    void setCancellable(bool value) { cancellable_ = value; }
    bool isPausable() const { return pausable_.load(); }
    void setPausable(bool value) { pausable_ = value; }
    bool isCancelled() const { return cancelled_.load(); }
    bool isPaused() const { return paused_.load(); }
    void setCancellationHandler(Handler handler);
    void setPausingHandler(Handler handler);
    void setResumingHandler(Handler handler);

    // Each runs its handler once per change of state; cancel() is final and needs cancellable,
    // pause() needs pausable.
    void cancel();
    void pause();
    void resume();

  private:
    void changed();
    Handler handler(Handler Progress::*member) const;

    std::atomic<std::int64_t> total_;
    std::atomic<std::int64_t> completed_{0};
    std::atomic<bool> cancellable_{true};
    std::atomic<bool> pausable_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> paused_{false};

    mutable std::mutex mutex_;
    std::uint64_t nextToken_ = 1;
    std::map<std::uint64_t, std::shared_ptr<Observer>> observers_;
    Handler cancellationHandler_;
    Handler pausingHandler_;
    Handler resumingHandler_;
};

using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace quarra
