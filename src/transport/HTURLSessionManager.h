#pragma once
// Owns one URL session and is its delegate: makes data, upload and download tasks on it, gives each
// task a per-task delegate (progress, body, download destination, completion handler), and routes
// every session and task event to that delegate, to an override block its owner set, or to both.
// Answers server-trust challenges through its security policy, adopts the tasks a background
// session kept from an earlier process, and posts the task resumed and suspended notifications for
// its own tasks.
//
// The session holds the manager until the session is invalidated. Every member is safe to call
// from any thread; the override blocks and the delegate events run on operationQueue(), one at a
// time (the background-events block on the main queue). Settings and blocks are to be set before
// the tasks they should affect are made.
#include <any>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/KeyedArchiver.h"
#include "platform/URLSession.h"
#include "quarra/Dispatch.h"
#include "quarra/NotificationCenter.h"
#include "quarra/Progress.h"
#include "transport/HTURLResponseSerialization.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"

namespace quarra {

class HTSecurityPolicy;
class HTNetworkReachabilityManager;

class HTURLSessionManager : public URLSessionDelegate,
                            public Coding,
                            public std::enable_shared_from_this<HTURLSessionManager> {
  public:
    static constexpr const char* ArchiveClassName = "HTURLSessionManager";

    using ProgressBlock = HTURLSessionManagerTaskDelegate::ProgressBlock;
    using CompletionHandler = HTURLSessionManagerTaskDelegate::CompletionHandler;
    // (temporary file, response) -> where the download is to be moved.
    using DestinationBlock =
        std::function<std::optional<Url>(const Url& targetPath, const HttpResponsePtr& response)>;

    using SessionDidBecomeInvalidBlock = std::function<void(URLSession&, const ErrorPtr&)>;
    // Returns the disposition; a credential written to the last argument goes with it.
    using ChallengeBlock = std::function<AuthChallengeDisposition(
        URLSession&, const URLSessionTaskPtr&, const AuthChallenge&,
        std::optional<UrlCredential>*)>;
    using DidFinishEventsForBackgroundURLSessionBlock = std::function<void(URLSession&)>;
    using TaskWillPerformHTTPRedirectionBlock = std::function<std::optional<UrlRequest>(
        URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&, const UrlRequest&)>;
    using TaskNeedNewBodyStreamBlock =
        std::function<InputStreamPtr(URLSession&, const URLSessionTaskPtr&)>;
    using TaskDidSendBodyDataBlock =
        std::function<void(URLSession&, const URLSessionTaskPtr&, std::int64_t bytesSent,
                           std::int64_t totalBytesSent, std::int64_t totalBytesExpectedToSend)>;
    using TaskDidCompleteBlock =
        std::function<void(URLSession&, const URLSessionTaskPtr&, const ErrorPtr&)>;
    using DataTaskDidReceiveResponseBlock = std::function<URLSessionResponseDisposition(
        URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&)>;
    // Returns the reply to keep; null keeps none.
    using DataTaskWillCacheResponseBlock = std::function<CachedURLResponsePtr(
        URLSession&, const URLSessionTaskPtr&, const CachedURLResponsePtr& proposed)>;
    using DataTaskDidBecomeDownloadTaskBlock = std::function<void(
        URLSession&, const URLSessionTaskPtr& dataTask, const URLSessionTaskPtr& downloadTask)>;
    using DataTaskDidReceiveDataBlock =
        std::function<void(URLSession&, const URLSessionTaskPtr&, const Bytes&)>;
    using DownloadTaskDidFinishDownloadingBlock = std::function<std::optional<Url>(
        URLSession&, const URLSessionTaskPtr&, const Url& location)>;
    using DownloadTaskDidWriteDataBlock =
        std::function<void(URLSession&, const URLSessionTaskPtr&, std::int64_t bytesWritten,
                           std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite)>;
    using DownloadTaskDidResumeBlock =
        std::function<void(URLSession&, const URLSessionTaskPtr&, std::int64_t fileOffset,
                           std::int64_t expectedTotalBytes)>;

    // A manager on `configuration` (the default configuration when none). Returns at once; tasks a
    // background session kept are adopted on the delegate queue before any of their events.
    // `operationQueue` is the session's delegate queue (null: a serial queue of the manager's own);
    // a manager whose blocks are quick may take its events where the transfers run with
    // DispatchQueue::immediate().
    static std::shared_ptr<HTURLSessionManager> make(
        std::optional<URLSessionConfiguration> configuration = std::nullopt,
        DispatchQueuePtr operationQueue = nullptr);
    ~HTURLSessionManager() override;
    HTURLSessionManager(const HTURLSessionManager&) = delete;
    HTURLSessionManager& operator=(const HTURLSessionManager&) = delete;

    const std::shared_ptr<URLSession>& session() const { return session_; }
    const DispatchQueuePtr& operationQueue() const { return operationQueue_; }
    const URLSessionConfiguration& sessionConfiguration() const { return configuration_; }

    std::shared_ptr<HTURLResponseSerialization> responseSerializer() const;
    virtual void setResponseSerializer(std::shared_ptr<HTURLResponseSerialization> serializer);
    std::shared_ptr<HTSecurityPolicy> securityPolicy() const;
    virtual void setSecurityPolicy(std::shared_ptr<HTSecurityPolicy> policy);
    // Set to the shared reachability manager; the manager itself never reads it.
    std::shared_ptr<HTNetworkReachabilityManager> reachabilityManager() const;
    void setReachabilityManager(std::shared_ptr<HTNetworkReachabilityManager> manager);
    // Where completion handlers run (null: the main queue), and the group they run in (null: one
    // process-wide group).
    DispatchQueuePtr completionQueue() const;
    void setCompletionQueue(DispatchQueuePtr queue);
    std::shared_ptr<DispatchGroup> completionGroup() const;
    void setCompletionGroup(std::shared_ptr<DispatchGroup> group);
    // Retry, up to three more times, a file upload task the session could not make (background
    // sessions only).
    bool attemptsToRecreateUploadTasksForBackgroundSessions() const;
    void setAttemptsToRecreateUploadTasksForBackgroundSessions(bool value);

    // The manager's address as "%p": the description of every task it registers.
    const std::string& taskDescriptionForSessionTasks() const { return taskDescription_; }

    // The session's unfinished tasks. Wait for the session's answer, except on the delegate
    // queue, where the manager answers from its own registry instead of waiting for itself.
    std::vector<URLSessionTaskPtr> tasks() const;
    std::vector<URLSessionTaskPtr> dataTasks() const;
    std::vector<URLSessionTaskPtr> uploadTasks() const;
    std::vector<URLSessionTaskPtr> downloadTasks() const;

    // Task creation. None resumes the task. A task that cannot be made (the session has been
    // invalidated) is returned as null, and the completion handler is called asynchronously with
    // URLErrorCancelled, so no caller waits for ever.
    URLSessionTaskPtr dataTaskWithRequest(UrlRequest request, CompletionHandler completionHandler);
    URLSessionTaskPtr dataTaskWithRequest(UrlRequest request, ProgressBlock uploadProgress,
                                          ProgressBlock downloadProgress,
                                          CompletionHandler completionHandler);
    // The request announces the file's real size as Content-Length, whatever it said before.
    URLSessionTaskPtr uploadTaskWithRequest(UrlRequest request, const Url& fromFile,
                                            ProgressBlock uploadProgress,
                                            CompletionHandler completionHandler);
    URLSessionTaskPtr uploadTaskWithRequest(UrlRequest request, Bytes fromData,
                                            ProgressBlock uploadProgress,
                                            CompletionHandler completionHandler);
    URLSessionTaskPtr uploadTaskWithStreamedRequest(UrlRequest request,
                                                    ProgressBlock uploadProgress,
                                                    CompletionHandler completionHandler);
    URLSessionTaskPtr downloadTaskWithRequest(UrlRequest request, ProgressBlock downloadProgress,
                                              DestinationBlock destination,
                                              CompletionHandler completionHandler);
    // Goes on with a download cancelled by cancelByProducingResumeData. Resume data that cannot
    // be used is refused here, and the completion handler is not called.
    Result<URLSessionTaskPtr> downloadTaskWithResumeData(const Bytes& resumeData,
                                                         ProgressBlock downloadProgress,
                                                         DestinationBlock destination,
                                                         CompletionHandler completionHandler);

    // The registered delegate's progress; null for a task the manager does not know.
    ProgressPtr uploadProgressForTask(const URLSessionTaskPtr& task) const;
    ProgressPtr downloadProgressForTask(const URLSessionTaskPtr& task) const;

    // Cancels every task first, or lets them finish; the session then becomes invalid.
    void invalidateSessionCancelingTasks(bool cancelPendingTasks);

    virtual std::string description() const;
    // A new manager of the same configuration (nothing else is carried over).
    virtual std::shared_ptr<HTURLSessionManager> copy() const;

    // Archiving keeps the session configuration only; a decoded manager has the default
    // serializer and policy.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTURLSessionManager> initWithCoder(KeyedUnarchiver& coder);

    void setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block);
    void setSessionDidReceiveAuthenticationChallengeBlock(ChallengeBlock block);
    void setDidFinishEventsForBackgroundURLSessionBlock(
        DidFinishEventsForBackgroundURLSessionBlock block);
    void setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block);
    void setTaskDidReceiveAuthenticationChallengeBlock(ChallengeBlock block);
    void setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block);
    void setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block);
    void setTaskDidCompleteBlock(TaskDidCompleteBlock block);
    void setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block);
    void setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block);
    void setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block);
    void setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block);
    void setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block);
    void setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block);
    void setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block);

    // URLSessionDelegate: the session calls these on operationQueue().
    void didReceiveChallenge(URLSession&, const URLSessionTaskPtr&, const AuthChallenge&,
                             ChallengeCompletion completion) override;
    void willPerformHTTPRedirection(
        URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&, UrlRequest proposed,
        std::function<void(std::optional<UrlRequest>)> completion) override;
    void needNewBodyStream(URLSession&, const URLSessionTaskPtr&,
                           std::function<void(InputStreamPtr)> completion) override;
    void didSendBodyData(URLSession&, const URLSessionTaskPtr&, std::int64_t bytesSent,
                         std::int64_t totalBytesSent,
                         std::int64_t totalBytesExpectedToSend) override;
    void didReceiveResponse(URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&,
                            std::function<void(URLSessionResponseDisposition)> completion) override;
    void didReceiveData(URLSession&, const URLSessionTaskPtr&, const Bytes& data) override;
    // Only the response block can turn a data task into a download.
    bool mayTurnDataTasksIntoDownloads() const override;
    void didBecomeDownloadTask(URLSession&, const URLSessionTaskPtr& dataTask,
                               const URLSessionTaskPtr& downloadTask) override;
    void willCacheResponse(URLSession&, const URLSessionTaskPtr&,
                           const CachedURLResponsePtr& proposed,
                           std::function<void(CachedURLResponsePtr)> completion) override;
    void didResumeAtOffset(URLSession&, const URLSessionTaskPtr&, std::int64_t fileOffset,
                           std::int64_t expectedTotalBytes) override;
    void didWriteData(URLSession&, const URLSessionTaskPtr&, std::int64_t bytesWritten,
                      std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite) override;
    void didFinishDownloadingTo(URLSession&, const URLSessionTaskPtr&,
                                const Url& location) override;
    void didCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr&) override;
    void didBecomeInvalid(URLSession&, const ErrorPtr&) override;
    void didFinishEventsForBackgroundURLSession(URLSession&) override;

  protected:
    explicit HTURLSessionManager(std::optional<URLSessionConfiguration> configuration,
                                 DispatchQueuePtr operationQueue = nullptr);
    // The configuration under "sessionConfiguration": none when missing, and nothing (with the
    // coder failed) when it is damaged.
    static std::optional<std::optional<URLSessionConfiguration>> decodeConfiguration(
        KeyedUnarchiver& coder);
    // The second half of construction, once the manager is owned by a shared_ptr: makes the
    // session and asks it for the tasks to adopt.
    void start();

    // Makes a manager of class T and starts it.
    template <class T, class... Args>
    static std::shared_ptr<T> create(Args&&... args) {
        std::shared_ptr<T> manager(new T(std::forward<Args>(args)...));
        manager->start();
        return manager;
    }

  private:
    struct Registration {
        URLSessionTaskPtr task;
        HTURLSessionManagerTaskDelegatePtr delegate;
    };
    enum class TaskList { All, Data, Upload, Download };

    // Runs `make`; null and an asynchronous failure call of `completionHandler` (with the error
    // `make` gave) when no task results, as for a session that has been invalidated.
    URLSessionTaskPtr createTask(const std::function<Result<URLSessionTaskPtr>()>& make,
                                 const CompletionHandler& completionHandler);
    HTURLSessionManagerTaskDelegatePtr addDelegateForTask(const URLSessionTaskPtr& task,
                                                          CompletionHandler completionHandler);
    void addDelegateForDownloadTask(const URLSessionTaskPtr& task, ProgressBlock downloadProgress,
                                    DestinationBlock destination,
                                    CompletionHandler completionHandler);
    void setDelegate(const HTURLSessionManagerTaskDelegatePtr& delegate,
                     const URLSessionTaskPtr& task);
    HTURLSessionManagerTaskDelegatePtr delegateForTask(const URLSessionTaskPtr& task) const;
    void removeDelegateForTask(const URLSessionTaskPtr& task);
    void adoptTasks(const std::vector<URLSessionTaskPtr>& tasks);
    std::vector<URLSessionTaskPtr> tasksForList(TaskList list) const;
    void taskDidChangeState(const Notification& notification, const char* publicName);
    AuthChallengeDisposition evaluateChallenge(URLSession& session, const URLSessionTaskPtr& task,
                                               const AuthChallenge& challenge,
                                               std::optional<UrlCredential>* credential);
    // Settings and blocks are read and replaced under settingsMutex_, never called under it.
    template <class T>
    T block(const T& member) const {
        std::lock_guard lock(settingsMutex_);
        return member;
    }
    template <class T>
    void store(T& member, T value) {
        std::lock_guard lock(settingsMutex_);
        member = std::move(value);
    }

    const URLSessionConfiguration configuration_;
    const DispatchQueuePtr operationQueue_;
    const std::string taskDescription_;
    std::shared_ptr<URLSession> session_;
    ObserverToken resumeObserver_ = 0;
    ObserverToken suspendObserver_ = 0;

    mutable std::mutex lock_;
    std::map<std::uint64_t, Registration> registrations_;

    mutable std::mutex settingsMutex_;
    std::shared_ptr<HTURLResponseSerialization> responseSerializer_;
    std::shared_ptr<HTSecurityPolicy> securityPolicy_;
    std::shared_ptr<HTNetworkReachabilityManager> reachabilityManager_;
    DispatchQueuePtr completionQueue_;
    std::shared_ptr<DispatchGroup> completionGroup_;
    bool attemptsToRecreateUploadTasks_ = false;

    SessionDidBecomeInvalidBlock sessionDidBecomeInvalid_;
    ChallengeBlock sessionDidReceiveAuthenticationChallenge_;
    DidFinishEventsForBackgroundURLSessionBlock didFinishEventsForBackgroundURLSession_;
    TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection_;
    ChallengeBlock taskDidReceiveAuthenticationChallenge_;
    TaskNeedNewBodyStreamBlock taskNeedNewBodyStream_;
    TaskDidSendBodyDataBlock taskDidSendBodyData_;
    TaskDidCompleteBlock taskDidComplete_;
    DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse_;
    DataTaskDidReceiveDataBlock dataTaskDidReceiveData_;
    DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask_;
    DataTaskWillCacheResponseBlock dataTaskWillCacheResponse_;
    DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading_;
    DownloadTaskDidWriteDataBlock downloadTaskDidWriteData_;
    DownloadTaskDidResumeBlock downloadTaskDidResume_;
};

using HTURLSessionManagerPtr = std::shared_ptr<HTURLSessionManager>;

}  // namespace quarra
