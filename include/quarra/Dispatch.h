#pragma once
// Work queues multiplexed on one process-wide thread pool. A serial queue runs one block at a time
// in submission order; a concurrent queue runs blocks side by side, and a barrier block runs alone
// after everything submitted before it. The main queue is drained by the main run loop (RunLoop.h).
// Every member is safe to call from any thread.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quarra {

using Block = std::function<void()>;
using Clock = std::chrono::steady_clock;

enum class QueuePriority { High, Default, Low, Background };

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
  public:
    enum class Kind { Serial, Concurrent, Main, Immediate };

    static std::shared_ptr<DispatchQueue> serial(std::string label);
    static std::shared_ptr<DispatchQueue> concurrent(std::string label);
    // Runs every block at once on the thread that submits it (async and sync alike), as the
    // queue: for a submitter that already runs its blocks one at a time and in order, and must not
    // pay for a thread hand-off. A block must not wait for its submitter.
    static std::shared_ptr<DispatchQueue> immediate(std::string label);
    static const std::shared_ptr<DispatchQueue>& main();
    static const std::shared_ptr<DispatchQueue>& global(
        QueuePriority priority = QueuePriority::Default);

    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;
    ~DispatchQueue();

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }

    void async(Block block);
    // Runs `block` on the queue and returns after it has run.
    // REQUIRES: not called from this (serial or main) queue itself; that would deadlock, so it
    // throws std::logic_error instead.
    void sync(const Block& block);
    // On a concurrent queue the block runs alone; on a serial queue these equal async and sync.
    void asyncBarrier(Block block);
    void syncBarrier(const Block& block);
    void after(Clock::duration delay, Block block);

    // Runs `fn` synchronously and returns its result.
    template <class F>
    auto syncResult(F&& fn) -> decltype(fn()) {
        std::optional<decltype(fn())> result;
        sync([&] { result.emplace(fn()); });
        return std::move(*result);
    }

    // Queue-specific values, looked up by the address of a key object.
    void setSpecific(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> specific(const void* key) const;
    // The value for `key` of the queue the calling code runs on, or null.
    static std::shared_ptr<void> currentSpecific(const void* key);

    // True while the calling code runs in a block of this queue.
    bool isCurrent() const;
    // The label of the queue the calling code runs on ("" outside any queue).
    static std::string currentLabel();

  private:
    friend class RunLoop;
    struct Item {
        Block block;
        bool barrier = false;
    };

    DispatchQueue(Kind kind, std::string label);
    void enqueue(Block block, bool barrier);
    void syncImpl(const Block& block, bool barrier);
    void pumpLocked();
    void drainSerial();
    void drainConcurrent();
    bool canTakeFrontLocked() const;
    void runItem(const Block& block);
    // When the earliest block handed to after() for this queue falls due, if any.
    std::optional<Clock::time_point> nextDelayedBlock() const;

    const Kind kind_;
    const std::string label_;
    mutable std::mutex mutex_;
    std::deque<Item> items_;
    bool serialRunning_ = false;
    int concurrentActive_ = 0;  // blocks running now
    int drainers_ = 0;          // pool tasks taking this queue's blocks, running or about to
    bool barrierActive_ = false;
    std::unordered_map<const void*, std::shared_ptr<void>> specifics_;
};

using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

// Counts outstanding work; waiters and notify blocks run once the count returns to zero.
class DispatchGroup {
  public:
    DispatchGroup();
    DispatchGroup(const DispatchGroup&) = delete;
    DispatchGroup& operator=(const DispatchGroup&) = delete;

    void enter();
    void leave();
    void async(const DispatchQueuePtr& queue, Block block);
    // True when the group emptied before the timeout (no timeout: waits until it does).
    bool wait(std::optional<Clock::duration> timeout = std::nullopt);
    // `block` is submitted to `queue` when the group is (or becomes) empty.
    void notify(const DispatchQueuePtr& queue, Block block);

  private:
    struct State;
    static void leave(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

class DispatchSemaphore {
  public:
    explicit DispatchSemaphore(long value = 0) : value_(value) {}
    DispatchSemaphore(const DispatchSemaphore&) = delete;
    DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

    void signal();
    // True when a unit was taken before the timeout (no timeout: waits until one is).
    bool wait(std::optional<Clock::duration> timeout = std::nullopt);

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long value_;
};

// True on the process's initial thread, the one that runs the main run loop.
bool isMainThread();

}  // namespace quarra
