#include "quarra/RunLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

namespace quarra {
namespace {

// How often runMainUntil looks at its condition without a block to wake it.
constexpr auto kTestRecheck = std::chrono::milliseconds(5);

}  // namespace

RunLoop& RunLoop::main() {
    static RunLoop* loop = new RunLoop();
    return *loop;
}

void RunLoop::wake() {
    cv_.notify_all();
    // Made under the main queue's lock, which the caller has let go: acquire pairs with its store.
    if (int fd = eventFd_.load(std::memory_order_acquire); fd >= 0) {
        // Only fails when the counter would overflow, and then it is readable already.
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd, &one, sizeof one);
    }
}

void RunLoop::stop() {
    std::lock_guard lock(DispatchQueue::main()->mutex_);
    stopped_ = true;
    cv_.notify_all();
}

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock, Clock::time_point deadline,
                     bool untilStopped) {
    auto& queue = *DispatchQueue::main();
    cv_.wait_until(lock, deadline,
                   [&] { return !queue.items_.empty() || (untilStopped && stopped_); });
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
        runOne(lock, Clock::time_point::max(), true);
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
        // Sleeps until a block is queued or the deadline: `done` is looked at again after each
        // block, and only then (see the header).
        std::unique_lock lock(DispatchQueue::main()->mutex_);
        runOne(lock, deadline, false);
    }
}

void RunLoop::runPending() {
    std::unique_lock lock(DispatchQueue::main()->mutex_);
    size_t due = DispatchQueue::main()->items_.size();
    while (due-- > 0 && runOne(lock, Clock::now(), false)) {
    }
}

int RunLoop::fileDescriptor() {
    std::lock_guard lock(DispatchQueue::main()->mutex_);
    if (eventFd_.load(std::memory_order_relaxed) < 0) {
        eventFd_.store(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), std::memory_order_release);
        if (eventFd_.load(std::memory_order_relaxed) >= 0 &&
            !DispatchQueue::main()->items_.empty()) {
            wake();
        }
    }
    return eventFd_.load(std::memory_order_relaxed);
}

std::optional<Clock::duration> RunLoop::runDue() {
    if (!isMainThread()) {
        throw std::logic_error("the main run loop runs on the main thread only");
    }
    {
        // Emptied before the blocks run: a block queued from here on makes it readable again.
        std::lock_guard lock(DispatchQueue::main()->mutex_);
        std::uint64_t count;
        int fd = eventFd_.load(std::memory_order_relaxed);
        while (fd >= 0 && ::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
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
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            return done();
        }
        if (RunLoop::main().runUntil(done, std::min<Clock::duration>(left, kTestRecheck))) {
            return true;
        }
    }
}

}  // namespace quarra
