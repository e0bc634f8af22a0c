// Views bound to real loopback tasks: activity indicators, refresh controls, progress views and web
// views follow what their task does.
#include <gtest/gtest.h>

#include "platform/URLError.h"
#include "quarra/HTActivityIndicatorViewNotificationObserver.h"
#include "quarra/HTProgressViewTaskProgress.h"
#include "quarra/HTRefreshControlNotificationObserver.h"
#include "quarra/HTWebViewLoading.h"
#include "quarra/RunLoop.h"
#include "support/QuarraTestServer.h"
#include "transport/HTHTTPResponseSerializer.h"
#include "transport/HTHTTPSessionManager.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

constexpr auto kViewWait = 20s;
constexpr std::uint64_t kBodyLength = 256 * 1024;

class TaskDrivenViews : public ::testing::Test {
  protected:
    TaskDrivenViews() {
        server.trustAuthority();
        Reply held = Reply::json("{}");
        held.stallBeforeHead = true;
        server.reply("/held", held);
        server.reply("/quick", Reply::json("{}"));
        Reply half;
        half.contentType = "application/octet-stream";
        half.generatedLength = kBodyLength;
        half.stallAfter = kBodyLength / 2;
        server.reply("/half", half);
        http = HTHTTPSessionManager::make(server.url("/"));
        http->setResponseSerializer(HTHTTPResponseSerializer::serializer());
    }
    ~TaskDrivenViews() override {
        server.releaseStalls();
        http->invalidateSessionCancelingTasks(true);
    }

    // A task of `path`, resumed, whose completion is counted.
    URLSessionTaskPtr start(const std::string& path) {
        auto task = http->dataTaskWithRequest(
            UrlRequest(server.url(path)),
            [this](const HttpResponsePtr&, const std::any&, const ErrorPtr&) { ++completed; });
        task->resume();
        return task;
    }
    // Everything queued on the main queue so far has run (the views' updates included).
    bool drainMain() {
        bool drained = false;
        DispatchQueue::main()->async([&drained] { drained = true; });
        return runMainUntil([&drained] { return drained; }, kViewWait);
    }
    bool until(const std::function<bool()>& done) { return runMainUntil(done, kViewWait); }

    QuarraTestServer server;
    HTHTTPSessionManagerPtr http;
    int completed = 0;
};

TEST_F(TaskDrivenViews, AnActivityIndicatorSpinsWhileItsTaskRuns) {
    auto spinner = ui::View::make<ui::ActivityIndicatorView>();
    auto task = start("/held");
    setAnimatingWithStateOfTask(spinner, task);
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_FALSE(spinner->isHidden());
    task->suspend();
    ASSERT_TRUE(until([&] { return !spinner->isAnimating(); }));
    EXPECT_TRUE(spinner->isHidden());
    task->resume();
    ASSERT_TRUE(until([&] { return spinner->isAnimating(); }));
    ASSERT_TRUE(server.waitForRequests(1, kViewWait));
    server.releaseStalls();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(until([&] { return !spinner->isAnimating(); }));

    // A completed task leaves it as it is, stopped or spinning.
    setAnimatingWithStateOfTask(spinner, task);
    EXPECT_FALSE(spinner->isAnimating());
    spinner->startAnimating();
    setAnimatingWithStateOfTask(spinner, task);
    EXPECT_TRUE(spinner->isAnimating());
}

TEST_F(TaskDrivenViews, ARetargetedActivityIndicatorNoLongerFollowsItsFirstTask) {
    auto spinner = ui::View::make<ui::ActivityIndicatorView>();
    auto first = start("/held");
    setAnimatingWithStateOfTask(spinner, first);
    auto second = start("/held");
    setAnimatingWithStateOfTask(spinner, second);
    first->cancel();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(drainMain());
    EXPECT_TRUE(spinner->isAnimating());
    second->cancel();
    ASSERT_TRUE(until([&] { return completed == 2; }));
    ASSERT_TRUE(until([&] { return !spinner->isAnimating(); }));
}

TEST_F(TaskDrivenViews, ARefreshControlRefreshesWhileItsTaskRuns) {
    auto refresh = ui::View::make<ui::RefreshControl>();
    auto task = start("/held");
    setRefreshingWithStateOfTask(refresh, task);
    EXPECT_TRUE(refresh->isRefreshing());
    ASSERT_TRUE(server.waitForRequests(1, kViewWait));
    server.releaseStalls();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(until([&] { return !refresh->isRefreshing(); }));

    // Bound to a task that does not run, it ends refreshing at once; a null task changes nothing.
    refresh->beginRefreshing();
    setRefreshingWithStateOfTask(refresh, nullptr);
    EXPECT_TRUE(refresh->isRefreshing());
    setRefreshingWithStateOfTask(refresh, task);
    EXPECT_FALSE(refresh->isRefreshing());
    refresh->beginRefreshing();
    setRefreshingWithStateOfTask(
        refresh, http->dataTaskWithRequest(UrlRequest(server.url("/quick")), nullptr));
    EXPECT_FALSE(refresh->isRefreshing());
}

TEST_F(TaskDrivenViews, AProgressViewFollowsTheDownloadUntilItsTaskCompletes) {
    auto bar = ui::View::make<ui::ProgressView>();
    auto task = start("/half");
    setProgressWithDownloadProgressOfTask(bar, task, true);
    EXPECT_TRUE(ht_downloadProgressAnimated(*bar));
    EXPECT_FALSE(ht_uploadProgressAnimated(*bar));
    ASSERT_TRUE(until([&] { return bar->progress() >= 0.5f; }));
    EXPECT_LT(bar->progress(), 1.0f);
    EXPECT_TRUE(bar->lastChangeAnimated());
    server.releaseStalls();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(drainMain());
    EXPECT_EQ(bar->progress(), 1.0f);

    // A completed task is not followed.
    bar->setProgress(0.25f);
    setProgressWithDownloadProgressOfTask(bar, task, false);
    EXPECT_TRUE(ht_downloadProgressAnimated(*bar));
    EXPECT_EQ(bar->progress(), 0.25f);
}

TEST_F(TaskDrivenViews, AProgressViewFollowsTheUploadOfItsTask) {
    auto bar = ui::View::make<ui::ProgressView>();
    UrlRequest request(server.url("/quick"));
    request.httpMethod = "POST";
    auto task = http->uploadTaskWithRequest(
        request, Bytes(kBodyLength, 'u'), nullptr,
        [this](const HttpResponsePtr&, const std::any&, const ErrorPtr&) { ++completed; });
    setProgressWithUploadProgressOfTask(bar, task, false);
    task->resume();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(drainMain());
    EXPECT_EQ(bar->progress(), 1.0f);
    EXPECT_FALSE(bar->lastChangeAnimated());
}

TEST_F(TaskDrivenViews, AProgressViewThatGoesAwayLeavesItsTaskAlone) {
    auto bar = ui::View::make<ui::ProgressView>();
    auto task = start("/half");
    setProgressWithDownloadProgressOfTask(bar, task, false);
    ASSERT_TRUE(until([&] { return bar->progress() >= 0.5f; }));
    std::weak_ptr<ui::ProgressView> gone = bar;
    bar.reset();
    EXPECT_TRUE(gone.expired());
    server.releaseStalls();
    ASSERT_TRUE(until([&] { return completed == 1; }));
    ASSERT_TRUE(drainMain());
}

// Records what the web view tells its delegate.
struct LoadEvents : ui::WebViewDelegate {
    int started = 0, finished = 0;
    void webViewDidStartLoad(ui::WebView&) override { ++started; }
    void webViewDidFinishLoad(ui::WebView&) override { ++finished; }
};

TEST_F(TaskDrivenViews, AWebViewShowsHTMLInTheCharacterSetOfTheReply) {
    struct Case {
        std::string contentType;
        std::string body;  // as sent
        std::string seen;  // what the success handler gets (UTF-8)
        std::string shown;
    } cases[] = {
        {"text/html; charset=iso-8859-1", "caf\xe9", "caf\xc3\xa9", "<p>caf\xe9</p>"},
        {"text/html; charset=utf-8", "caf\xc3\xa9", "caf\xc3\xa9", "<p>caf\xc3\xa9</p>"},
        {"text/html", "caf\xc3\xa9", "caf\xc3\xa9", "<p>caf\xc3\xa9</p>"},
        {"text/html; charset=no-such-set", "caf\xc3\xa9", "caf\xc3\xa9", "<p>caf\xc3\xa9</p>"},
    };
    auto web = ui::View::make<ui::WebView>();
    auto events = std::make_shared<LoadEvents>();
    web->setDelegate(events);
    setSessionManager(*web, http);
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contentType);
        Reply page;
        page.contentType = c.contentType;
        page.body = c.body;
        server.reply("/page", page);
        std::string seen;
        ProgressPtr progress;
        loadRequest(
            web, UrlRequest(server.url("/page")), &progress,
            [&](const HttpResponsePtr&, const std::string& html) {
                seen = html;
                return "<p>" + html + "</p>";
            },
            nullptr);
        ++round;
        EXPECT_TRUE(progress);
        EXPECT_EQ(events->started, round);
        ASSERT_TRUE(until([&] { return events->finished == round; }));
        EXPECT_EQ(seen, c.seen);
        ASSERT_TRUE(web->content());
        EXPECT_EQ(std::string(web->content()->data.begin(), web->content()->data.end()), c.shown);
        EXPECT_EQ(web->content()->baseURL, server.url("/page"));
        EXPECT_EQ(progress->fractionCompleted(), 1.0);
    }
}

TEST_F(TaskDrivenViews, LoadingASecondRequestCancelsTheFirstWhileItRunsOrIsSuspended) {
    auto web = ui::View::make<ui::WebView>();
    setSessionManager(*web, http);
    for (bool suspended : {false, true}) {
        SCOPED_TRACE(suspended ? "suspended" : "running");
        ErrorPtr firstError;
        bool firstSucceeded = false;
        loadRequest(
            web, UrlRequest(server.url("/held")), "text/plain", "utf-8", nullptr,
            [&](const HttpResponsePtr&, const Bytes& data) {
                firstSucceeded = true;
                return data;
            },
            [&](const ErrorPtr& error) { firstError = error; });
        auto first = ht_URLSessionTask(*web);
        ASSERT_TRUE(first);
        if (suspended)
            first->suspend();
        bool secondDone = false;
        loadRequest(
            web, UrlRequest(server.url("/quick")), "application/json", "utf-8", nullptr,
            [&](const HttpResponsePtr&, const Bytes& data) {
                secondDone = true;
                return data;
            },
            nullptr);
        ASSERT_TRUE(until([&] { return secondDone && firstError; }));
        EXPECT_EQ(firstError->code(), URLErrorCancelled);
        EXPECT_FALSE(firstSucceeded);
        EXPECT_EQ(first->state(), URLSessionTaskState::Completed);
        ASSERT_TRUE(web->content());
        EXPECT_EQ(std::string(web->content()->data.begin(), web->content()->data.end()), "{}");
        EXPECT_EQ(web->content()->mimeType, "application/json");
    }
    EXPECT_EQ(web->loadCount(), 2u);
}

}  // namespace
}  // namespace quarra
