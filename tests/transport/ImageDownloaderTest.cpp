#include "transport/HTImageDownloader.h"

#include <gtest/gtest.h>

#include "quarra/RunLoop.h"
#include "platform/URLError.h"
#include "support/ImageFixtures.h"
#include "support/QuarraTestServer.h"
#include "transport/HTImageResponseSerializer.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

Reply pngReply(bool stall = false, std::uint32_t side = 8) {
    Reply reply;
    reply.contentType = "image/png";
    reply.body = test::asString(test::makePng(side, side));
    reply.stallBeforeHead = stall;
    return reply;
}

// What one requester heard. Blocks run on the main queue, as the tests do.
struct Outcome {
    int successes = 0;
    int failures = 0;
    HttpResponsePtr response;
    ImagePtr image;
    ErrorPtr error;

    HTImageDownloader::SuccessBlock success() {
        return [this](const UrlRequest&, const HttpResponsePtr& r, const ImagePtr& i) {
            EXPECT_TRUE(isMainThread());
            ++successes;
            response = r;
            image = i;
        };
    }
    HTImageDownloader::FailureBlock failure() {
        return [this](const UrlRequest&, const HttpResponsePtr& r, const ErrorPtr& e) {
            EXPECT_TRUE(isMainThread());
            ++failures;
            response = r;
            error = e;
        };
    }
    bool done() const { return successes + failures > 0; }
};

class ImageDownloaderTest : public ::testing::Test {
  protected:
    ImageDownloaderTest() { server.trustAuthority(); }
    ~ImageDownloaderTest() override {
        server.releaseStalls();
        if (downloader)
            downloader->sessionManager()->invalidateSessionCancelingTasks(true);
    }
    // A downloader like the default one with another limit and order.
    void makeDownloader(long maximum, HTImageDownloadPrioritization order) {
        auto manager = HTHTTPSessionManager::make(
            std::nullopt, HTImageDownloader::defaultURLSessionConfiguration());
        manager->setResponseSerializer(HTImageResponseSerializer::serializer());
        downloader =
            HTImageDownloader::make(manager, order, maximum, HTAutoPurgingImageCache::make());
    }
    UrlRequest request(const std::string& path) { return UrlRequest(server.url(path)); }
    HTImageDownloadReceiptPtr download(const std::string& path, Outcome& outcome) {
        return downloader->downloadImageForURLRequest(request(path), outcome.success(),
                                                      outcome.failure());
    }

    // Declared first: the outcomes the blocks write to outlive the downloader's queued blocks.
    Outcome a, b, c;
    QuarraTestServer server;
    HTImageDownloaderPtr downloader;
};

TEST_F(ImageDownloaderTest, ConcurrentRequestsForOneUrlShareOneDownloadAndFillTheCache) {
    downloader = HTImageDownloader::make();
    server.replies("/t.png", {pngReply(true), pngReply()});
    auto first = download("/t.png", a);
    auto second = download("/t.png", b);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->task(), second->task());
    EXPECT_NE(first->receiptID(), second->receiptID());

    ASSERT_TRUE(server.waitForRequests(1, 60s));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return a.done() && b.done(); }, 10s));
    for (Outcome* o : {&a, &b}) {
        EXPECT_EQ(o->successes, 1);
        ASSERT_TRUE(o->image);
        EXPECT_EQ(o->image->pixelWidth(), 8u);
        ASSERT_TRUE(o->response);
        EXPECT_EQ(o->response->statusCode, 200);
    }
    EXPECT_EQ(a.image, b.image);
    EXPECT_EQ(server.requests("/t.png").size(), 1u);

    // Now the cache answers: no receipt, no response, the same image.
    EXPECT_FALSE(download("/t.png", c));
    ASSERT_TRUE(runMainUntil([&] { return c.done(); }, 10s));
    EXPECT_EQ(c.image, a.image);
    EXPECT_FALSE(c.response);

    // A request that ignores local data downloads again.
    Outcome reload;
    UrlRequest again = request("/t.png");
    again.cachePolicy = UrlRequestCachePolicy::ReloadIgnoringLocalCacheData;
    EXPECT_TRUE(downloader->downloadImageForURLRequest(again, reload.success(), reload.failure()));
    ASSERT_TRUE(runMainUntil([&] { return reload.done(); }, 10s));
    EXPECT_EQ(reload.successes, 1);
    EXPECT_EQ(server.requests("/t.png").size(), 2u);
}

// With one slot, a waiting task that is cancelled must not free the slot that the running task
// holds: otherwise the next waiting task starts beside it.
TEST_F(ImageDownloaderTest, CancelledWaitingTaskDoesNotLetMoreThanTheMaximumRun) {
    makeDownloader(1, HTImageDownloadPrioritization::FIFO);
    server.reply("/a.png", pngReply(true));
    server.reply("/b.png", pngReply());
    server.reply("/c.png", pngReply());
    ASSERT_TRUE(download("/a.png", a));
    auto receiptB = download("/b.png", b);
    ASSERT_TRUE(download("/c.png", c));
    ASSERT_TRUE(server.waitForRequests(1, 60s));
    EXPECT_EQ(downloader->activeRequestCount(), 1);

    downloader->cancelTaskForImageDownloadReceipt(receiptB);
    downloader->cancelTaskForImageDownloadReceipt(receiptB);
    ASSERT_TRUE(runMainUntil([&] { return b.done(); }, 10s));
    ASSERT_TRUE(b.error);
    EXPECT_EQ(b.error->code(), URLErrorCancelled);
    EXPECT_EQ(b.error->userInfo().value(LocalizedFailureReasonKey, ""),
              "ImageDownloader cancelled URL request: " + server.url("/b.png").string());
    ASSERT_TRUE(runMainUntil(
        [&] { return receiptB->task()->state() == URLSessionTaskState::Completed; }, 10s));

    // The cancelled task's completion passes through the main queue; keep it turning. Only a
    // fault can make a second request arrive while "/a.png" still stalls.
    EXPECT_FALSE(runMainUntil([&] { return server.requests().size() > 1; }, 1s));
    EXPECT_EQ(downloader->activeRequestCount(), 1);

    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return a.done() && c.done(); }, 10s));
    EXPECT_EQ(a.successes, 1);
    EXPECT_EQ(c.successes, 1);
    EXPECT_EQ(b.failures, 1);
    EXPECT_EQ(b.successes, 0);
    EXPECT_TRUE(server.requests("/b.png").empty());
    ASSERT_TRUE(runMainUntil([&] { return downloader->activeRequestCount() == 0; }, 10s));
}

TEST_F(ImageDownloaderTest, LastInFirstOutStartsTheNewestWaitingUrlFirst) {
    makeDownloader(1, HTImageDownloadPrioritization::LIFO);
    server.reply("/a.png", pngReply(true));
    server.reply("/b.png", pngReply());
    server.reply("/c.png", pngReply());
    ASSERT_TRUE(download("/a.png", a));
    ASSERT_TRUE(download("/b.png", b));
    ASSERT_TRUE(download("/c.png", c));
    ASSERT_TRUE(server.waitForRequests(1, 60s));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return a.done() && b.done() && c.done(); }, 10s))
        << a.done() << b.done() << c.done() << " " << server.requests().size()
        << downloader->activeRequestCount();
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].path, "/a.png");
    EXPECT_EQ(requests[1].path, "/c.png");
    EXPECT_EQ(requests[2].path, "/b.png");
}

TEST_F(ImageDownloaderTest, CancelledRunningTaskStillFillsTheCache) {
    downloader = HTImageDownloader::make();
    server.reply("/a.png", pngReply(true));
    auto receipt = download("/a.png", a);
    ASSERT_TRUE(server.waitForRequests(1, 60s));
    downloader->cancelTaskForImageDownloadReceipt(receipt);
    ASSERT_TRUE(runMainUntil([&] { return a.done(); }, 10s));
    EXPECT_EQ(a.failures, 1);
    EXPECT_FALSE(a.response);

    server.releaseStalls();
    ASSERT_TRUE(runMainUntil(
        [&] {
            return downloader->imageCache()->imageforRequest(request("/a.png"), std::nullopt) !=
                   nullptr;
        },
        10s));
    EXPECT_EQ(a.successes, 0);
    EXPECT_EQ(a.failures, 1);
}

TEST_F(ImageDownloaderTest, FailuresReachEveryRequesterAndCacheNothing) {
    downloader = HTImageDownloader::make();
    Reply huge;
    huge.contentType = "image/png";
    huge.body = test::asString(test::makePngHeader(30000, 30000));
    server.reply("/huge.png", huge);
    Reply missing = pngReply();
    missing.status = 404;
    server.reply("/missing.png", missing);

    ASSERT_TRUE(download("/huge.png", a));
    ASSERT_TRUE(download("/missing.png", b));
    ASSERT_TRUE(runMainUntil([&] { return a.done() && b.done(); }, 10s));
    ASSERT_TRUE(a.error);
    EXPECT_EQ(a.error->domain(), ImageErrorDomain);
    EXPECT_EQ(a.error->code(), ImageErrorTooLarge);
    ASSERT_TRUE(b.error);
    EXPECT_EQ(b.error->code(), URLErrorBadServerResponse);
    EXPECT_EQ(b.response->statusCode, 404);
    for (const char* path : {"/huge.png", "/missing.png"})
        EXPECT_FALSE(downloader->imageCache()->imageforRequest(request(path), std::nullopt));

    // A request without a URL fails at once.
    EXPECT_FALSE(downloader->downloadImageForURLRequest(UrlRequest(), c.success(), c.failure()));
    ASSERT_TRUE(runMainUntil([&] { return c.done(); }, 10s));
    ASSERT_TRUE(c.error);
    EXPECT_EQ(c.error->code(), URLErrorBadURL);
}

}  // namespace
}  // namespace quarra
