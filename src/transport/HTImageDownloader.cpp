#include "transport/HTImageDownloader.h"

#include <algorithm>
#include <stdexcept>

#include "platform/URLError.h"
#include "platform/Uuid.h"
#include "transport/HTImageResponseSerializer.h"

namespace quarra {

namespace {

std::string newUuid() {
    // Without a random source there is no safe identifier at all.
    auto uuid = uuidString();
    if (!uuid)
        throw std::runtime_error("HTImageDownloader: the system's random source failed");
    return *uuid;
}

}  // namespace

void HTImageDownloaderMergedTask::removeResponseHandler(
    const HTImageDownloaderResponseHandlerPtr& handler) {
    auto it = std::find(responseHandlers_.begin(), responseHandlers_.end(), handler);
    if (it != responseHandlers_.end())
        responseHandlers_.erase(it);
}

URLCachePtr HTImageDownloader::defaultURLCache() {
    return URLCache::make(20 * 1024 * 1024);
}

URLSessionConfiguration HTImageDownloader::defaultURLSessionConfiguration() {
    auto configuration = URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = 60.0;
    configuration.urlCache = defaultURLCache();
    return configuration;
}

std::shared_ptr<HTImageDownloader> HTImageDownloader::make() {
    return make(defaultURLSessionConfiguration());
}

std::shared_ptr<HTImageDownloader> HTImageDownloader::make(
    const URLSessionConfiguration& configuration) {
    auto manager = HTHTTPSessionManager::make(std::nullopt, configuration);
    manager->setResponseSerializer(HTImageResponseSerializer::serializer());
    return make(std::move(manager), HTImageDownloadPrioritization::FIFO, 4,
                HTAutoPurgingImageCache::make());
}

std::shared_ptr<HTImageDownloader> HTImageDownloader::make(
    HTHTTPSessionManagerPtr sessionManager, HTImageDownloadPrioritization downloadPrioritization,
    long maximumActiveDownloads, std::shared_ptr<HTImageRequestCache> imageCache) {
    if (!sessionManager)
        throw std::invalid_argument("HTImageDownloader: no session manager");
    if (maximumActiveDownloads < 1)
        throw std::invalid_argument("HTImageDownloader: at least one download must be allowed");
    return std::shared_ptr<HTImageDownloader>(
        new HTImageDownloader(std::move(sessionManager), downloadPrioritization,
                              maximumActiveDownloads, std::move(imageCache)));
}

const std::shared_ptr<HTImageDownloader>& HTImageDownloader::defaultInstance() {
    // Never destroyed: its downloads may still finish while the process exits.
    static const auto& instance = *new std::shared_ptr<HTImageDownloader>(make());
    return instance;
}

HTImageDownloader::HTImageDownloader(HTHTTPSessionManagerPtr sessionManager,
                                     HTImageDownloadPrioritization prioritization,
                                     long maximumActiveDownloads,
                                     std::shared_ptr<HTImageRequestCache> imageCache)
    : sessionManager_(std::move(sessionManager)),
      prioritization_(prioritization),
      maximumActiveDownloads_(maximumActiveDownloads),
      imageCache_(std::move(imageCache)),
      synchronizationQueue_(DispatchQueue::serial(
          "com.tovik.transport.imagedownloader.synchronizationqueue-" + newUuid())),
      responseQueue_(DispatchQueue::concurrent(
          "com.tovik.transport.imagedownloader.responsequeue-" + newUuid())) {}

long HTImageDownloader::activeRequestCount() const {
    return synchronizationQueue_->syncResult([&] { return activeRequestCount_; });
}

HTImageDownloadReceiptPtr HTImageDownloader::downloadImageForURLRequest(const UrlRequest& request,
                                                                        SuccessBlock success,
                                                                        FailureBlock failure) {
    return downloadImageForURLRequest(request, newUuid(), std::move(success), std::move(failure));
}

HTImageDownloadReceiptPtr HTImageDownloader::downloadImageForURLRequest(
    const UrlRequest& request, const std::string& receiptID, SuccessBlock success,
    FailureBlock failure) {
    const std::string URLIdentifier = request.url.string();
    if (URLIdentifier.empty()) {
        if (failure) {
            auto error = makeURLError(URLErrorBadURL, request.url);
            DispatchQueue::main()->async(
                [failure, request, error] { failure(request, nullptr, error); });
        }
        return nullptr;
    }

    URLSessionTaskPtr attached;
    synchronizationQueue_->sync([&] {
        if (auto it = mergedTasks_.find(URLIdentifier); it != mergedTasks_.end()) {
            it->second->addResponseHandler(
                std::make_shared<HTImageDownloaderResponseHandler>(receiptID, success, failure));
            attached = it->second->task();
            return;
        }

        switch (request.cachePolicy) {
            case UrlRequestCachePolicy::UseProtocolCachePolicy:
            case UrlRequestCachePolicy::ReturnCacheDataElseLoad:
            case UrlRequestCachePolicy::ReturnCacheDataDontLoad:
                if (imageCache_) {
                    if (ImagePtr cached = imageCache_->imageforRequest(request, std::nullopt)) {
                        if (success)
                            DispatchQueue::main()->async(
                                [success, request, cached] { success(request, nullptr, cached); });
                        return;
                    }
                }
                break;
            default:
                break;
        }

        const std::string mergedTaskIdentifier = newUuid();
        std::weak_ptr<HTImageDownloader> weak = weak_from_this();
        auto responseQueue = responseQueue_;
        URLSessionTaskPtr task = sessionManager_->dataTaskWithRequest(
            request,
            [weak, responseQueue, request, URLIdentifier, mergedTaskIdentifier](
                const HttpResponsePtr& response, const std::any& object, const ErrorPtr& error) {
                const ImagePtr* decoded = std::any_cast<ImagePtr>(&object);
                ImagePtr image = decoded ? *decoded : nullptr;
                responseQueue->async(
                    [weak, request, URLIdentifier, mergedTaskIdentifier, response, image, error] {
                        if (auto self = weak.lock())
                            self->handleCompletion(request, URLIdentifier, mergedTaskIdentifier,
                                                   response, image, error);
                    });
            });
        if (!task) {
            // The session is gone; its own cancellation error reaches nobody else, so tell the
            // requester here.
            if (failure) {
                auto error = makeURLError(URLErrorCancelled, request.url);
                DispatchQueue::main()->async(
                    [failure, request, error] { failure(request, nullptr, error); });
            }
            return;
        }

        auto mergedTask = std::make_shared<HTImageDownloaderMergedTask>(URLIdentifier,
                                                                        mergedTaskIdentifier, task);
        mergedTask->addResponseHandler(
            std::make_shared<HTImageDownloaderResponseHandler>(receiptID, success, failure));
        mergedTasks_[URLIdentifier] = mergedTask;
        if (activeRequestCount_ < maximumActiveDownloads_)
            startMergedTask(mergedTask);
        else
            enqueueMergedTask(mergedTask);
        attached = task;
    });
    if (!attached)
        return nullptr;
    return std::make_shared<HTImageDownloadReceipt>(receiptID, attached);
}

void HTImageDownloader::handleCompletion(const UrlRequest& request,
                                         const std::string& URLIdentifier,
                                         const std::string& mergedTaskIdentifier,
                                         const HttpResponsePtr& response, const ImagePtr& image,
                                         const ErrorPtr& error) {
    HTImageDownloaderMergedTaskPtr mergedTask;
    synchronizationQueue_->sync([&] {
        auto it = mergedTasks_.find(URLIdentifier);
        // A later task for the same URL is not this one's business.
        if (it == mergedTasks_.end() || it->second->identifier() != mergedTaskIdentifier)
            return;
        mergedTask = it->second;
        mergedTasks_.erase(it);
    });

    if (mergedTask) {
        const auto handlers =
            synchronizationQueue_->syncResult([&] { return mergedTask->responseHandlers(); });
        if (error) {
            for (const auto& handler : handlers) {
                if (auto failure = handler->failureBlock())
                    DispatchQueue::main()->async(
                        [failure, request, response, error] { failure(request, response, error); });
            }
        } else {
            if (imageCache_ && imageCache_->shouldCacheImage(image, request, std::nullopt))
                imageCache_->addImage(image, request, std::nullopt);
            for (const auto& handler : handlers) {
                if (auto success = handler->successBlock())
                    DispatchQueue::main()->async(
                        [success, request, response, image] { success(request, response, image); });
            }
        }
    }

    synchronizationQueue_->sync([&] {
        // Only a task that was started holds a slot: the completion of a waiting task that was
        // cancelled must not free a slot that a running task still uses.
        if (mergedTask && mergedTask->isStarted() && activeRequestCount_ > 0)
            --activeRequestCount_;
        safelyStartNextTaskIfNecessary();
    });
}

void HTImageDownloader::startMergedTask(const HTImageDownloaderMergedTaskPtr& mergedTask) {
    mergedTask->markStarted();
    mergedTask->task()->resume();
    ++activeRequestCount_;
}

void HTImageDownloader::enqueueMergedTask(const HTImageDownloaderMergedTaskPtr& mergedTask) {
    if (prioritization_ == HTImageDownloadPrioritization::FIFO)
        queuedMergedTasks_.push_back(mergedTask);
    else
        queuedMergedTasks_.push_front(mergedTask);
}

void HTImageDownloader::safelyStartNextTaskIfNecessary() {
    if (activeRequestCount_ >= maximumActiveDownloads_)
        return;
    while (!queuedMergedTasks_.empty()) {
        auto next = queuedMergedTasks_.front();
        queuedMergedTasks_.pop_front();
        if (next->task()->state() == URLSessionTaskState::Suspended) {
            startMergedTask(next);
            break;
        }
    }
}

void HTImageDownloader::cancelTaskForImageDownloadReceipt(
    const HTImageDownloadReceiptPtr& receipt) {
    if (!receipt || !receipt->task())
        return;
    const UrlRequest& request = receipt->task()->originalRequest();
    const std::string URLIdentifier = request.url.string();
    synchronizationQueue_->sync([&] {
        auto it = mergedTasks_.find(URLIdentifier);
        if (it == mergedTasks_.end())
            return;
        const auto mergedTask = it->second;
        // Another task for the same URL may have taken the place of the receipt's: only the
        // receipt's own task can lose its requester.
        if (mergedTask->task() != receipt->task())
            return;
        const auto& handlers = mergedTask->responseHandlers();
        auto found = std::find_if(handlers.begin(), handlers.end(), [&](const auto& handler) {
            return handler->uuid() == receipt->receiptID();
        });
        if (found != handlers.end()) {
            auto handler = *found;
            mergedTask->removeResponseHandler(handler);
            if (auto failure = handler->failureBlock()) {
                auto error =
                    Error::make(URLErrorDomain, URLErrorCancelled,
                                Json{{LocalizedFailureReasonKey,
                                      "ImageDownloader cancelled URL request: " + URLIdentifier},
                                     {URLErrorFailingURLStringKey, URLIdentifier}});
                DispatchQueue::main()->async(
                    [failure, request, error] { failure(request, nullptr, error); });
            }
        }
        if (mergedTask->responseHandlers().empty() &&
            mergedTask->task()->state() == URLSessionTaskState::Suspended) {
            mergedTask->task()->cancel();
            mergedTasks_.erase(URLIdentifier);
        }
    });
}

}  // namespace quarra
