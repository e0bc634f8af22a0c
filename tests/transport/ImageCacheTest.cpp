#include <gtest/gtest.h>

#include "platform/MemoryPressure.h"
#include "quarra/MemoryPressure.h"
#include "quarra/NotificationCenter.h"
#include "support/TestSupport.h"
#include "transport/HTAutoPurgingImageCache.h"

namespace quarra {
namespace {

// An image of width x height points at `scale`: it counts (width x scale) x (height x scale) x 4.
ImagePtr image(std::uint32_t width, std::uint32_t height, double scale = 1.0) {
    std::uint32_t w = static_cast<std::uint32_t>(width * scale);
    std::uint32_t h = static_cast<std::uint32_t>(height * scale);
    return std::make_shared<Image>(w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 4), scale);
}

UrlRequest request(const char* url) {
    return UrlRequest(*Url::parse(url));
}

TEST(ImageCacheTest, CountsPixelsTimesFourAndReplacesByIdentifier) {
    auto cache = HTAutoPurgingImageCache::make();
    EXPECT_EQ(cache->memoryCapacity(), 104857600u);
    EXPECT_EQ(cache->preferredMemoryUsageAfterPurge(), 62914560u);

    auto first = image(100, 100, 2);
    cache->addImage(first, "a");
    EXPECT_EQ(cache->memoryUsage(), 4u * 200 * 200);
    EXPECT_EQ(cache->imageWithIdentifier("a"), first);

    auto second = image(10, 10);
    cache->addImage(second, "a");
    EXPECT_EQ(cache->memoryUsage(), 400u);
    EXPECT_EQ(cache->imageWithIdentifier("a"), second);

    EXPECT_TRUE(cache->removeImageWithIdentifier("a"));
    EXPECT_FALSE(cache->removeImageWithIdentifier("a"));
    EXPECT_EQ(cache->memoryUsage(), 0u);
    EXPECT_FALSE(cache->removeAllImages());
    EXPECT_EQ(cache->imageWithIdentifier("a"), nullptr);
}

// Four images of 400 bytes in a cache of 1600: the fifth purges the least recently used ones
// until at most 800 remain.
TEST(ImageCacheTest, PurgeDropsLeastRecentlyUsedDownToThePreferredSize) {
    auto cache = HTAutoPurgingImageCache::make(1600, 800);
    for (const char* id : {"a", "b", "c", "d"})
        cache->addImage(image(10, 10), id);
    EXPECT_EQ(cache->memoryUsage(), 1600u);        // at the capacity exactly: nothing purged
    ASSERT_TRUE(cache->imageWithIdentifier("a"));  // "a" is now the most recently used of four

    cache->addImage(image(10, 10), "e");
    EXPECT_EQ(cache->memoryUsage(), 800u);
    EXPECT_FALSE(cache->imageWithIdentifier("b"));
    EXPECT_FALSE(cache->imageWithIdentifier("c"));
    EXPECT_FALSE(cache->imageWithIdentifier("d"));
    EXPECT_TRUE(cache->imageWithIdentifier("a"));
    EXPECT_TRUE(cache->imageWithIdentifier("e"));

    // One entry that frees more than needed is the only one dropped, leaving well under the
    // preferred size.
    auto big = HTAutoPurgingImageCache::make(1600, 800);
    big->addImage(image(20, 15), "big");  // 1200
    big->addImage(image(10, 10), "small");
    big->addImage(image(10, 1), "tiny");  // 1640 > 1600
    EXPECT_EQ(big->memoryUsage(), 440u);
    EXPECT_FALSE(big->imageWithIdentifier("big"));

    // An image larger than the whole capacity does not stay.
    auto small = HTAutoPurgingImageCache::make(100, 50);
    small->addImage(image(10, 10), "huge");
    EXPECT_EQ(small->memoryUsage(), 0u);
    EXPECT_FALSE(small->imageWithIdentifier("huge"));
}

// A preferred size above the capacity must neither wrap the amount to free around (emptying the
// cache) nor leave the total above the capacity.
TEST(ImageCacheTest, PreferredSizeAboveCapacityPurgesDownToTheCapacity) {
    auto cache = HTAutoPurgingImageCache::make(1000, 5000);
    cache->addImage(image(10, 10), "a");
    cache->addImage(image(10, 10), "b");
    cache->addImage(image(10, 10), "c");  // 1200 > 1000
    EXPECT_EQ(cache->memoryUsage(), 800u);
    EXPECT_FALSE(cache->imageWithIdentifier("a"));
    EXPECT_TRUE(cache->imageWithIdentifier("b"));
    EXPECT_TRUE(cache->imageWithIdentifier("c"));
}

TEST(ImageCacheTest, RequestsAreKeyedByUrlAndAdditionalIdentifier) {
    auto cache = HTAutoPurgingImageCache::make();
    auto plain = image(1, 1), sized = image(2, 2);
    cache->addImage(plain, request("https://h/t.png"), std::nullopt);
    cache->addImage(sized, request("https://h/t.png"), std::string("@2x"));
    EXPECT_EQ(cache->imageWithIdentifier("https://h/t.png"), plain);
    EXPECT_EQ(cache->imageWithIdentifier("https://h/t.png@2x"), sized);
    EXPECT_EQ(cache->imageforRequest(request("https://h/t.png"), std::string("@2x")), sized);
    EXPECT_TRUE(cache->shouldCacheImage(plain, request("https://h/t.png"), std::nullopt));
    EXPECT_TRUE(cache->removeImageforRequest(request("https://h/t.png"), std::nullopt));
    EXPECT_FALSE(cache->imageWithIdentifier("https://h/t.png"));
}

// A subclass that keeps its own tier sees every request-keyed call and every memory warning.
class CountingCache : public HTAutoPurgingImageCache {
  public:
    static std::shared_ptr<CountingCache> make() {
        std::shared_ptr<CountingCache> cache(new CountingCache);
        cache->observeMemoryWarnings();
        return cache;
    }
    ImagePtr imageWithIdentifier(const std::string& identifier) override {
        ++lookups;
        return HTAutoPurgingImageCache::imageWithIdentifier(identifier);
    }
    bool removeAllImages() override {
        ++clears;
        return HTAutoPurgingImageCache::removeAllImages();
    }
    int lookups = 0;
    int clears = 0;

  private:
    CountingCache() : HTAutoPurgingImageCache(DefaultMemoryCapacity, 1000) {}
};

TEST(ImageCacheTest, MemoryWarningEmptiesTheCacheThroughOverrides) {
    auto cache = CountingCache::make();
    cache->addImage(image(10, 10), request("https://h/a.png"), std::nullopt);
    EXPECT_TRUE(cache->imageforRequest(request("https://h/a.png"), std::nullopt));
    EXPECT_EQ(cache->lookups, 1);

    postMemoryWarning();
    EXPECT_EQ(cache->clears, 1);
    EXPECT_EQ(cache->memoryUsage(), 0u);
    EXPECT_FALSE(cache->imageWithIdentifier("https://h/a.png"));

    // A cache that is gone no longer listens.
    std::weak_ptr<CountingCache> weak = cache;
    cache.reset();
    EXPECT_TRUE(weak.expired());
    postMemoryWarning();
}

TEST(ImageCacheTest, TheCgroupRunningOutOfMemoryEmptiesTheCache) {
    test::TempDir dir;
    const auto events = dir / "memory.events";
    test::writeFile(events, "low 0\nhigh 0\nmax 0\noom 0\noom_kill 0\n");
    std::mutex mutex;
    std::condition_variable posted;
    int warnings = 0;
    auto observer = NotificationCenter::defaultCenter().addObserver(
        ApplicationDidReceiveMemoryWarningNotification, [&](const Notification&) {
            std::lock_guard lock(mutex);
            ++warnings;
            posted.notify_all();
        });
    auto cache = CountingCache::make();
    cache->addImage(image(10, 10), "a");
    auto watch = MemoryPressureWatch::start({{}, events});
    ASSERT_TRUE(watch && watch->watchesCgroupEvents());

    // Reclaim below the cgroup's protection is no shortage; reaching its limit is.
    test::writeFile(events, "low 4\nhigh 0\nmax 0\noom 0\noom_kill 0\n");
    test::writeFile(events, "low 4\nhigh 1\nmax 0\noom 0\noom_kill 0\n");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(posted.wait_for(lock, std::chrono::seconds(20), [&] { return warnings > 0; }));
    }
    watch.reset();
    NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(cache->clears, 1);
    EXPECT_FALSE(cache->imageWithIdentifier("a"));
}

TEST(ImageCacheTest, MemoryPressureWatchTakesOnlySourcesItCanWatch) {
    test::TempDir dir;
    EXPECT_FALSE(MemoryPressureWatch::start({dir / "none", dir / "none.events"}));
    // A plain file takes no stall trigger.
    test::writeFile(dir / "memory", "");
    EXPECT_FALSE(MemoryPressureWatch::start({dir / "memory", {}}));
    if (std::filesystem::exists("/proc/pressure/memory")) {
        auto watch = MemoryPressureWatch::start({"/proc/pressure/memory", {}});
        ASSERT_TRUE(watch);
        EXPECT_TRUE(watch->watchesPressureStall());
    }
}

// Lookups of one entry from many threads while others add: usage stays the sum of the entries.
TEST(ImageCacheTest, ConcurrentUseKeepsTheTotalConsistent) {
    auto cache = HTAutoPurgingImageCache::make(40000, 20000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                cache->addImage(image(10, 10), "k" + std::to_string((t * 200 + i) % 150));
                (void)cache->imageWithIdentifier("k1");
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    std::uint64_t sum = 0;
    for (int i = 0; i < 150; ++i)
        if (cache->imageWithIdentifier("k" + std::to_string(i)))
            sum += 400;
    EXPECT_EQ(cache->memoryUsage(), sum);
    EXPECT_LE(sum, 40000u);
}

}  // namespace
}  // namespace quarra
