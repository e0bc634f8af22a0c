#include "platform/DispatchSource.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "support/TestSupport.h"

using namespace quarra;
using namespace std::chrono_literals;

namespace {

// Counts handler runs and lets the test wait for a given count.
struct Counter {
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;
    unsigned long data = 0;

    void hit(unsigned long bits = 0) {
        std::lock_guard lock(mutex);
        ++count;
        data |= bits;
        cv.notify_all();
    }
    bool waitFor(int n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return count >= n; });
    }
};

}  // namespace

TEST(DispatchSourceTest, TimerFiresOnItsQueueRepeatsAndStopsWhenCancelled) {
    auto queue = DispatchQueue::serial("test.timer");
    auto timer = DispatchSource::timer(queue);
    Counter fired;
    std::atomic<bool> onQueue{true};
    timer->setEventHandler([&] {
        onQueue = onQueue && queue->isCurrent();
        fired.hit();
    });
    Counter cancelled;
    timer->setCancelHandler([&] { cancelled.hit(); });
    timer->setTimer(1ms, 1ms);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(3));
    EXPECT_TRUE(onQueue);
    timer->cancel();
    ASSERT_TRUE(cancelled.waitFor(1));
    // Whatever was queued before the cancel has run once this block runs.
    queue->sync([] {});
    int after = fired.count;
    timer->setTimer(0ms);  // a cancelled timer stays silent
    queue->after(5ms, [] {});
    DispatchSemaphore done;
    queue->after(20ms, [&] { done.signal(); });
    done.wait();
    EXPECT_EQ(fired.count, after);
}

TEST(DispatchSourceTest, SuspendedTimerDeliversOnceOnResume) {
    auto queue = DispatchQueue::serial("test.timer");
    auto timer = DispatchSource::timer(queue);
    Counter fired;
    timer->setEventHandler([&] { fired.hit(timer->data()); });
    // Made suspended: the firing waits for the resume.
    timer->setTimer(0ms);
    DispatchSemaphore due;
    queue->after(10ms, [&] { due.signal(); });
    due.wait();
    queue->sync([] {});
    EXPECT_EQ(fired.count, 0);
    timer->resume();
    ASSERT_TRUE(fired.waitFor(1));
    EXPECT_EQ(fired.data, 1u);
    timer->suspend();
    timer->resume();
    EXPECT_THROW(timer->resume(), std::logic_error);
}

TEST(DispatchSourceTest, FileWatchReportsDeletionOfAnOpenFileAndRenaming) {
    test::TempDir dir;
    auto queue = DispatchQueue::serial("test.watch");
    for (unsigned long event : {DispatchVnodeDelete, DispatchVnodeRename}) {
        auto path = dir / "watched.log";
        test::writeFile(path, "x");
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        auto watch =
            DispatchSource::fileWatch(fd, path, DispatchVnodeDelete | DispatchVnodeRename, queue)
                .value();
        Counter seen;
        watch->setEventHandler([&] { seen.hit(watch->data()); });
        watch->resume();
        // A write is not asked for: it reports nothing.
        ASSERT_EQ(::write(fd, "y", 1), 1);
        if (event == DispatchVnodeDelete)
            std::filesystem::remove(path);
        else
            std::filesystem::rename(path, dir / "moved.log");
        ASSERT_TRUE(seen.waitFor(1));
        EXPECT_EQ(seen.data, event);
        watch->cancel();
        ::close(fd);
        std::filesystem::remove(dir / "moved.log");
    }
    EXPECT_FALSE(DispatchSource::fileWatch(-1, dir / "missing", DispatchVnodeDelete, queue));
}
