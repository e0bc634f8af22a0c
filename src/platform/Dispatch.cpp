#include "platform/Dispatch.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <thread>

#include "platform/RunLoop.h"

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

// Grows a thread whenever work waits and no thread is idle, so a block that waits on another block
// never starves the pool; idle threads beyond a small core retire after a while.
class ThreadPool {
  public:
    static ThreadPool& shared() {
        static ThreadPool* pool = new ThreadPool();  // never destroyed: workers may outlive main()
        return *pool;
    }

    void submit(Block block) {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(block));
        if (work_.size() > static_cast<size_t>(idle_)) {
            ++threads_;
            std::thread([this] { worker(); }).detach();
        } else {
            cv_.notify_one();
        }
    }

  private:
    void worker() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            bool ready =
                cv_.wait_for(lock, std::chrono::seconds(10), [this] { return !work_.empty(); });
            --idle_;
            if (!ready) {
                if (threads_ > kCoreThreads) {
                    --threads_;
                    return;
                }
                continue;
            }
            Block block = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            block();
            block = nullptr;
            lock.lock();
        }
    }

    static constexpr int kCoreThreads = 4;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> work_;
    int threads_ = 0;
    int idle_ = 0;
};

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

void DispatchQueue::enqueue(Block block, bool barrier) {
    std::lock_guard lock(mutex_);
    items_.push_back({std::move(block), barrier});
    if (kind_ == Kind::Main) {
        RunLoop::main().wake();
    } else {
        pumpLocked();
    }
}

void DispatchQueue::syncImpl(const Block& block, bool barrier) {
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
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void DispatchQueue::pumpLocked() {
    auto self = shared_from_this();
    if (kind_ == Kind::Serial) {
        if (!serialRunning_ && !items_.empty()) {
            serialRunning_ = true;
            ThreadPool::shared().submit([self] { self->drainSerial(); });
        }
        return;
    }
    while (!items_.empty() && !barrierActive_) {
        bool barrier = items_.front().barrier;
        if (barrier && concurrentActive_ > 0) {
            return;
        }
        barrierActive_ = barrier;
        ++concurrentActive_;
        Block block = std::move(items_.front().block);
        items_.pop_front();
        ThreadPool::shared().submit([self, block = std::move(block), barrier] {
            self->runItem(block);
            self->finishConcurrent(barrier);
        });
    }
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

void DispatchQueue::finishConcurrent(bool barrier) {
    std::lock_guard lock(mutex_);
    --concurrentActive_;
    if (barrier) {
        barrierActive_ = false;
    }
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
