#include "quarra/HTNetworkActivityIndicatorManager.h"

#include <gtest/gtest.h>

#include "quarra/NotificationCenter.h"
#include "quarra/RunLoop.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Scheduler.h"
#include "support/QuarraTestServer.h"
#include "transport/HTHTTPSessionManager.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;
using State = HTNetworkActivityIndicatorManager::State;

constexpr auto kWait = 20s;

// Tasks on a real loopback server; the indicator's delays run on a clock the test moves.
class NetworkActivityIndicator : public ::testing::Test {
  protected:
    NetworkActivityIndicator() {
        ui::Scheduler::setShared(clock);
        server.trustAuthority();
        Reply held = Reply::json("{}");
        held.stallBeforeHead = true;
        server.reply("/held", held);
        server.reply("/quick", Reply::json("{}"));
        http = HTHTTPSessionManager::make(server.url("/"));
        indicator->setEnabled(true);
        ui::Application::shared().setNetworkActivityIndicatorObserver(
            [this](bool visible) { shown.push_back(visible); });
        NotificationCenter::defaultCenter().addObserver(
            HTNetworkingTaskDidCompleteNotification, [this](const Notification&) { ++completed; });
    }
    ~NetworkActivityIndicator() override {
        server.releaseStalls();
        http->invalidateSessionCancelingTasks(true);
        ui::Application::shared().setNetworkActivityIndicatorObserver(nullptr);
        ui::Scheduler::setShared(nullptr);
    }

    URLSessionTaskPtr start(const std::string& path) {
        auto task = http->dataTaskWithRequest(UrlRequest(server.url(path)), nullptr);
        task->resume();
        return task;
    }
    // The count and the state both settled as expected.
    bool settle(long count, State state) {
        return runMainUntil(
            [&] {
                return indicator->activityCount() == count && indicator->currentState() == state;
            },
            kWait);
    }
    // Everything queued on the main queue so far has run.
    bool drainMain() {
        bool drained = false;
        DispatchQueue::main()->async([&drained] { drained = true; });
        return runMainUntil([&drained] { return drained; }, kWait);
    }
    bool visible() const { return ui::Application::shared().isNetworkActivityIndicatorVisible(); }

    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    QuarraTestServer server;
    HTHTTPSessionManagerPtr http;
    std::shared_ptr<HTNetworkActivityIndicatorManager> indicator =
        HTNetworkActivityIndicatorManager::make();
    std::vector<bool> shown;
    int completed = 0;
};

TEST_F(NetworkActivityIndicator, ARequestShorterThanTheActivationDelayNeverShowsIt) {
    start("/quick");
    ASSERT_TRUE(runMainUntil([&] { return completed == 1; }, kWait));
    ASSERT_TRUE(settle(0, State::WaitingToShow));
    clock->advance(1s);
    EXPECT_EQ(indicator->currentState(), State::Idle);
    EXPECT_TRUE(shown.empty());
}

TEST_F(NetworkActivityIndicator, OverlappingRequestsShowItOnceAndHideItAfterTheLastEnds) {
    start("/held");
    ASSERT_TRUE(settle(1, State::WaitingToShow));
    clock->advance(999ms);
    EXPECT_FALSE(visible());
    clock->advance(1ms);
    EXPECT_TRUE(visible());
    start("/held");
    ASSERT_TRUE(settle(2, State::Showing));

    ASSERT_TRUE(server.waitForRequests(2, kWait));
    server.releaseStalls();
    ASSERT_TRUE(settle(0, State::WaitingToHide));
    clock->advance(169ms);
    EXPECT_TRUE(visible());
    // A request starting within the completion delay keeps it shown without a flicker.
    start("/held");
    ASSERT_TRUE(settle(1, State::Showing));
    clock->advance(1s);
    EXPECT_TRUE(visible());
    ASSERT_TRUE(server.waitForRequests(3, kWait));
    server.releaseStalls();
    ASSERT_TRUE(settle(0, State::WaitingToHide));
    clock->advance(170ms);
    EXPECT_FALSE(visible());
    EXPECT_EQ(shown, (std::vector<bool>{true, false}));
}

TEST_F(NetworkActivityIndicator, ASuspendedTaskCountsOutOnceEvenWhenItThenCompletes) {
    auto first = start("/held");
    start("/held");
    ASSERT_TRUE(settle(2, State::WaitingToShow));
    clock->advance(1s);
    ASSERT_TRUE(visible());
    first->suspend();
    ASSERT_TRUE(settle(1, State::Showing));
    first->resume();
    ASSERT_TRUE(settle(2, State::Showing));
    first->suspend();
    ASSERT_TRUE(settle(1, State::Showing));
    // Cancelled while suspended: its completion must not count the other running task out.
    first->cancel();
    ASSERT_TRUE(runMainUntil([&] { return completed == 1; }, kWait));
    ASSERT_TRUE(drainMain());
    EXPECT_EQ(indicator->activityCount(), 1);
    EXPECT_EQ(indicator->currentState(), State::Showing);
    EXPECT_TRUE(visible());
}

TEST_F(NetworkActivityIndicator, ADataTaskThatBecomesADownloadCountsOutWhenTheDownloadEnds) {
    http->setDataTaskDidReceiveResponseBlock(
        [](URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&) {
            return URLSessionResponseDisposition::BecomeDownload;
        });
    URLSessionTaskPtr download;
    http->setDataTaskDidBecomeDownloadTaskBlock(
        [&](URLSession&, const URLSessionTaskPtr&, const URLSessionTaskPtr& became) {
            download = became;
        });
    start("/held");
    ASSERT_TRUE(settle(1, State::WaitingToShow));
    clock->advance(1s);
    ASSERT_TRUE(visible());
    ASSERT_TRUE(server.waitForRequests(1, kWait));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return completed == 1; }, kWait));
    EXPECT_TRUE(download);
    ASSERT_TRUE(settle(0, State::WaitingToHide));
    clock->advance(170ms);
    EXPECT_FALSE(visible());
}

TEST_F(NetworkActivityIndicator, TheCountNeverGoesBelowZero) {
    indicator->decrementActivityCount();
    indicator->decrementActivityCount();
    EXPECT_EQ(indicator->activityCount(), 0);
    // A completion of a task that was never counted in counts nothing out.
    indicator->incrementActivityCount();
    start("/quick");
    ASSERT_TRUE(runMainUntil([&] { return completed == 1; }, kWait));
    auto stranger = http->dataTaskWithRequest(UrlRequest(server.url("/quick")), nullptr);
    indicator->networkRequestDidFinish(
        Notification{HTNetworkingTaskDidCompleteNotification, stranger, {}});
    EXPECT_EQ(indicator->activityCount(), 1);
    EXPECT_FALSE(indicator->isNetworkActivityIndicatorVisible());
}

TEST_F(NetworkActivityIndicator, DisablingWhileShownHidesItAtOnceAndAnActionBlockReplacesTheApp) {
    std::vector<bool> told;
    indicator->setNetworkingActivityActionWithBlock([&](bool visible) { told.push_back(visible); });
    start("/held");
    ASSERT_TRUE(settle(1, State::WaitingToShow));
    clock->advance(1s);
    EXPECT_TRUE(indicator->isNetworkActivityIndicatorVisible());
    indicator->setEnabled(false);
    EXPECT_FALSE(indicator->isNetworkActivityIndicatorVisible());
    EXPECT_EQ(indicator->currentState(), State::Idle);
    EXPECT_EQ(told, (std::vector<bool>{true, false}));
    EXPECT_TRUE(shown.empty());
    // Disabled, the state machine stays put.
    start("/held");
    ASSERT_TRUE(runMainUntil([&] { return indicator->activityCount() == 2; }, kWait));
    clock->advance(2s);
    EXPECT_EQ(indicator->currentState(), State::Idle);
}

}  // namespace
}  // namespace quarra
