#include "quarra/Dispatch.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <thread>

#include "quarra/RunLoop.h"

namespace quarra {
namespace {

thread_local const DispatchQueue* tCurrentQueue = nullptr;

class CurrentQueueScope {
  public:
    explicit CurrentQueueScope(const DispatchQueue* queue) : previous_(tCurrentQueue) {
        tCurrentQueue = queue;
    }
    ~CurrentQueueScope() { tCurrentQueue = previous_; }

  private:
    const DispatchQueue* previous_;
};

// A pool of about one thread per core. Work waits for a free thread instead of making one, so a
// flood of tiny blocks costs no thread start-ups; a wake-up already on its way counts as a free
// thread. The pool grows past the cores only while its workers are blocked: at once when a worker
// waits in one of this file's waits (a semaphore, a group, a sync call), and, for waits it cannot
// see, when queued work has made no progress for a while. Threads beyond the cores retire when
// idle.
class ThreadPool {
  public:
    static ThreadPool& shared() {
        static ThreadPool* pool = new ThreadPool();  // never destroyed: workers may outlive main()
        return *pool;
    }

    void submit(Block block) {
        std::unique_lock lock(mutex_);
        work_.push_back(std::move(block));
        if (idle_ > wakeups_) {
            ++wakeups_;
            // Woken once the lock is let go: the worker wants it first thing.
            lock.unlock();
            cv_.notify_one();
        } else if (threads_ - blocked_ < cores_) {
            spawnLocked();
        } else if (monitorWaiting_) {
            monitorCv_.notify_one();
        }
    }

    // Marks the calling pool worker as blocked for the scope's lifetime (nothing elsewhere).
    class BlockedScope {
      public:
        BlockedScope() : counted_(tIsWorker) {
            if (counted_) {
                shared().enterBlocked();
            }
        }
        ~BlockedScope() {
            if (counted_) {
                shared().leaveBlocked();
            }
        }
        BlockedScope(const BlockedScope&) = delete;
        BlockedScope& operator=(const BlockedScope&) = delete;

      private:
        const bool counted_;
    };

  private:
    ThreadPool() : cores_(static_cast<int>(std::max(2u, std::thread::hardware_concurrency()))) {}

    void enterBlocked() {
        std::lock_guard lock(mutex_);
        ++blocked_;
        if (!work_.empty() && idle_ <= wakeups_ && threads_ - blocked_ < cores_) {
            spawnLocked();
        }
    }

    void leaveBlocked() {
        std::lock_guard lock(mutex_);
        --blocked_;
    }

    // REQUIRES: mutex_ held.
    void spawnLocked() {
        if (threads_ >= kMaximumThreads) {
            return;
        }
        ++threads_;
        std::thread([this] { worker(); }).detach();
        if (!monitorStarted_) {
            monitorStarted_ = true;
            std::thread([this] { monitor(); }).detach();
        }
    }

    void worker() {
        tIsWorker = true;
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!work_.empty()) {
                Block block = std::move(work_.front());
                work_.pop_front();
                ++taken_;
                lock.unlock();
                block();
                block = nullptr;
                lock.lock();
                // Grown for blocked workers that have gone on since: the surplus leaves.
                if (threads_ - blocked_ > cores_) {
                    --threads_;
                    return;
                }
                continue;
            }
            ++idle_;
            bool woken = cv_.wait_for(lock, kIdleRetirement) != std::cv_status::timeout;
            --idle_;
            if (wakeups_ > 0) {
                --wakeups_;
            }
            if (!woken && work_.empty() && threads_ > cores_) {
                --threads_;
                return;
            }
        }
    }

    // Work that waits while every worker is busy with a block that does not return (waiting on
    // something this pool cannot see) gets one more thread per interval without progress.
    void monitor() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (work_.empty()) {
                monitorWaiting_ = true;
                monitorCv_.wait(lock);
                monitorWaiting_ = false;
                continue;
            }
            std::uint64_t taken = taken_;
            monitorCv_.wait_for(lock, kStallInterval);
            if (!work_.empty() && taken_ == taken && idle_ <= wakeups_) {
                spawnLocked();
            }
        }
    }

    static constexpr int kMaximumThreads = 512;
    static constexpr auto kIdleRetirement = std::chrono::seconds(10);
    static constexpr auto kStallInterval = std::chrono::milliseconds(20);
    static thread_local bool tIsWorker;

    const int cores_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable monitorCv_;
    std::deque<Block> work_;
    int threads_ = 0;
    int idle_ = 0;
    int wakeups_ = 0;  // notified idle threads that have not woken yet
    int blocked_ = 0;
    std::uint64_t taken_ = 0;
    bool monitorStarted_ = false;
    bool monitorWaiting_ = false;
};

thread_local bool ThreadPool::tIsWorker = false;

// One thread that submits delayed blocks when they fall due.
class Timers {
  public:
    static Timers& shared() {
        static Timers* timers = new Timers();
        return *timers;
    }

    void schedule(Clock::time_point due, DispatchQueuePtr queue, Block block) {
        std::lock_guard lock(mutex_);
        pending_.emplace(due, Entry{std::move(queue), std::move(block)});
        if (!started_) {
            started_ = true;
            std::thread([this] { loop(); }).detach();
        }
        cv_.notify_one();
    }

    std::optional<Clock::time_point> next(const DispatchQueue* queue) {
        std::lock_guard lock(mutex_);
        for (const auto& [due, entry] : pending_) {
            if (entry.queue.get() == queue)
                return due;
        }
        return std::nullopt;
    }

  private:
    struct Entry {
        DispatchQueuePtr queue;
        Block block;
    };

    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (pending_.empty()) {
                cv_.wait(lock);
                continue;
            }
            auto first = pending_.begin();
            if (first->first > Clock::now()) {
                cv_.wait_until(lock, first->first);
                continue;
            }
            Entry entry = std::move(first->second);
            pending_.erase(first);
            lock.unlock();
            entry.queue->async(std::move(entry.block));
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, Entry> pending_;
    bool started_ = false;
};

}  // namespace

bool isMainThread() {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

DispatchQueue::DispatchQueue(Kind kind, std::string label)
    : kind_(kind), label_(std::move(label)) {}

DispatchQueue::~DispatchQueue() = default;

DispatchQueuePtr DispatchQueue::serial(std::string label) {
    return DispatchQueuePtr(new DispatchQueue(Kind::Serial, std::move(label)));
}

DispatchQueuePtr DispatchQueue::immediate(std::string label) {
    return DispatchQueuePtr(new DispatchQueue(Kind::Immediate, std::move(label)));
}

DispatchQueuePtr DispatchQueue::concurrent(std::string label) {
    return DispatchQueuePtr(new DispatchQueue(Kind::Concurrent, std::move(label)));
}

const DispatchQueuePtr& DispatchQueue::main() {
    static auto* queue = new DispatchQueuePtr(new DispatchQueue(Kind::Main, "main"));
    return *queue;
}

const DispatchQueuePtr& DispatchQueue::global(QueuePriority priority) {
    static auto* queues =
        new DispatchQueuePtr[4]{concurrent("global.high"), concurrent("global.default"),
                                concurrent("global.low"), concurrent("global.background")};
    return queues[static_cast<int>(priority)];
}

void DispatchQueue::async(Block block) {
    enqueue(std::move(block), false);
}

void DispatchQueue::asyncBarrier(Block block) {
    enqueue(std::move(block), true);
}

void DispatchQueue::sync(const Block& block) {
    syncImpl(block, false);
}

void DispatchQueue::syncBarrier(const Block& block) {
    syncImpl(block, true);
}

void DispatchQueue::after(Clock::duration delay, Block block) {
    Timers::shared().schedule(Clock::now() + delay, shared_from_this(), std::move(block));
}

std::optional<Clock::time_point> DispatchQueue::nextDelayedBlock() const {
    return Timers::shared().next(this);
}

void DispatchQueue::enqueue(Block block, bool barrier) {
    if (kind_ == Kind::Immediate) {
        runItem(block);
        return;
    }
    std::unique_lock lock(mutex_);
    items_.push_back({std::move(block), barrier});
    if (kind_ == Kind::Main) {
        // Woken once the lock is let go: the main thread wants it as soon as it wakes, and would
        // otherwise sleep again until this thread lets go.
        lock.unlock();
        RunLoop::main().wake();
    } else if (kind_ == Kind::Serial) {
        // Likewise the worker that drains the queue: handed over after the lock is let go, so the
        // hop costs one wake-up and nothing more.
        bool start = !serialRunning_;
        serialRunning_ = true;
        lock.unlock();
        if (start) {
            ThreadPool::shared().submit([self = shared_from_this()] { self->drainSerial(); });
        }
    } else {
        pumpLocked();
    }
}

void DispatchQueue::syncImpl(const Block& block, bool barrier) {
    if (kind_ == Kind::Immediate) {
        runItem(block);
        return;
    }
    bool onSelf = kind_ == Kind::Main ? isMainThread() : isCurrent();
    if (onSelf && (kind_ != Kind::Concurrent || barrier)) {
        throw std::logic_error("dispatch sync onto the current queue \"" + label_ +
                               "\" would deadlock");
    }
    if (kind_ == Kind::Serial) {
        // An idle serial queue runs the block right here, as the queue, which saves two thread
        // switches.
        std::unique_lock lock(mutex_);
        if (!serialRunning_ && items_.empty()) {
            serialRunning_ = true;
            lock.unlock();
            struct Release {
                DispatchQueue* queue;
                ~Release() {
                    std::lock_guard lock(queue->mutex_);
                    queue->serialRunning_ = false;
                    queue->pumpLocked();
                }
            } release{this};
            runItem(block);
            return;
        }
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::exception_ptr failure;
    enqueue(
        [&] {
            try {
                block();
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(doneMutex);
            done = true;
            doneCv.notify_one();
        },
        barrier);
    ThreadPool::BlockedScope blocked;
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void DispatchQueue::pumpLocked() {
    if (kind_ == Kind::Serial) {
        if (!serialRunning_ && !items_.empty()) {
            serialRunning_ = true;
            ThreadPool::shared().submit([self = shared_from_this()] { self->drainSerial(); });
        }
        return;
    }
    // One drainer ready to take the next block is enough; another is added only when every
    // drainer is inside a block, which may be one that waits for a later block of this queue.
    if (drainers_ == concurrentActive_ && canTakeFrontLocked()) {
        ++drainers_;
        ThreadPool::shared().submit([self = shared_from_this()] { self->drainConcurrent(); });
    }
}

bool DispatchQueue::canTakeFrontLocked() const {
    return !items_.empty() && !barrierActive_ && !(items_.front().barrier && concurrentActive_ > 0);
}

void DispatchQueue::drainSerial() {
    // Yield the thread after a batch so one busy queue cannot hold a worker for ever.
    for (int n = 0; n < 64; ++n) {
        Block block;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty()) {
                serialRunning_ = false;
                return;
            }
            block = std::move(items_.front().block);
            items_.pop_front();
        }
        runItem(block);
    }
    std::lock_guard lock(mutex_);
    serialRunning_ = false;
    pumpLocked();
}

void DispatchQueue::drainConcurrent() {
    std::unique_lock lock(mutex_);
    // Yield the thread after a batch so one busy queue cannot hold a worker for ever.
    for (int n = 0; n < 64 && canTakeFrontLocked(); ++n) {
        bool barrier = items_.front().barrier;
        Block block = std::move(items_.front().block);
        items_.pop_front();
        barrierActive_ = barrier;
        ++concurrentActive_;
        pumpLocked();
        lock.unlock();
        runItem(block);
        block = nullptr;
        lock.lock();
        --concurrentActive_;
        if (barrier) {
            barrierActive_ = false;
        }
    }
    --drainers_;
    pumpLocked();
}

void DispatchQueue::runItem(const Block& block) {
    CurrentQueueScope scope(this);
    block();
}

void DispatchQueue::setSpecific(const void* key, std::shared_ptr<void> value) {
    std::lock_guard lock(mutex_);
    if (value) {
        specifics_[key] = std::move(value);
    } else {
        specifics_.erase(key);
    }
}

std::shared_ptr<void> DispatchQueue::specific(const void* key) const {
    std::lock_guard lock(mutex_);
    auto it = specifics_.find(key);
    return it == specifics_.end() ? nullptr : it->second;
}

std::shared_ptr<void> DispatchQueue::currentSpecific(const void* key) {
    return tCurrentQueue ? tCurrentQueue->specific(key) : nullptr;
}

bool DispatchQueue::isCurrent() const {
    return tCurrentQueue == this;
}

std::string DispatchQueue::currentLabel() {
    return tCurrentQueue ? tCurrentQueue->label_ : "";
}

// ---- DispatchGroup

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<DispatchQueuePtr, Block>> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() {
    std::lock_guard lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() {
    leave(state_);
}

void DispatchGroup::leave(const std::shared_ptr<State>& state) {
    std::vector<std::pair<DispatchQueuePtr, Block>> ready;
    {
        std::lock_guard lock(state->mutex);
        if (state->count == 0) {
            throw std::logic_error("DispatchGroup::leave without enter");
        }
        if (--state->count > 0) {
            return;
        }
        ready.swap(state->notifications);
        state->cv.notify_all();
    }
    for (auto& [queue, block] : ready) {
        queue->async(std::move(block));
    }
}

void DispatchGroup::async(const DispatchQueuePtr& queue, Block block) {
    enter();
    // The block holds the shared state, which outlives the group object if need be.
    queue->async([state = state_, block = std::move(block)] {
        block();
        leave(state);
    });
}

bool DispatchGroup::wait(std::optional<Clock::duration> timeout) {
    ThreadPool::BlockedScope blocked;
    std::unique_lock lock(state_->mutex);
    auto empty = [this] { return state_->count == 0; };
    if (!timeout) {
        state_->cv.wait(lock, empty);
        return true;
    }
    return state_->cv.wait_for(lock, *timeout, empty);
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, Block block) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifications.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

// ---- DispatchSemaphore

void DispatchSemaphore::signal() {
    std::lock_guard lock(mutex_);
    ++value_;
    cv_.notify_one();
}

bool DispatchSemaphore::wait(std::optional<Clock::duration> timeout) {
    std::unique_lock lock(mutex_);
    if (value_ > 0) {
        --value_;
        return true;
    }
    if (timeout && *timeout <= Clock::duration::zero()) {
        return false;
    }
    ThreadPool::BlockedScope blocked;
    auto available = [this] { return value_ > 0; };
    if (!timeout) {
        cv_.wait(lock, available);
    } else if (!cv_.wait_for(lock, *timeout, available)) {
        return false;
    }
    --value_;
    return true;
}

}  // namespace quarra
