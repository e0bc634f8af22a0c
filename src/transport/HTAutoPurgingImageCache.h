#pragma once
// An in-memory cache of decoded images. Each image counts width x height x 4 bytes of its pixels;
// when an insertion takes the total above the memory capacity, the least recently used images go
// until the total is at most the preferred size. A memory warning (platform/MemoryPressure.h)
// empties the cache.
//
// Safe to use from any thread: lookups run in parallel, insertions and removals one at a time.
// Insertion does not wait; a lookup or removal made after it, from any thread, sees it.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "quarra/Dispatch.h"
#include "quarra/NotificationCenter.h"
#include "transport/HTImageCache.h"

namespace quarra {

class HTCachedImage {
  public:
    using Date = std::chrono::system_clock::time_point;

    HTCachedImage(ImagePtr image, std::string identifier);

    const ImagePtr& image() const { return image_; }
    const std::string& identifier() const { return identifier_; }
    std::uint64_t totalBytes() const { return totalBytes_; }
    Date lastAccessDate() const;
    // The image, with the access date set to now. Safe while other threads access the entry.
    ImagePtr accessImage();
    // Orders entries by last access; unique, so equal dates still have an order (the earlier
    // access first).
    std::uint64_t accessOrder() const { return accessOrder_.load(); }

    // "Idenfitier: <identifier>  lastAccessDate: <date> "
    std::string description() const;

    // (width x scale) x (height x scale) x 4, the fraction dropped before the factor 4; 0 without
    // an image.
    static std::uint64_t estimatedBytes(const ImagePtr& image);

  private:
    void touch();

    const ImagePtr image_;
    const std::string identifier_;
    const std::uint64_t totalBytes_;
    std::atomic<std::int64_t> lastAccessNanoseconds_{0};
    std::atomic<std::uint64_t> accessOrder_{0};
};

class HTAutoPurgingImageCache : public HTImageRequestCache,
                                public std::enable_shared_from_this<HTAutoPurgingImageCache> {
  public:
    static constexpr std::uint64_t DefaultMemoryCapacity = 100ull * 1024 * 1024;
    static constexpr std::uint64_t DefaultPreferredMemoryUsageAfterPurge = 60ull * 1024 * 1024;

    // A cache that already observes memory warnings.
    static std::shared_ptr<HTAutoPurgingImageCache> make(
        std::uint64_t memoryCapacity = DefaultMemoryCapacity,
        std::uint64_t preferredMemoryCapacity = DefaultPreferredMemoryUsageAfterPurge);
    ~HTAutoPurgingImageCache() override;
    HTAutoPurgingImageCache(const HTAutoPurgingImageCache&) = delete;
    HTAutoPurgingImageCache& operator=(const HTAutoPurgingImageCache&) = delete;

    std::uint64_t memoryCapacity() const { return memoryCapacity_.load(); }
    void setMemoryCapacity(std::uint64_t bytes) { memoryCapacity_ = bytes; }
    std::uint64_t preferredMemoryUsageAfterPurge() const { return preferred_.load(); }
    void setPreferredMemoryUsageAfterPurge(std::uint64_t bytes) { preferred_ = bytes; }
    std::uint64_t memoryUsage() const;

    using HTImageRequestCache::addImage;
    void addImage(ImagePtr image, const std::string& identifier) override;
    bool removeImageWithIdentifier(const std::string& identifier) override;
    bool removeAllImages() override;
    ImagePtr imageWithIdentifier(const std::string& identifier) override;

    // Always true.
    bool shouldCacheImage(const ImagePtr& image, const UrlRequest& request,
                          const std::optional<std::string>& additionalIdentifier) override;
    // These call the identifier operations above, so a subclass's overrides take effect.
    void addImage(ImagePtr image, const UrlRequest& request,
                  const std::optional<std::string>& additionalIdentifier) override;
    bool removeImageforRequest(const UrlRequest& request,
                               const std::optional<std::string>& additionalIdentifier) override;
    ImagePtr imageforRequest(const UrlRequest& request,
                             const std::optional<std::string>& additionalIdentifier) override;

    // The request URL's absolute string, the additional identifier appended without separator.
    static std::string imageCacheKeyFromURLRequest(
        const UrlRequest& request, const std::optional<std::string>& additionalIdentifier);

  protected:
    HTAutoPurgingImageCache(std::uint64_t memoryCapacity, std::uint64_t preferredMemoryCapacity);
    // Registers for memory warnings, which call removeAllImages() (a subclass's override when
    // there is one). A subclass's factory calls this once the object is owned by a shared_ptr.
    void observeMemoryWarnings();

  private:
    void purge();

    std::atomic<std::uint64_t> memoryCapacity_;
    std::atomic<std::uint64_t> preferred_;
    const DispatchQueuePtr synchronizationQueue_;
    // Guarded by synchronizationQueue_.
    std::unordered_map<std::string, std::shared_ptr<HTCachedImage>> cachedImages_;
    std::uint64_t currentMemoryUsage_ = 0;
    ObserverToken memoryWarningObserver_ = 0;
};

using HTAutoPurgingImageCachePtr = std::shared_ptr<HTAutoPurgingImageCache>;

}  // namespace quarra
