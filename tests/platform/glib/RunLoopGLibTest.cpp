#include <glib-unix.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quarra/Dispatch.h"
#include "quarra/RunLoop.h"

using namespace quarra;
using namespace std::chrono_literals;

namespace {

// A GLib main loop that drives the SDK's main queue through its descriptor only: no timeout or
// idle source of its own, so a block runs only because the descriptor woke the loop.
class GLibHost {
  public:
    GLibHost() : loop_(g_main_loop_new(nullptr, false)) {
        int fd = RunLoop::main().fileDescriptor();
        EXPECT_GE(fd, 0);
        watch_ = g_unix_fd_add(fd, G_IO_IN, &GLibHost::onReadable, this);
        // A bound for a hang, not a poll: it ends the loop and fails the test.
        guard_ = g_timeout_add_seconds(60, &GLibHost::onHang, this);
    }
    ~GLibHost() {
        g_source_remove(watch_);
        if (!hung_)
            g_source_remove(guard_);
        g_main_loop_unref(loop_);
    }

    void run() { g_main_loop_run(loop_); }
    void quit() { g_main_loop_quit(loop_); }
    bool hung() const { return hung_; }
    int wakeUps() const { return wakeUps_; }
    std::optional<Clock::duration> lastNextTimer() const { return lastNext_; }

  private:
    static gboolean onReadable(int, GIOCondition, gpointer self) {
        auto* host = static_cast<GLibHost*>(self);
        ++host->wakeUps_;
        host->lastNext_ = RunLoop::main().runDue();
        return G_SOURCE_CONTINUE;
    }
    static gboolean onHang(gpointer self) {
        auto* host = static_cast<GLibHost*>(self);
        host->hung_ = true;
        host->quit();
        return G_SOURCE_REMOVE;
    }

    GMainLoop* loop_;
    guint watch_ = 0;
    guint guard_ = 0;
    bool hung_ = false;
    int wakeUps_ = 0;
    std::optional<Clock::duration> lastNext_;
};

}  // namespace

TEST(RunLoopGLibTest, BlocksFromOtherThreadsRunInTheGLibLoopInOrder) {
    GLibHost host;
    std::vector<int> ran;
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            DispatchQueue::main()->async([&, i] {
                EXPECT_TRUE(isMainThread());
                ran.push_back(i);
                if (i == 99)
                    host.quit();
            });
        }
    });
    host.run();
    worker.join();
    ASSERT_FALSE(host.hung());
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], i);
}

TEST(RunLoopGLibTest, DelayedBlocksWakeTheLoopWhenDueAndTheLoopHearsOfTheNextOne) {
    GLibHost host;
    bool first = false;
    DispatchQueue::main()->after(20ms, [&] { first = true; });
    DispatchQueue::main()->after(1h, [] {});
    DispatchQueue::main()->after(40ms, [&] {
        EXPECT_TRUE(first);
        host.quit();
    });
    host.run();
    ASSERT_FALSE(host.hung());
    // Woken for what fell due, not spinning: at most one wake-up per block plus the one each
    // queued block may leave behind.
    EXPECT_LE(host.wakeUps(), 4);
    // The hour-long block is still ahead.
    ASSERT_TRUE(host.lastNextTimer().has_value());
    EXPECT_GT(*host.lastNextTimer(), 30min);
}

TEST(RunLoopGLibTest, ABlockQueuedBeforeTheDescriptorExistedStillWakesTheLoop) {
    bool ran = false;
    DispatchQueue::main()->async([&] { ran = true; });
    GLibHost host;
    DispatchQueue::main()->async([&] { host.quit(); });
    host.run();
    EXPECT_FALSE(host.hung());
    EXPECT_TRUE(ran);
}

TEST(RunLoopGLibTest, BlocksQueuedByARunningBlockRunOnTheNextWakeUp) {
    GLibHost host;
    int depth = 0;
    std::function<void()> step = [&] {
        if (++depth == 5) {
            host.quit();
            return;
        }
        DispatchQueue::main()->async(step);
    };
    DispatchQueue::main()->async(step);
    host.run();
    EXPECT_FALSE(host.hung());
    EXPECT_EQ(depth, 5);
}
