#include "quarra/HTImageViewTransport.h"

#include <gtest/gtest.h>

#include "platform/URLError.h"
#include "quarra/RunLoop.h"
#include "support/ImageFixtures.h"
#include "support/QuarraTestServer.h"
#include "transport/HTImageDownloader.h"
#include "transport/HTImageResponseSerializer.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

Reply pngReplyOfSide(std::uint32_t side, bool stall = false) {
    Reply reply;
    reply.contentType = "image/png";
    reply.body = test::asString(test::makePng(side, side));
    reply.stallBeforeHead = stall;
    return reply;
}

ImagePtr solidImage(std::uint32_t side) {
    return std::make_shared<Image>(side, side, std::vector<std::uint8_t>(side * side * 4, 0x80));
}

// What the caller's blocks heard.
struct Heard {
    int successes = 0;
    int failures = 0;
    ImagePtr image;
    ErrorPtr error;

    HTImageDownloader::SuccessBlock success() {
        return [this](const UrlRequest&, const HttpResponsePtr&, const ImagePtr& i) {
            ++successes;
            image = i;
        };
    }
    HTImageDownloader::FailureBlock failure() {
        return [this](const UrlRequest&, const HttpResponsePtr&, const ErrorPtr& e) {
            ++failures;
            error = e;
        };
    }
};

class FancyImageView : public ui::ImageView {};

class ImageViewTransportTest : public ::testing::Test {
  protected:
    ImageViewTransportTest() {
        server.trustAuthority();
        auto manager = HTHTTPSessionManager::make(
            std::nullopt, HTImageDownloader::defaultURLSessionConfiguration());
        manager->setResponseSerializer(HTImageResponseSerializer::serializer());
        downloader = HTImageDownloader::make(manager, HTImageDownloadPrioritization::FIFO, 4,
                                             HTAutoPurgingImageCache::make());
        setSharedImageDownloader<ui::ImageView>(downloader);
        setSharedImageDownloader<ui::Button>(downloader);
    }
    ~ImageViewTransportTest() override {
        server.releaseStalls();
        downloader->sessionManager()->invalidateSessionCancelingTasks(true);
    }
    UrlRequest request(const std::string& path) { return UrlRequest(server.url(path)); }
    // Runs what the main queue holds now.
    static bool drainMainQueue() {
        bool drained = false;
        DispatchQueue::main()->async([&] { drained = true; });
        return runMainUntil([&] { return drained; }, 10s);
    }
    bool cached(const std::string& path) {
        return downloader->imageCache()->imageforRequest(request(path), std::nullopt) != nullptr;
    }
    // Side of the image a view or button shows (0 for none).
    static std::uint32_t side(const ImagePtr& image) { return image ? image->pixelWidth() : 0; }

    Heard a, b;
    QuarraTestServer server;
    HTImageDownloaderPtr downloader;
};

TEST_F(ImageViewTransportTest, ViewsAskingForOneUrlShareOneDownload) {
    server.reply("/t.png", pngReplyOfSide(8, true));
    auto first = ui::View::make<ui::ImageView>();
    auto second = ui::View::make<ui::ImageView>();
    ImagePtr placeholder = solidImage(2);
    setImageWithURL(first, server.url("/t.png"), placeholder);
    auto receipt = activeImageDownloadReceipt(*first);
    ASSERT_TRUE(receipt);
    EXPECT_EQ(first->image(), placeholder);
    // The same URL again on the same view keeps the running download.
    setImageWithURL(first, server.url("/t.png"), placeholder);
    EXPECT_EQ(activeImageDownloadReceipt(*first), receipt);
    EXPECT_TRUE(isActiveTaskURLEqualToURLRequest(first, request("/t.png")));
    EXPECT_EQ(receipt->task()->originalRequest().valueForHTTPHeaderField("Accept"), "image/*");
    setImageWithURL(second, server.url("/t.png"));

    ASSERT_TRUE(server.waitForRequests(1, 10s));
    server.releaseStalls();
    ASSERT_TRUE(
        runMainUntil([&] { return side(first->image()) == 8 && side(second->image()) == 8; }, 10s));
    EXPECT_EQ(first->image(), second->image());
    EXPECT_FALSE(activeImageDownloadReceipt(*first));
    EXPECT_FALSE(activeImageDownloadReceipt(*second));
    EXPECT_EQ(server.requests("/t.png").size(), 1u);

    // Now from the cache, at once, without a request.
    auto third = ui::View::make<ui::ImageView>();
    setImageWithURL(third, server.url("/t.png"), placeholder);
    EXPECT_EQ(third->image(), first->image());
    EXPECT_FALSE(activeImageDownloadReceipt(*third));
    EXPECT_EQ(server.requests("/t.png").size(), 1u);
}

// A reused view (a table cell) must show its newest image, never a late older one.
TEST_F(ImageViewTransportTest, ReusedViewDropsTheResultOfItsEarlierUrl) {
    server.reply("/a.png", pngReplyOfSide(8, true));
    server.reply("/b.png", pngReplyOfSide(4));
    auto view = ui::View::make<ui::ImageView>();
    setImageWithURLRequest(view, request("/a.png"), nullptr, a.success(), a.failure());
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    // Shows nothing itself: with a success block the caller places the image.
    setImageWithURLRequest(view, request("/b.png"), nullptr, b.success(), nullptr);
    ASSERT_TRUE(runMainUntil([&] { return b.successes == 1; }, 10s));
    EXPECT_EQ(side(b.image), 4u);
    EXPECT_FALSE(view->image());

    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return cached("/a.png"); }, 10s));
    // The old download still filled the cache, but told nobody about it.
    setImageWithURL(view, server.url("/b.png"));
    EXPECT_EQ(side(view->image()), 4u);
    EXPECT_EQ(a.successes + a.failures, 0);
}

TEST_F(ImageViewTransportTest, CacheHitGoesToTheSuccessBlockAndLeavesTheViewAlone) {
    downloader->imageCache()->addImage(solidImage(3), request("/c.png"), std::nullopt);
    auto view = ui::View::make<ui::ImageView>();
    ImagePtr shown = solidImage(1);
    view->setImage(shown);
    setImageWithURLRequest(view, request("/c.png"), solidImage(2), a.success(), a.failure());
    EXPECT_EQ(a.successes, 1);  // before returning
    EXPECT_EQ(side(a.image), 3u);
    EXPECT_EQ(view->image(), shown);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ImageViewTransportTest, MissWithoutPlaceholderKeepsTheImageAndFailureKeepsItToo) {
    Reply broken;
    broken.status = 404;
    broken.contentType = "text/plain";
    broken.body = "none";
    server.reply("/gone.png", broken);
    auto view = ui::View::make<ui::ImageView>();
    ImagePtr shown = solidImage(1);
    view->setImage(shown);
    setImageWithURLRequest(view, request("/gone.png"), nullptr, nullptr, a.failure());
    EXPECT_EQ(view->image(), shown);
    ASSERT_TRUE(runMainUntil([&] { return a.failures == 1; }, 10s));
    EXPECT_EQ(view->image(), shown);
    EXPECT_FALSE(activeImageDownloadReceipt(*view));
}

TEST_F(ImageViewTransportTest, RequestWithoutUrlShowsThePlaceholderAndFailsAtOnce) {
    server.reply("/a.png", pngReplyOfSide(8, true));
    auto view = ui::View::make<ui::ImageView>();
    setImageWithURL(view, server.url("/a.png"));
    ASSERT_TRUE(activeImageDownloadReceipt(*view));

    ImagePtr placeholder = solidImage(2);
    setImageWithURLRequest(view, UrlRequest(), placeholder, a.success(), a.failure());
    EXPECT_EQ(view->image(), placeholder);
    ASSERT_EQ(a.failures, 1);
    EXPECT_EQ(a.error->domain(), URLErrorDomain);
    EXPECT_EQ(a.error->code(), URLErrorBadURL);
    // The earlier download is left to deliver.
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return side(view->image()) == 8; }, 10s));

    // A null placeholder clears the view.
    setImageWithURLRequest(view, UrlRequest(), nullptr, nullptr, nullptr);
    EXPECT_FALSE(view->image());
}

TEST_F(ImageViewTransportTest, CancelledDownloadCallsNeitherBlock) {
    server.reply("/a.png", pngReplyOfSide(8, true));
    auto view = ui::View::make<ui::ImageView>();
    ImagePtr placeholder = solidImage(2);
    setImageWithURLRequest(view, request("/a.png"), placeholder, a.success(), a.failure());
    ASSERT_TRUE(activeImageDownloadReceipt(*view));
    // Cancelled while running: the download goes on for the cache.
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    cancelImageDownloadTask(view);
    EXPECT_FALSE(activeImageDownloadReceipt(*view));
    EXPECT_FALSE(isActiveTaskURLEqualToURLRequest(view, request("/a.png")));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return cached("/a.png"); }, 10s));
    // The withdrawal (-999) went to the view's own block, queued on the main queue before the
    // download ended; one more turn of the queue runs anything still queued.
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(a.successes + a.failures, 0);
    EXPECT_EQ(view->image(), placeholder);
}

TEST_F(ImageViewTransportTest, ViewGoneBeforeItsImageArrivesIsNoFault) {
    server.reply("/a.png", pngReplyOfSide(8, true));
    {
        auto view = ui::View::make<ui::ImageView>();
        setImageWithURLRequest(view, request("/a.png"), nullptr, a.success(), a.failure());
    }
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil([&] { return cached("/a.png"); }, 10s));
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(a.successes + a.failures, 0);
}

TEST_F(ImageViewTransportTest, DownloadersBelongToTheClassTheyWereSetOn) {
    EXPECT_EQ(sharedImageDownloader<ui::ImageView>(), downloader);
    EXPECT_EQ(sharedImageDownloader<FancyImageView>(), HTImageDownloader::defaultInstance());
    setSharedImageDownloader<ui::Button>(nullptr);
    EXPECT_EQ(sharedImageDownloader<ui::Button>(), HTImageDownloader::defaultInstance());
    EXPECT_EQ(sharedImageDownloader<ui::ImageView>(), downloader);

    // A subclass's view asks its own (default) downloader, whose cache lacks what ours holds.
    downloader->imageCache()->addImage(solidImage(3), request("/c.png"), std::nullopt);
    auto plain = ui::View::make<ui::ImageView>();
    auto fancy = ui::View::make<FancyImageView>();
    setImageWithURL(plain, server.url("/c.png"));
    EXPECT_EQ(side(plain->image()), 3u);
    server.reply("/c.png", pngReplyOfSide(5));
    setImageWithURL(fancy, server.url("/c.png"));
    ASSERT_TRUE(runMainUntil([&] { return side(fancy->image()) == 5; }, 10s));
    HTImageDownloader::defaultInstance()->sessionManager()->invalidateSessionCancelingTasks(true);
}

TEST_F(ImageViewTransportTest, ButtonStatesHaveTheirOwnSlots) {
    struct Case {
        std::uint64_t state;
        std::uint64_t slot;
    } cases[] = {
        {ui::ControlStateNormal, ui::ControlStateNormal},
        {ui::ControlStateHighlighted, ui::ControlStateHighlighted},
        {ui::ControlStateDisabled, ui::ControlStateDisabled},
        {ui::ControlStateSelected, ui::ControlStateSelected},
        {ui::ControlStateHighlighted | ui::ControlStateSelected, ui::ControlStateNormal},
        {8, ui::ControlStateNormal},
    };
    auto button = ui::View::make<ui::Button>();
    auto receipt = std::make_shared<HTImageDownloadReceipt>("r", nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        setImageDownloadReceipt(*button, receipt, c.state);
        EXPECT_EQ(imageDownloadReceiptForState(*button, c.slot), receipt);
        EXPECT_FALSE(backgroundImageDownloadReceiptForState(*button, c.slot));
        setImageDownloadReceipt(*button, nullptr, c.slot);
        setBackgroundImageDownloadReceipt(*button, receipt, c.state);
        EXPECT_EQ(backgroundImageDownloadReceiptForState(*button, c.slot), receipt);
        EXPECT_FALSE(imageDownloadReceiptForState(*button, c.slot));
        setBackgroundImageDownloadReceipt(*button, nullptr, c.slot);
    }
}

TEST_F(ImageViewTransportTest, ButtonLoadsImageAndBackgroundPerState) {
    server.reply("/i.png", pngReplyOfSide(6, true));
    server.reply("/bg.png", pngReplyOfSide(7));
    auto button = ui::View::make<ui::Button>();
    ImagePtr placeholder = solidImage(2);
    setImageForState(button, ui::ControlStateHighlighted, server.url("/i.png"), placeholder);
    EXPECT_EQ(button->imageForState(ui::ControlStateHighlighted), placeholder);
    EXPECT_TRUE(
        isActiveTaskURLEqualToURLRequest(button, request("/i.png"), ui::ControlStateHighlighted));
    EXPECT_FALSE(
        isActiveTaskURLEqualToURLRequest(button, request("/i.png"), ui::ControlStateNormal));
    setBackgroundImageForState(button, ui::ControlStateNormal, server.url("/bg.png"));
    ASSERT_TRUE(runMainUntil(
        [&] { return side(button->backgroundImageForState(ui::ControlStateNormal)) == 7; }, 10s));
    EXPECT_FALSE(button->imageForState(ui::ControlStateNormal));

    ASSERT_TRUE(server.waitForRequests(2, 10s));
    server.releaseStalls();
    ASSERT_TRUE(runMainUntil(
        [&] { return side(button->imageForState(ui::ControlStateHighlighted)) == 6; }, 10s));
    EXPECT_FALSE(imageDownloadReceiptForState(*button, ui::ControlStateHighlighted));
}

// A button has no special case for a request without URL: the placeholder shows, and the
// downloader's refusal finds no receipt to answer.
TEST_F(ImageViewTransportTest, ButtonRequestWithoutUrlShowsPlaceholderAndCallsNoBlock) {
    auto button = ui::View::make<ui::Button>();
    ImagePtr placeholder = solidImage(2);
    setImageForState(button, ui::ControlStateSelected, UrlRequest(), placeholder, a.success(),
                     a.failure());
    EXPECT_EQ(button->imageForState(ui::ControlStateSelected), placeholder);
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(a.successes + a.failures, 0);
}

}  // namespace
}  // namespace quarra
