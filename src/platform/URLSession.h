#pragma once
// The URL loading system: a session runs HTTP(S) transfers on one worker thread of its own
// (libcurl's multi interface) and tells its delegate about them, one event at a time and in order,
// on its serial delegate queue. Redirects, server trust, replies and body streams are decided by
// the delegate.
//
// A background session (configuration with an identifier) also keeps its upload-from-file and
// download tasks on disk. Made again with the same identifier, in this or a later process, it
// adopts what is left: unfinished uploads start again from their file, unfinished downloads
// continue with a Range request, finished tasks whose completion never reached a delegate (or, for
// a session that keeps completed tasks until told to forget them, was never forgotten) are
// delivered again, with an upload's reply, and then the delegate hears that the background events
// are finished.
//
// Sessions live until invalidated (they hold their delegate until then). Every member is safe to
// call from any thread.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/AuthChallenge.h"
#include "platform/URLCache.h"
#include "platform/URLError.h"
#include "quarra/Dispatch.h"
#include "quarra/URLSessionTask.h"

namespace quarra {

class URLSessionLoader;
class URLSessionStore;

struct URLSessionConfiguration {
    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
    static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);

    // Set for background sessions only.
    std::optional<std::string> identifier;
    // Seconds without progress before a transfer fails with URLErrorTimedOut (the stricter of this
    // and the request's own time-out applies).
    double timeoutIntervalForRequest = 60;
    // Seconds a task may take in all, retries and redirects included.
    double timeoutIntervalForResource = 7 * 24 * 3600;
    // Added to every request that does not set the field itself.
    HttpHeaders httpAdditionalHeaders;
    long httpMaximumConnectionsPerHost = 6;
    // Requests carry the process's cookies and replies' cookies are kept, unless the request
    // itself says not to (httpShouldHandleCookies). Cookies live in memory only
    // (HTTPCookieStorage).
    bool httpShouldSetCookies = true;
    // Where data tasks' GET replies are kept and looked up (per the request's cachePolicy and
    // Cache-Control); none keeps nothing. Several sessions may share one.
    URLCachePtr urlCache;
    // Where a background session keeps its tasks; empty means a folder named after the identifier
    // in application support ("URLSessions/<identifier>").
    std::filesystem::path backgroundStorageDirectory;
    // Request header fields a background session never writes to disk (credentials). A task
    // adopted by a later process gets them again from prepareAdoptedRequest, which runs on the
    // thread that makes the session, before the task goes out again.
    std::vector<std::string> headerFieldsNotKept;
    std::function<void(std::uint64_t taskIdentifier, UrlRequest& request)> prepareAdoptedRequest;
    // Set: a background session keeps a completed task on disk until forgetTask(), not only until
    // its completion event returned, so a result that a process ended before handing on reaches
    // the delegate of a later one again.
    bool keepsCompletedTasksUntilForgotten = false;

    bool isBackground() const { return identifier.has_value(); }
};

// BecomeDownload turns a data task into a download task: the body goes to a file, and the events
// go on under the new task (see didBecomeDownloadTask).
enum class URLSessionResponseDisposition { Cancel = 0, Allow = 1, BecomeDownload = 2 };

// The session's events. Every method runs on the session's delegate queue, one at a time. The
// defaults are what the session does without a delegate; a method that receives a completion must
// call it exactly once (from any thread, now or later); the task waits for it.
class URLSessionDelegate {
  public:
    virtual ~URLSessionDelegate() = default;

    using ChallengeCompletion =
        std::function<void(AuthChallengeDisposition, std::optional<UrlCredential>)>;
    // A new TLS connection for `task` presents its chain. The handshake waits for the answer, at
    // most the task's time-out.
    virtual void didReceiveChallenge(URLSession&, const URLSessionTaskPtr&, const AuthChallenge&,
                                     ChallengeCompletion completion) {
        completion(AuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    // The server redirects; answer the request to follow or none to take the redirect as the reply.
    virtual void willPerformHTTPRedirection(
        URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&, UrlRequest proposed,
        std::function<void(std::optional<UrlRequest>)> completion) {
        completion(std::move(proposed));
    }
    // A streamed body must be sent (again, after a redirect that keeps the body); none fails the
    // task with URLErrorRequestBodyStreamExhausted, except on the first send, which then uses the
    // request's own stream.
    virtual void needNewBodyStream(URLSession&, const URLSessionTaskPtr&,
                                   std::function<void(InputStreamPtr)> completion) {
        completion(nullptr);
    }
    virtual void didSendBodyData(URLSession&, const URLSessionTaskPtr&, std::int64_t /*bytesSent*/,
                                 std::int64_t /*totalBytesSent*/,
                                 std::int64_t /*totalBytesExpectedToSend*/) {}
    // Data and upload tasks only.
    virtual void didReceiveResponse(URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&,
                                    std::function<void(URLSessionResponseDisposition)> completion) {
        completion(URLSessionResponseDisposition::Allow);
    }
    // Whether didReceiveResponse may answer BecomeDownload. Only then does a data task hold its
    // body back until the answer (so that none of it goes astray); otherwise that answer cancels.
    virtual bool mayTurnDataTasksIntoDownloads() const { return false; }
    // The data task has become `downloadTask`: the data task ends here, without a completion,
    // and every later event (written, finished, completion) is the download task's.
    virtual void didBecomeDownloadTask(URLSession&, const URLSessionTaskPtr& /*dataTask*/,
                                       const URLSessionTaskPtr& /*downloadTask*/) {}
    virtual void didReceiveData(URLSession&, const URLSessionTaskPtr&, const Bytes& /*data*/) {}
    // A data task's reply may be kept in the configuration's cache: answer what to keep (the
    // proposal, another one, or none). Comes after the last data, before the completion.
    virtual void willCacheResponse(URLSession&, const URLSessionTaskPtr&,
                                   const CachedURLResponsePtr& proposed,
                                   std::function<void(CachedURLResponsePtr)> completion) {
        completion(proposed);
    }
    // Download tasks only.
    virtual void didResumeAtOffset(URLSession&, const URLSessionTaskPtr&,
                                   std::int64_t /*fileOffset*/,
                                   std::int64_t /*expectedTotalBytes*/) {}
    virtual void didWriteData(URLSession&, const URLSessionTaskPtr&, std::int64_t /*bytesWritten*/,
                              std::int64_t /*totalBytesWritten*/,
                              std::int64_t /*totalBytesExpectedToWrite*/) {}
    // The file at `location` is removed when this returns; move it to keep it.
    virtual void didFinishDownloadingTo(URLSession&, const URLSessionTaskPtr&,
                                        const Url& /*location*/) {}
    // The task's last event.
    virtual void didCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr&) {}
    // The session's last event, after every task's completion.
    virtual void didBecomeInvalid(URLSession&, const ErrorPtr&) {}
    // A background session has delivered everything it adopted from earlier processes.
    virtual void didFinishEventsForBackgroundURLSession(URLSession&) {}
};

// The process's cookie store, shared by every session that handles cookies. It lives in memory
// only: nothing of it is ever written to disk.
class HTTPCookieStorage {
  public:
    static void removeAllCookies();
};

class URLSession : public std::enable_shared_from_this<URLSession> {
  public:
    // `delegateQueue` null makes a serial queue of the session's own.
    static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr,
                                            DispatchQueuePtr delegateQueue = nullptr);
    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const { return configuration_; }
    const DispatchQueuePtr& delegateQueue() const { return delegateQueue_; }
    // Null once the session is invalid.
    std::shared_ptr<URLSessionDelegate> delegate() const;

    // New tasks start suspended. A session that has been invalidated (an invalidation may race
    // with any caller) makes none: it fails with URLErrorCancelled. A task made is never null.
    Result<URLSessionTaskPtr> dataTask(UrlRequest request);
    Result<URLSessionTaskPtr> uploadTask(UrlRequest request, Bytes body);
    Result<URLSessionTaskPtr> uploadTask(UrlRequest request, const std::filesystem::path& file);
    // The body comes from the delegate's needNewBodyStream, else from the request's stream.
    Result<URLSessionTaskPtr> uploadTaskWithStreamedRequest(UrlRequest request);
    Result<URLSessionTaskPtr> downloadTask(UrlRequest request);
    // Continues a download cancelled by cancelByProducingResumeData: asks for the rest with Range
    // and If-Range, and starts over when the resource changed. Resume data that is not this
    // session layer's, or whose partial file is gone or changed, is refused with
    // URLErrorCannotDecodeRawData or URLErrorFileDoesNotExist.
    Result<URLSessionTaskPtr> downloadTaskWithResumeData(const Bytes& resumeData);

    // The tasks that have not completed, on the delegate queue: data, upload and download tasks.
    // A background session holds back the events of the tasks it adopted until the first answer
    // has run (or, when nobody asks, for a moment after it was made), so that answer lists them
    // all and they complete only after it.
    using TaskLists = std::function<void(std::vector<URLSessionTaskPtr> dataTasks,
                                         std::vector<URLSessionTaskPtr> uploadTasks,
                                         std::vector<URLSessionTaskPtr> downloadTasks)>;
    void getTasks(TaskLists completion);

    // The tasks a background session took over from the folder when it was made.
    const std::vector<std::uint64_t>& adoptedTaskIdentifiers() const { return adoptedIdentifiers_; }
    // Drops what a background session keeps of a completed task (see
    // keepsCompletedTasksUntilForgotten), at once or when its completion event has returned.
    void forgetTask(std::uint64_t identifier);

    // Lets running tasks finish, refuses new ones, then tells the delegate didBecomeInvalid.
    void finishTasksAndInvalidate();
    // The same after cancelling every task.
    void invalidateAndCancel();

  private:
    friend class URLSessionTask;
    friend class URLSessionLoader;
    friend struct URLSessionEvents;

    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               DispatchQueuePtr delegateQueue);
    Result<URLSessionTaskPtr> makeTask(URLSessionTaskKind kind, UrlRequest request);
    void start(const URLSessionTaskPtr& task);
    // The running download task that `dataTask` becomes (which ends here); null once the session
    // is invalidating.
    URLSessionTaskPtr becomeDownload(const URLSessionTaskPtr& dataTask);
    void adoptStoredTasks();
    // Lets the adopted tasks' events through (once).
    void releaseAdoptedTasks();
    void reportBackgroundEventsFinished();
    // On the delegate queue, after a task's completion event returned.
    void completionDelivered(const URLSessionTaskPtr& task);
    void invalidate(bool cancel);
    void finishInvalidationIfDone();

    const URLSessionConfiguration configuration_;
    const DispatchQueuePtr delegateQueue_;
    // Both set once by make().
    std::shared_ptr<URLSessionLoader> loader_;
    std::shared_ptr<URLSessionStore> store_;
    std::vector<std::uint64_t> adoptedIdentifiers_;

    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    std::uint64_t nextIdentifier_ = 1;
    // Tasks whose completion has not been delivered yet.
    std::map<std::uint64_t, URLSessionTaskPtr> tasks_;
    // Tasks to forget as soon as their completion has been delivered.
    std::set<std::uint64_t> forgotten_;
    bool invalidating_ = false;
    bool invalid_ = false;
    // Adopted tasks still to be delivered before background events count as finished.
    std::size_t adoptedPending_ = 0;
    bool adoptionStarted_ = false;
    // Adopted tasks whose events wait until the creator has had the task lists.
    std::vector<URLSessionTaskPtr> adoptedHeld_;
};

}  // namespace quarra
