#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "quarra/Dispatch.h"
#include "quarra/RunLoop.h"

using namespace quarra;
using namespace std::chrono_literals;

TEST(DispatchTest, SerialQueueRunsBlocksOneAtATimeInOrder) {
    auto queue = DispatchQueue::serial("test.serial");
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                queue->async([&, t, i] {
                    if (inside.fetch_add(1) != 0)
                        overlapped = true;
                    order.push_back(t * 1000 + i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& p : producers)
        p.join();
    queue->sync([] {});
    ASSERT_EQ(order.size(), 1000u);
    EXPECT_FALSE(overlapped);
    // Each producer's blocks keep their relative order.
    std::vector<int> last(4, -1);
    for (int value : order) {
        EXPECT_GT(value % 1000, last[value / 1000]);
        last[value / 1000] = value % 1000;
    }
}

TEST(DispatchTest, ConcurrentBarrierRunsAloneBetweenEarlierAndLaterBlocks) {
    auto queue = DispatchQueue::concurrent("test.concurrent");
    std::atomic<int> running{0}, before{0};
    std::atomic<bool> barrierSawAllBefore{false}, barrierAlone{false};
    // Each block holds on until all four run side by side (a queue that ran them one by one
    // would hang here and fail at the test timeout).
    std::latch allRunning(4);
    for (int i = 0; i < 4; ++i) {
        queue->async([&] {
            ++running;
            allRunning.arrive_and_wait();
            ++before;
            --running;
        });
    }
    queue->asyncBarrier([&] {
        barrierSawAllBefore = before == 4;
        barrierAlone = running == 0;
    });
    std::atomic<bool> afterRan{false};
    queue->async([&] { afterRan = barrierSawAllBefore.load(); });
    queue->syncBarrier([] {});
    EXPECT_TRUE(barrierSawAllBefore);
    EXPECT_TRUE(barrierAlone);
    EXPECT_TRUE(afterRan);
}

TEST(DispatchTest, SyncOntoOwnSerialQueueThrowsInsteadOfDeadlocking) {
    auto queue = DispatchQueue::serial("test.reentrant");
    bool threw = false;
    queue->sync([&] {
        try {
            queue->sync([] {});
        } catch (const std::logic_error&) {
            threw = true;
        }
    });
    EXPECT_TRUE(threw);
    EXPECT_THROW(DispatchQueue::main()->sync([] {}), std::logic_error);
}

TEST(DispatchTest, QueueSpecificValuesAndLabelsAreVisibleInsideTheQueue) {
    static const int key = 0;
    auto queue = DispatchQueue::serial("test.specific");
    queue->setSpecific(&key, std::make_shared<int>(7));
    int seen = 0;
    std::string label;
    queue->sync([&] {
        seen = *std::static_pointer_cast<int>(DispatchQueue::currentSpecific(&key));
        label = DispatchQueue::currentLabel();
    });
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(label, "test.specific");
    EXPECT_EQ(DispatchQueue::currentSpecific(&key), nullptr);
}

TEST(DispatchTest, MainQueueBlocksRunOnlyInTheRunLoopOnTheMainThread) {
    ASSERT_TRUE(isMainThread());
    std::atomic<bool> ran{false};
    bool onMain = false;
    DispatchQueue::global()->async([&] {
        DispatchQueue::main()->async([&] {
            onMain = isMainThread() && DispatchQueue::main()->isCurrent();
            ran = true;
        });
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(runMainUntil([&] { return ran.load(); }));
    EXPECT_TRUE(onMain);
}

TEST(DispatchTest, SyncToMainFromAWorkerWaitsForTheRunLoop) {
    std::atomic<bool> done{false};
    int value = 0;
    std::thread worker([&] {
        value = DispatchQueue::main()->syncResult([] { return 42; });
        done = true;
    });
    EXPECT_TRUE(runMainUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(value, 42);
}

// runUntil sleeps until a block comes: an idle wait costs the thread a wake-up or two, not one per
// tick, and a flag set on another thread counts once a block follows it.
TEST(DispatchTest, RunUntilSleepsUntilABlockWakesIt) {
    auto wakeUps = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_nvcsw;
    };
    long before = wakeUps();
    EXPECT_FALSE(RunLoop::main().runUntil([] { return false; }, 300ms));
    EXPECT_LE(wakeUps() - before, 5);

    std::atomic<bool> flag{false};
    std::thread worker([&] {
        flag = true;
        DispatchQueue::main()->async([] {});
    });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return flag.load(); }, 60s));
    worker.join();
}

TEST(DispatchTest, AfterRunsNoEarlierThanItsDelay) {
    auto start = Clock::now();
    std::atomic<bool> ran{false};
    Clock::time_point at;
    DispatchQueue::main()->after(50ms, [&] {
        at = Clock::now();
        ran = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return ran.load(); }));
    EXPECT_GE(at - start, 50ms);
}

TEST(DispatchTest, GroupNotifiesOnceAllWorkHasLeft) {
    DispatchGroup group;
    std::atomic<int> count{0};
    for (int i = 0; i < 16; ++i) {
        group.async(DispatchQueue::global(), [&] { ++count; });
    }
    std::atomic<int> seenAtNotify{-1};
    DispatchSemaphore notified;
    group.notify(DispatchQueue::global(), [&] {
        seenAtNotify = count.load();
        notified.signal();
    });
    // Bounds for a hang only: both return as soon as the work is done.
    EXPECT_TRUE(group.wait(60s));
    ASSERT_TRUE(notified.wait(60s));
    EXPECT_EQ(seenAtNotify.load(), 16);

    DispatchGroup stuck;
    stuck.enter();
    EXPECT_FALSE(stuck.wait(10ms));
    stuck.leave();
    EXPECT_TRUE(stuck.wait(0ms));
}

TEST(DispatchTest, ManyBlockingBlocksDoNotStarveThePool) {
    // Every block waits for the next one; a fixed-size pool would deadlock here.
    constexpr int kDepth = 40;
    std::vector<std::unique_ptr<DispatchSemaphore>> gates;
    for (int i = 0; i <= kDepth; ++i)
        gates.push_back(std::make_unique<DispatchSemaphore>());
    for (int i = 0; i < kDepth; ++i) {
        DispatchQueue::global()->async([&, i] {
            gates[i + 1]->wait(5s);
            gates[i]->signal();
        });
    }
    gates[kDepth]->signal();
    EXPECT_TRUE(gates[0]->wait(60s));  // a bound for a deadlock only
}
