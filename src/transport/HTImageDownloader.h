#pragma once
// Fetches images over an HTTP session manager whose response serializer decodes them. Answers from
// its image cache when the request's cache policy allows, merges concurrent requests for one URL
// into one task with a handler per requester, runs at most maximumActiveDownloads tasks at once
// and queues the rest (first in first out, or last in first out), stores every downloaded image in
// the cache, and lets each requester withdraw through its receipt.
//
// Safe to use from any thread. Success and failure blocks run on the main queue, in the order the
// requesters were added.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/URLSession.h"
#include "quarra/Dispatch.h"
#include "quarra/HTImageDownloaderFwd.h"
#include "quarra/Image.h"
#include "transport/HTAutoPurgingImageCache.h"
#include "transport/HTHTTPSessionManager.h"

namespace quarra {

enum class HTImageDownloadPrioritization { FIFO = 0, LIFO = 1 };

class HTImageDownloaderResponseHandler {
  public:
    using SuccessBlock = HTImageDownloadSuccessBlock;
    using FailureBlock = HTImageDownloadFailureBlock;

    HTImageDownloaderResponseHandler(std::string uuid, SuccessBlock success, FailureBlock failure)
        : uuid_(std::move(uuid)),
          successBlock_(std::move(success)),
          failureBlock_(std::move(failure)) {}

    const std::string& uuid() const { return uuid_; }
    const SuccessBlock& successBlock() const { return successBlock_; }
    const FailureBlock& failureBlock() const { return failureBlock_; }
    // "<HTImageDownloaderResponseHandler>UUID: <uuid>"
    std::string description() const { return "<HTImageDownloaderResponseHandler>UUID: " + uuid_; }

  private:
    const std::string uuid_;
    const SuccessBlock successBlock_;
    const FailureBlock failureBlock_;
};

using HTImageDownloaderResponseHandlerPtr = std::shared_ptr<HTImageDownloaderResponseHandler>;

// One network task shared by every requester of one URL. Read and changed only on the
// downloader's synchronization queue.
class HTImageDownloaderMergedTask {
  public:
    HTImageDownloaderMergedTask(std::string URLIdentifier, std::string identifier,
                                URLSessionTaskPtr task)
        : URLIdentifier_(std::move(URLIdentifier)),
          identifier_(std::move(identifier)),
          task_(std::move(task)) {}

    const std::string& URLIdentifier() const { return URLIdentifier_; }
    // Tells this task apart from a later one for the same URL.
    const std::string& identifier() const { return identifier_; }
    const URLSessionTaskPtr& task() const { return task_; }
    const std::vector<HTImageDownloaderResponseHandlerPtr>& responseHandlers() const {
        return responseHandlers_;
    }
    void addResponseHandler(HTImageDownloaderResponseHandlerPtr handler) {
        responseHandlers_.push_back(std::move(handler));
    }
    void removeResponseHandler(const HTImageDownloaderResponseHandlerPtr& handler);
    // Whether the downloader has resumed the task (and counts it as active).
    bool isStarted() const { return started_; }
    void markStarted() { started_ = true; }

  private:
    bool started_ = false;
    const std::string URLIdentifier_;
    const std::string identifier_;
    const URLSessionTaskPtr task_;
    std::vector<HTImageDownloaderResponseHandlerPtr> responseHandlers_;
};

using HTImageDownloaderMergedTaskPtr = std::shared_ptr<HTImageDownloaderMergedTask>;

class HTImageDownloadReceipt {
  public:
    HTImageDownloadReceipt(std::string receiptID, URLSessionTaskPtr task)
        : receiptID_(std::move(receiptID)), task_(std::move(task)) {}
    const std::string& receiptID() const { return receiptID_; }
    // The task that delivers the requester's image (shared with other requesters of the URL).
    const URLSessionTaskPtr& task() const { return task_; }

  private:
    const std::string receiptID_;
    const URLSessionTaskPtr task_;
};

class HTImageDownloader : public std::enable_shared_from_this<HTImageDownloader> {
  public:
    using SuccessBlock = HTImageDownloaderResponseHandler::SuccessBlock;
    using FailureBlock = HTImageDownloaderResponseHandler::FailureBlock;

    // A new URL cache of 20 MB. It is held in memory only (there is no disk part), so replies of
    // authenticated images never reach the disk.
    static URLCachePtr defaultURLCache();
    // The default configuration with a 60-second request time-out and the defaultURLCache.
    static URLSessionConfiguration defaultURLSessionConfiguration();

    // A session manager over the default configuration with an image response serializer, FIFO
    // order, 4 active downloads and a new image cache.
    static std::shared_ptr<HTImageDownloader> make();
    static std::shared_ptr<HTImageDownloader> make(const URLSessionConfiguration& configuration);
    // `imageCache` may be null: nothing is cached. Throws std::invalid_argument for a null manager
    // or a maximum below 1 (programming errors).
    static std::shared_ptr<HTImageDownloader> make(
        HTHTTPSessionManagerPtr sessionManager,
        HTImageDownloadPrioritization downloadPrioritization, long maximumActiveDownloads,
        std::shared_ptr<HTImageRequestCache> imageCache);
    // One downloader for the whole process, made on first use.
    static const std::shared_ptr<HTImageDownloader>& defaultInstance();

    HTImageDownloader(const HTImageDownloader&) = delete;
    HTImageDownloader& operator=(const HTImageDownloader&) = delete;

    const std::shared_ptr<HTImageRequestCache>& imageCache() const { return imageCache_; }
    const HTHTTPSessionManagerPtr& sessionManager() const { return sessionManager_; }
    HTImageDownloadPrioritization downloadPrioritizaton() const { return prioritization_; }
    long maximumActiveDownloads() const { return maximumActiveDownloads_; }
    // Started tasks not yet finished.
    long activeRequestCount() const;

    // With a new receipt identifier.
    HTImageDownloadReceiptPtr downloadImageForURLRequest(const UrlRequest& request,
                                                         SuccessBlock success,
                                                         FailureBlock failure);
    // A receipt for the task that will deliver the image; null when the image came from the cache
    // (success already queued on the main queue) or the request has no URL (failure with
    // URLErrorBadURL queued).
    HTImageDownloadReceiptPtr downloadImageForURLRequest(const UrlRequest& request,
                                                         const std::string& receiptID,
                                                         SuccessBlock success,
                                                         FailureBlock failure);
    // Withdraws the receipt's requester: its failure block gets URLErrorCancelled, once. A task
    // that no requester waits for any more is cancelled if it has not started; a running one
    // finishes and its image still enters the cache.
    void cancelTaskForImageDownloadReceipt(const HTImageDownloadReceiptPtr& receipt);

  private:
    HTImageDownloader(HTHTTPSessionManagerPtr sessionManager,
                      HTImageDownloadPrioritization prioritization, long maximumActiveDownloads,
                      std::shared_ptr<HTImageRequestCache> imageCache);

    void handleCompletion(const UrlRequest& request, const std::string& URLIdentifier,
                          const std::string& mergedTaskIdentifier, const HttpResponsePtr& response,
                          const ImagePtr& image, const ErrorPtr& error);
    // On the synchronization queue.
    void startMergedTask(const HTImageDownloaderMergedTaskPtr& mergedTask);
    void enqueueMergedTask(const HTImageDownloaderMergedTaskPtr& mergedTask);
    void safelyStartNextTaskIfNecessary();

    const HTHTTPSessionManagerPtr sessionManager_;
    const HTImageDownloadPrioritization prioritization_;
    const long maximumActiveDownloads_;
    const std::shared_ptr<HTImageRequestCache> imageCache_;
    const DispatchQueuePtr synchronizationQueue_;
    const DispatchQueuePtr responseQueue_;

    // Guarded by synchronizationQueue_.
    long activeRequestCount_ = 0;
    std::deque<HTImageDownloaderMergedTaskPtr> queuedMergedTasks_;
    std::unordered_map<std::string, HTImageDownloaderMergedTaskPtr> mergedTasks_;
};

}  // namespace quarra
