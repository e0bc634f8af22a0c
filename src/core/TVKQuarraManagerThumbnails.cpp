// The request engine's document thumbnails: the request to the Quarra and the downloader, with
// its encrypted per-user cache, that the SDK keeps for them.
#include <mutex>

#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKAutoPurgingImageCache.h"
#include "core/TVKQuarraManager.h"
#include "quarra/HTImageViewTransport.h"
#include "transport/HTHTTPSessionManager.h"
#include "transport/HTImageDownloader.h"
#include "transport/HTImageResponseSerializer.h"

namespace quarra {

namespace {

std::mutex& thumbnailMutex() {
    static std::mutex mutex;
    return mutex;
}

HTImageDownloaderPtr& thumbnailDownloader() {
    // Never destroyed: its downloads may still finish while the process exits.
    static HTImageDownloaderPtr& downloader = *new HTImageDownloaderPtr();
    return downloader;
}

const HTImageDownloaderPtr& makeThumbnailDownloaderOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto manager = HTHTTPSessionManager::make(
            std::nullopt, HTImageDownloader::defaultURLSessionConfiguration());
        auto serializer = HTImageResponseSerializer::serializer();
        // The cache writes each downloaded thumbnail's own bytes to its encrypted file.
        serializer->setKeepsEncodedData(true);
        manager->setResponseSerializer(serializer);
        auto downloader = HTImageDownloader::make(manager, HTImageDownloadPrioritization::FIFO, 4,
                                                  TVKAutoPurgingImageCache::make());
        setSharedImageDownloader<ui::ImageView>(downloader);
        std::lock_guard lock(thumbnailMutex());
        thumbnailDownloader() = downloader;
    });
    return thumbnailDownloader();
}

}  // namespace

void TVKQuarraManager::setQuarraDocumentThumbnailWithImageView(
    const std::shared_ptr<ui::ImageView>& imageView, ImagePtr placeholder, unsigned long documentId,
    unsigned long majorVersion, unsigned long minorVersion, const TVKQuarraPtr& quarra) {
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    TVKUserInternalPtr user = auth.currentUser();
    if (!user || !imageView)
        return;
    makeThumbnailDownloaderOnce();

    const std::string endpoint = "objects/documents/" + std::to_string(documentId) + "/versions/" +
                                 std::to_string(majorVersion) + "/" + std::to_string(minorVersion) +
                                 "/thumbnail";
    const std::string host = quarra ? quarraDNS(*quarra) : std::string();
    UrlRequest request;
    if (auto url = Url::parse(urlForQuarraEndpoint(endpoint, host)); url && !host.empty())
        request.url = *url;
    // A session belongs to the Quarra it was opened with: another server never sees it.
    const TVKQuarraPtr& current = user->currentQuarra();
    if (!host.empty() && current && quarraDNS(*current) == host) {
        if (auto sessionId = auth.sessionId())
            request.setValue(*sessionId, "Authorization");
    }
    setImageWithURLRequest(imageView, request, std::move(placeholder));
}

std::shared_ptr<HTImageDownloader> TVKQuarraManager::thumbnailImageDownloader() {
    std::lock_guard lock(thumbnailMutex());
    return thumbnailDownloader();
}

void TVKQuarraManager::clearThumbnailMemoryCache() {
    auto downloader = thumbnailImageDownloader();
    if (!downloader)
        return;
    if (const auto& cache = downloader->imageCache())
        (void)cache->removeAllImages();
    // The replies the downloader's session kept answer without a server check.
    if (const auto& session = downloader->sessionManager()->session())
        if (const auto& replies = session->configuration().urlCache)
            replies->removeAllCachedResponses();
}

}  // namespace quarra
