#include "quarra/RunLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace quarra {

RunLoop& RunLoop::main() {
    static RunLoop* loop = new RunLoop();
    return *loop;
}

void RunLoop::wake() {
    cv_.notify_all();
    if (eventFd_ >= 0) {
        // Only fails when the counter would overflow, and then it is readable already.
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(eventFd_, &one, sizeof one);
    }
}

void RunLoop::stop() {
    std::lock_guard lock(DispatchQueue::main()->mutex_);
    stopped_ = true;
    cv_.notify_all();
}

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    auto& queue = *DispatchQueue::main();
    cv_.wait_until(lock, deadline, [&] { return !queue.items_.empty() || stopped_; });
    if (queue.items_.empty()) {
        return false;
    }
    Block block = std::move(queue.items_.front().block);
    queue.items_.pop_front();
    lock.unlock();
    queue.runItem(block);
    block = nullptr;
    lock.lock();
    return true;
}

void RunLoop::run() {
    if (!isMainThread()) {
        throw std::logic_error("the main run loop runs on the main thread only");
    }
    std::unique_lock lock(DispatchQueue::main()->mutex_);
    stopped_ = false;
    while (!stopped_) {
        runOne(lock, Clock::time_point::max());
    }
}

bool RunLoop::runUntil(const std::function<bool()>& done, Clock::duration timeout) {
    if (!isMainThread()) {
        throw std::logic_error("the main run loop runs on the main thread only");
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        // Wake now and then to re-check `done`, which may change on another thread.
        std::unique_lock lock(DispatchQueue::main()->mutex_);
        runOne(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(5)));
    }
}

void RunLoop::runPending() {
    std::unique_lock lock(DispatchQueue::main()->mutex_);
    size_t due = DispatchQueue::main()->items_.size();
    while (due-- > 0 && runOne(lock, Clock::now())) {
    }
}

int RunLoop::fileDescriptor() {
    std::lock_guard lock(DispatchQueue::main()->mutex_);
    if (eventFd_ < 0) {
        eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (eventFd_ >= 0 && !DispatchQueue::main()->items_.empty()) {
            wake();
        }
    }
    return eventFd_;
}

std::optional<Clock::duration> RunLoop::runDue() {
    if (!isMainThread()) {
        throw std::logic_error("the main run loop runs on the main thread only");
    }
    {
        // Emptied before the blocks run: a block queued from here on makes it readable again.
        std::lock_guard lock(DispatchQueue::main()->mutex_);
        std::uint64_t count;
        while (eventFd_ >= 0 && ::read(eventFd_, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }
    runPending();
    auto next = DispatchQueue::main()->nextDelayedBlock();
    if (!next) {
        return std::nullopt;
    }
    return std::max(Clock::duration::zero(), *next - Clock::now());
}

bool runMainUntil(const std::function<bool()>& done, Clock::duration timeout) {
    return RunLoop::main().runUntil(done, timeout);
}

}  // namespace quarra
