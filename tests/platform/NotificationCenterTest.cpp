#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quarra/NotificationCenter.h"
#include "quarra/RunLoop.h"

using namespace quarra;
using namespace std::chrono_literals;

TEST(NotificationCenterTest, PostReachesObserversByNameAndSenderOnThePostingThread) {
    NotificationCenter center;
    auto sender = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    int anySender = 0, onlySender = 0, otherName = 0;
    std::thread::id deliveredOn;
    center.addObserver("done", nullptr, nullptr, [&](const Notification& n) {
        ++anySender;
        deliveredOn = std::this_thread::get_id();
        ASSERT_NE(n.value<std::string>("task"), nullptr);
        EXPECT_EQ(*n.value<std::string>("task"), "upload");
        EXPECT_EQ(n.value<int>("task"), nullptr);  // wrong type reads as absent
    });
    center.addObserver("done", sender.get(), nullptr, [&](const Notification&) { ++onlySender; });
    center.addObserver("other", [&](const Notification&) { ++otherName; });

    center.post("done", sender, {{"task", std::string("upload")}});
    center.post("done", other, {{"task", std::string("upload")}});

    EXPECT_EQ(anySender, 2);
    EXPECT_EQ(onlySender, 1);
    EXPECT_EQ(otherName, 0);
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
}

TEST(NotificationCenterTest, ObserverWithQueueGetsTheNotificationThereAndRemovalStopsDelivery) {
    NotificationCenter center;
    std::atomic<int> onMain{0};
    auto token =
        center.addObserver("tick", nullptr, DispatchQueue::main(), [&](const Notification&) {
            EXPECT_TRUE(isMainThread());
            ++onMain;
        });
    std::thread poster([&] { center.post("tick"); });
    poster.join();
    EXPECT_EQ(onMain, 0);  // queued, not run inline
    ASSERT_TRUE(runMainUntil([&] { return onMain == 1; }, 60s));

    // A delivery already queued when the observer is removed is dropped.
    center.post("tick");
    center.removeObserver(token);
    RunLoop::main().runPending();
    center.post("tick");
    RunLoop::main().runPending();
    EXPECT_EQ(onMain, 1);
}

TEST(NotificationCenterTest, ObserverMayRemoveItselfAndPostFromItsBlock) {
    NotificationCenter center;
    ObserverToken token = 0;
    int first = 0, second = 0;
    token = center.addObserver("a", [&](const Notification&) {
        ++first;
        center.removeObserver(token);
        center.post("b");
    });
    center.addObserver("b", [&](const Notification&) { ++second; });
    center.post("a");
    center.post("a");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 1);
}

TEST(NotificationCenterTest, HasObserversSeesNamedAndCatchAllObserversUntilRemoved) {
    NotificationCenter center;
    EXPECT_FALSE(center.hasObservers("done"));
    auto named = center.addObserver("done", [](const Notification&) {});
    EXPECT_TRUE(center.hasObservers("done"));
    EXPECT_FALSE(center.hasObservers("other"));
    auto all = center.addObserver("", [](const Notification&) {});
    EXPECT_TRUE(center.hasObservers("other"));
    center.removeObserver(all);
    center.removeObserver(named);
    EXPECT_FALSE(center.hasObservers("done"));
    EXPECT_FALSE(center.hasObservers("other"));
}

// An observer of some senders only: posts by others neither reach it nor count as heard, so their
// posters may skip them.
TEST(NotificationCenterTest, SenderFilterLimitsWhatReachesAnObserverAndWhatCountsAsHeard) {
    NotificationCenter center;
    auto wanted = std::make_shared<int>(1);
    auto other = std::make_shared<int>(2);
    std::vector<const void*> heard;
    auto token = center.addObserver(
        "done", [&](const void* sender) { return sender == wanted.get(); }, nullptr,
        [&](const Notification& n) { heard.push_back(n.sender.get()); });
    EXPECT_TRUE(center.hasObservers("done", wanted.get()));
    EXPECT_FALSE(center.hasObservers("done", other.get()));
    EXPECT_FALSE(center.hasObservers("other", wanted.get()));
    center.post("done", other);
    center.post("done", wanted);
    EXPECT_EQ(heard, std::vector<const void*>{wanted.get()});

    // Anyone else who listens to every sender is heard by all.
    auto all = center.addObserver("done", [](const Notification&) {});
    EXPECT_TRUE(center.hasObservers("done", other.get()));
    center.removeObserver(all);
    center.removeObserver(token);
    EXPECT_FALSE(center.hasObservers("done", wanted.get()));
}
