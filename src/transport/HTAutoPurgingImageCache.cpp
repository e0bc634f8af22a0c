#include "platform/MemoryPressure.h"
#include "transport/HTAutoPurgingImageCache.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "quarra/MemoryPressure.h"
#include "platform/Uuid.h"

namespace quarra {

namespace {

// Orders accesses even when two fall on the same clock tick.
std::atomic<std::uint64_t> accessCounter{0};

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

HTCachedImage::HTCachedImage(ImagePtr image, std::string identifier)
    : image_(std::move(image)),
      identifier_(std::move(identifier)),
      totalBytes_(estimatedBytes(image_)) {
    touch();
}

std::uint64_t HTCachedImage::estimatedBytes(const ImagePtr& image) {
    if (!image)
        return 0;
    auto size = image->size();
    double pixels = (size.width * image->scale()) * (size.height * image->scale());
    return static_cast<std::uint64_t>(pixels) * 4;
}

void HTCachedImage::touch() {
    lastAccessNanoseconds_.store(nowNanoseconds());
    accessOrder_.store(++accessCounter);
}

HTCachedImage::Date HTCachedImage::lastAccessDate() const {
    return Date(std::chrono::duration_cast<Date::duration>(
        std::chrono::nanoseconds(lastAccessNanoseconds_.load())));
}

ImagePtr HTCachedImage::accessImage() {
    touch();
    return image_;
}

std::string HTCachedImage::description() const {
    std::time_t seconds = std::chrono::system_clock::to_time_t(lastAccessDate());
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return "Idenfitier: " + identifier_ + "  lastAccessDate: " + date + " ";
}

HTAutoPurgingImageCache::HTAutoPurgingImageCache(std::uint64_t memoryCapacity,
                                                 std::uint64_t preferredMemoryCapacity)
    : memoryCapacity_(memoryCapacity),
      preferred_(preferredMemoryCapacity),
      synchronizationQueue_(DispatchQueue::concurrent("com.tovik.transport.autopurgingimagecache-" +
                                                      uuidString().value_or(""))) {}

std::shared_ptr<HTAutoPurgingImageCache> HTAutoPurgingImageCache::make(
    std::uint64_t memoryCapacity, std::uint64_t preferredMemoryCapacity) {
    std::shared_ptr<HTAutoPurgingImageCache> cache(
        new HTAutoPurgingImageCache(memoryCapacity, preferredMemoryCapacity));
    cache->observeMemoryWarnings();
    watchMemoryPressure();
    return cache;
}

void HTAutoPurgingImageCache::observeMemoryWarnings() {
    if (memoryWarningObserver_)
        return;
    std::weak_ptr<HTAutoPurgingImageCache> weak = weak_from_this();
    memoryWarningObserver_ = NotificationCenter::defaultCenter().addObserver(
        ApplicationDidReceiveMemoryWarningNotification, [weak](const Notification&) {
            if (auto cache = weak.lock())
                (void)cache->removeAllImages();
        });
}

HTAutoPurgingImageCache::~HTAutoPurgingImageCache() {
    if (memoryWarningObserver_)
        NotificationCenter::defaultCenter().removeObserver(memoryWarningObserver_);
}

std::uint64_t HTAutoPurgingImageCache::memoryUsage() const {
    return synchronizationQueue_->syncResult([&] { return currentMemoryUsage_; });
}

void HTAutoPurgingImageCache::addImage(ImagePtr image, const std::string& identifier) {
    // The blocks keep the cache alive until they have run.
    auto self = shared_from_this();
    synchronizationQueue_->asyncBarrier([self, image = std::move(image), identifier] {
        auto entry = std::make_shared<HTCachedImage>(image, identifier);
        auto& slot = self->cachedImages_[identifier];
        if (slot)
            self->currentMemoryUsage_ -= slot->totalBytes();
        slot = entry;
        self->currentMemoryUsage_ += entry->totalBytes();
    });
    synchronizationQueue_->asyncBarrier([self] { self->purge(); });
}

void HTAutoPurgingImageCache::purge() {
    const std::uint64_t capacity = memoryCapacity_.load();
    if (currentMemoryUsage_ <= capacity)
        return;
    // A preferred size above the capacity would leave nothing to free (or, subtracted blindly,
    // wrap around and free everything): aim for the smaller of the two.
    const std::uint64_t target = std::min(preferred_.load(), capacity);
    const std::uint64_t bytesToPurge = currentMemoryUsage_ - target;

    std::vector<std::shared_ptr<HTCachedImage>> entries;
    entries.reserve(cachedImages_.size());
    for (const auto& [identifier, entry] : cachedImages_)
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a->accessOrder() < b->accessOrder(); });

    std::uint64_t bytesPurged = 0;
    for (const auto& entry : entries) {
        cachedImages_.erase(entry->identifier());
        bytesPurged += entry->totalBytes();
        if (bytesPurged >= bytesToPurge)
            break;
    }
    currentMemoryUsage_ -= std::min(bytesPurged, currentMemoryUsage_);
}

bool HTAutoPurgingImageCache::removeImageWithIdentifier(const std::string& identifier) {
    bool removed = false;
    synchronizationQueue_->syncBarrier([&] {
        auto it = cachedImages_.find(identifier);
        if (it == cachedImages_.end())
            return;
        currentMemoryUsage_ -= it->second->totalBytes();
        cachedImages_.erase(it);
        removed = true;
    });
    return removed;
}

bool HTAutoPurgingImageCache::removeAllImages() {
    bool removed = false;
    synchronizationQueue_->syncBarrier([&] {
        if (cachedImages_.empty())
            return;
        cachedImages_.clear();
        currentMemoryUsage_ = 0;
        removed = true;
    });
    return removed;
}

ImagePtr HTAutoPurgingImageCache::imageWithIdentifier(const std::string& identifier) {
    return synchronizationQueue_->syncResult([&]() -> ImagePtr {
        auto it = cachedImages_.find(identifier);
        return it == cachedImages_.end() ? nullptr : it->second->accessImage();
    });
}

std::string HTAutoPurgingImageCache::imageCacheKeyFromURLRequest(
    const UrlRequest& request, const std::optional<std::string>& additionalIdentifier) {
    std::string key = request.url.string();
    if (additionalIdentifier)
        key += *additionalIdentifier;
    return key;
}

bool HTAutoPurgingImageCache::shouldCacheImage(const ImagePtr&, const UrlRequest&,
                                               const std::optional<std::string>&) {
    return true;
}

void HTAutoPurgingImageCache::addImage(ImagePtr image, const UrlRequest& request,
                                       const std::optional<std::string>& additionalIdentifier) {
    addImage(std::move(image), imageCacheKeyFromURLRequest(request, additionalIdentifier));
}

bool HTAutoPurgingImageCache::removeImageforRequest(
    const UrlRequest& request, const std::optional<std::string>& additionalIdentifier) {
    return removeImageWithIdentifier(imageCacheKeyFromURLRequest(request, additionalIdentifier));
}

ImagePtr HTAutoPurgingImageCache::imageforRequest(
    const UrlRequest& request, const std::optional<std::string>& additionalIdentifier) {
    return imageWithIdentifier(imageCacheKeyFromURLRequest(request, additionalIdentifier));
}

}  // namespace quarra
