#include <gtest/gtest.h>

#include "core/TVKAutoPurgingImageCache.h"
#include "quarra/TVKImageViewThumbnails.h"
#include "core/TVKQuarraManager.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "support/ImageFixtures.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"
#include "transport/HTImageDownloader.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::RecordedRequest;
using test::Reply;
using test::SignInTestBed;

constexpr const char* kThumbnail = "objects/documents/1/versions/2/3/thumbnail";

ImagePtr solidImage(std::uint32_t side) {
    return std::make_shared<Image>(side, side, std::vector<std::uint8_t>(side * side * 4, 0x80));
}

std::uint32_t side(const ImagePtr& image) {
    return image ? image->pixelWidth() : 0;
}

class ThumbnailTest : public ::testing::Test {
  protected:
    ThumbnailTest() {
        // Each Quarra answers with a thumbnail of its own size, for its own sessions only.
        serveThumbnail(bed.first, SignInTestBed::FirstQuarra, 8);
        serveThumbnail(bed.second, SignInTestBed::SecondQuarra, 6);
    }
    ~ThumbnailTest() override {
        if (auto downloader = TVKQuarraManager::thumbnailImageDownloader())
            downloader->sessionManager()->invalidateSessionCancelingTasks(true);
    }

    void serveThumbnail(test::QuarraTestServer& server, std::uint64_t Id, std::uint32_t size) {
        server.route(bed.service.apiPath(kThumbnail), [this, Id, size](const RecordedRequest& r) {
            if (bed.service.sessionQuarra(r.header("Authorization")) != Id)
                return Reply::json(R"({"responseStatus":"FAILURE"})", 401);
            Reply reply;
            // Fresh for a long time: only the client's own rules keep it from another session.
            reply.headers = {{"Cache-Control", "max-age=3600"}};
            reply.contentType = "image/png";
            reply.body = test::asString(test::makePng(size, size));
            return reply;
        });
    }
    std::vector<RecordedRequest> requests(test::QuarraTestServer& server) {
        return server.requests(bed.service.apiPath(kThumbnail));
    }
    // Asks for the thumbnail of the first (or given) Quarra in a new view.
    std::shared_ptr<ui::ImageView> show(ImagePtr placeholder = nullptr,
                                        std::uint64_t quarraId = SignInTestBed::FirstQuarra) {
        auto view = ui::View::make<ui::ImageView>();
        setQuarraDocumentThumbnailImageWithPlaceholderImage(view, placeholder, 1, 2, 3,
                                                            bed.quarra(quarraId));
        return view;
    }
    std::shared_ptr<TVKAutoPurgingImageCache> cache() {
        return std::dynamic_pointer_cast<TVKAutoPurgingImageCache>(
            TVKQuarraManager::thumbnailImageDownloader()->imageCache());
    }
    std::string identifier() {
        return Url::parse(TVKQuarraManager::urlForQuarraEndpoint(
                              kThumbnail, bed.service.host(SignInTestBed::FirstQuarra)))
            ->string();
    }
    std::filesystem::path file() {
        return *TVKAutoPurgingImageCache::fileForIdentifier(identifier(), SignInTestBed::Alice);
    }
    // Waits for the writes and deletions queued on the storage queue so far.
    void settleDisk() {
        cache()->syncStorageQueue()->syncBarrier([] {});
    }
    // Downloads the first Quarra's thumbnail into a view and waits until it is stored.
    void downloadOnce() {
        auto view = show();
        ASSERT_TRUE(runMainUntil([&] { return side(view->image()) == 8; }, 10s));
        settleDisk();
    }

    SignInTestBed bed;
};

TEST_F(ThumbnailTest, WithoutSignedInUserNothingHappens) {
    auto view = ui::View::make<ui::ImageView>();
    ImagePtr shown = solidImage(1);
    view->setImage(shown);
    bed.signIn();
    TVKQuarraPtr quarra = bed.quarra(SignInTestBed::FirstQuarra);
    ASSERT_EQ(TVKQuarraAuthManager::sharedInstance().logout(), nullptr);
    setQuarraDocumentThumbnailImageWithPlaceholderImage(view, solidImage(2), 1, 2, 3, quarra);
    EXPECT_EQ(view->image(), shown);
    EXPECT_FALSE(TVKQuarraManager::thumbnailImageDownloader());
    EXPECT_TRUE(requests(bed.first).empty());
}

TEST_F(ThumbnailTest, DownloadedThumbnailIsStoredEncryptedAndServedFromMemory) {
    bed.signIn();
    ImagePtr placeholder = solidImage(2);
    auto view = show(placeholder);
    EXPECT_EQ(view->image(), placeholder);
    ASSERT_TRUE(runMainUntil([&] { return side(view->image()) == 8; }, 10s));
    auto sent = requests(bed.first);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Authorization"), TVKQuarraAuthManager::sharedInstance().sessionId());

    // On disk under a hashed name, encrypted with the user's key.
    settleDisk();
    EXPECT_EQ(file().filename().string().size(), 64u);
    std::string stored = test::readFile(file());
    EXPECT_EQ(stored.find("PNG"), std::string::npos);
    auto plain = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(file());
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, test::makePng(8, 8));

    // A memory hit: at once, no request.
    auto again = show();
    EXPECT_EQ(again->image(), view->image());
    EXPECT_EQ(requests(bed.first).size(), 1u);
}

TEST_F(ThumbnailTest, DiskHitDecryptsAndDecodesWithoutDownloading) {
    bed.signIn();
    downloadOnce();
    TVKQuarraManager::clearThumbnailMemoryCache();
    EXPECT_EQ(cache()->memoryUsage(), 0u);

    auto view = show(solidImage(2));
    EXPECT_EQ(side(view->image()), 8u);
    EXPECT_EQ(requests(bed.first).size(), 1u);
    // The disk hit is in the memory tier again.
    EXPECT_GT(cache()->memoryUsage(), 0u);
}

TEST_F(ThumbnailTest, CorruptFileIsAMissAndIsReplacedByTheNextDownload) {
    bed.signIn();
    downloadOnce();
    TVKQuarraManager::clearThumbnailMemoryCache();
    std::string stored = test::readFile(file());
    stored[stored.size() / 2] ^= 0x5a;
    test::writeFile(file(), stored);

    EXPECT_FALSE(cache()->imageWithIdentifier(identifier()));
    auto view = show();
    ASSERT_TRUE(runMainUntil([&] { return side(view->image()) == 8; }, 10s));
    EXPECT_EQ(requests(bed.first).size(), 2u);
    settleDisk();
    auto plain = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(file());
    ASSERT_TRUE(plain);
    EXPECT_EQ(*plain, test::makePng(8, 8));
}

TEST_F(ThumbnailTest, LogoutEmptiesTheMemoryTierButKeepsTheFiles) {
    bed.signIn();
    downloadOnce();
    ASSERT_GT(cache()->memoryUsage(), 0u);
    ASSERT_EQ(TVKQuarraAuthManager::sharedInstance().logout(), nullptr);
    EXPECT_EQ(cache()->memoryUsage(), 0u);
    EXPECT_FALSE(cache()->imageWithIdentifier(identifier()));
    EXPECT_TRUE(std::filesystem::exists(file()));

    // Signed in again, the user's own file answers.
    bed.signIn();
    EXPECT_EQ(side(cache()->imageWithIdentifier(identifier())), 8u);
    EXPECT_EQ(requests(bed.first).size(), 1u);
}

TEST_F(ThumbnailTest, AKeptReplyIsNeverServedToTheNextSession) {
    bed.signIn();
    downloadOnce();
    ASSERT_EQ(TVKQuarraAuthManager::sharedInstance().logout(), nullptr);
    ASSERT_TRUE(std::filesystem::remove(file()));

    bed.signIn();
    auto view = show();
    ASSERT_TRUE(runMainUntil([&] { return side(view->image()) == 8; }, 10s));
    auto sent = requests(bed.first);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].header("Authorization"), TVKQuarraAuthManager::sharedInstance().sessionId());
}

TEST_F(ThumbnailTest, SessionIdGoesOnlyToTheQuarraItBelongsTo) {
    bed.signIn();
    auto view = show(nullptr, SignInTestBed::SecondQuarra);
    ASSERT_TRUE(bed.second.waitForRequests(1, 10s));
    auto sent = requests(bed.second);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Authorization"), "");
    EXPECT_TRUE(requests(bed.first).empty());
}

TEST_F(ThumbnailTest, RemovalTakesTheFileOnlyWithTheMemoryEntry) {
    bed.signIn();
    downloadOnce();
    EXPECT_TRUE(cache()->removeImageWithIdentifier(identifier()));
    settleDisk();
    EXPECT_FALSE(std::filesystem::exists(file()));

    // Not in memory: nothing is removed, the file stays.
    cache()->addImage(solidImage(3), test::makePng(3, 3), identifier());
    settleDisk();
    ASSERT_TRUE(std::filesystem::exists(file()));
    TVKQuarraManager::clearThumbnailMemoryCache();
    EXPECT_FALSE(cache()->removeImageWithIdentifier(identifier()));
    settleDisk();
    EXPECT_TRUE(std::filesystem::exists(file()));
}

}  // namespace
}  // namespace quarra
