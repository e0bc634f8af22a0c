#pragma once
// What a session manager keeps for one of its tasks: upload and download progress, the body as it
// arrives, where a finished download goes, and the completion handler. At completion it runs the
// manager's response serializer on the processing queue, calls the handler on the completion queue
// and then posts HTNetworkingTaskDidCompleteNotification on the main queue.
//
// Also the transport's notification names and the user-info keys of the task-complete
// notification, which the request engine reads to learn how background transfers ended.
//
// The event methods run on the owning manager's delegate queue, one at a time.
#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/URLSession.h"
#include "quarra/Bytes.h"
#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/Progress.h"
#include "quarra/Url.h"

namespace quarra {

class HTURLSessionManager;

// Object: the task. Posted on the main queue when one of a manager's tasks is resumed or suspended
// (once per change of state).
inline constexpr const char* HTNetworkingTaskDidResumeNotification =
    "com.tovik.transport.networking.task.resume";
inline constexpr const char* HTNetworkingTaskDidSuspendNotification =
    "com.tovik.transport.networking.task.suspend";
// Object: the task; user info under the keys below. Posted on the main queue after the task's
// completion handler has run.
inline constexpr const char* HTNetworkingTaskDidCompleteNotification =
    "com.tovik.transport.networking.task.complete";
// Object: the data task; user info: the download task it became, under
// HTNetworkingTaskBecameDownloadTaskKey. Posted on the main queue before the download task's
// completion, so a task counted in under the data task can be counted out under the download.
inline constexpr const char* HTNetworkingTaskDidBecomeDownloadNotification =
    "com.tovik.transport.networking.task.become-download";
inline constexpr const char* HTNetworkingTaskBecameDownloadTaskKey =
    "com.tovik.transport.networking.task.become-download.task";
// Object: the session. Posted on the manager's delegate queue.
inline constexpr const char* HTURLSessionDidInvalidateNotification =
    "com.tovik.transport.networking.session.invalidate";
// Object: the download task; user info: the move error's user info, and the error itself under
// HTNetworkingTaskDidCompleteErrorKey. Posted on the delegate queue.
inline constexpr const char* HTURLSessionDownloadTaskDidFailToMoveFileNotification =
    "com.tovik.transport.networking.session.download.file-manager-error";

// Values: the manager's response serializer (std::shared_ptr<HTURLResponseSerialization>).
inline constexpr const char* HTNetworkingTaskDidCompleteResponseSerializerKey =
    "com.tovik.transport.networking.task.complete.responseserializer";
// Bytes, possibly empty; only when there is no asset path.
inline constexpr const char* HTNetworkingTaskDidCompleteResponseDataKey =
    "com.tovik.transport.networking.complete.finish.responsedata";
// The response object as the serializer made it (Json, Bytes, ...), or the Url of a moved download;
// never with a transport error.
inline constexpr const char* HTNetworkingTaskDidCompleteSerializedResponseKey =
    "com.tovik.transport.networking.task.complete.serializedresponse";
// Url: where the download was moved.
inline constexpr const char* HTNetworkingTaskDidCompleteAssetPathKey =
    "com.tovik.transport.networking.task.complete.assetpath";
// ErrorPtr: the transport's error, else the serializer's.
inline constexpr const char* HTNetworkingTaskDidCompleteErrorKey =
    "com.tovik.transport.networking.task.complete.error";

// Posted synchronously by every task (of any session) when resume() finds it not running and when
// suspend() finds it not suspended; managers turn them into the public notifications above.
inline constexpr const char* HTURLSessionTaskDidResumePrivateNotification =
    "com.tovik.transport.networking.nsurlsessiontask.resume";
inline constexpr const char* HTURLSessionTaskDidSuspendPrivateNotification =
    "com.tovik.transport.networking.nsurlsessiontask.suspend";
// Makes every task post the private notifications; idempotent.
void HTInstallTaskTransitionNotifications();

// The concurrent queue on which responses are decoded, and the group completion handlers run in
// when a manager names none.
const DispatchQueuePtr& HTURLSessionManagerProcessingQueue();
const std::shared_ptr<DispatchGroup>& HTURLSessionManagerCompletionGroup();

// Moves a finished download to `to` (refusing an existing file, as the platform's file manager
// does); on failure posts HTURLSessionDownloadTaskDidFailToMoveFileNotification for `task`.
void HTMoveDownloadedFile(const URLSessionTaskPtr& task, const Url& from, const Url& to);

class HTURLSessionManagerTaskDelegate
    : public std::enable_shared_from_this<HTURLSessionManagerTaskDelegate> {
  public:
    using ProgressBlock = std::function<void(const Progress&)>;
    using CompletionHandler = std::function<void(
        const HttpResponsePtr& response, const std::any& responseObject, const ErrorPtr& error)>;
    // (session, download task, temporary file) -> where to move it; none to leave it.
    using DestinationBlock = std::function<std::optional<Url>(
        URLSession& session, const URLSessionTaskPtr& task, const Url& location)>;

    // The progress objects' cancel, pause and resume act on `task`. Each object is made when it is
    // first asked for or when its block is set and the task reports progress: most tasks are
    // replies nobody follows. A late-made object starts from the counts reported so far.
    static std::shared_ptr<HTURLSessionManagerTaskDelegate> make(const URLSessionTaskPtr& task);
    ~HTURLSessionManagerTaskDelegate();
    HTURLSessionManagerTaskDelegate(const HTURLSessionManagerTaskDelegate&) = delete;
    HTURLSessionManagerTaskDelegate& operator=(const HTURLSessionManagerTaskDelegate&) = delete;

    std::weak_ptr<HTURLSessionManager> manager;
    // Set before the task's events can arrive (registration happens on creation).
    ProgressBlock uploadProgressBlock;
    ProgressBlock downloadProgressBlock;
    CompletionHandler completionHandler;
    DestinationBlock downloadTaskDidFinishDownloading;

    // Safe from any thread; the same object on every call.
    ProgressPtr uploadProgress() const { return progress(upload_, true); }
    ProgressPtr downloadProgress() const { return progress(download_, false); }
    // Where the finished download was moved (also when the move failed); none before.
    const std::optional<Url>& downloadFileURL() const { return downloadFileURL_; }
    void setDownloadFileURL(std::optional<Url> url) { downloadFileURL_ = std::move(url); }

    void didReceiveData(const URLSessionTaskPtr& task, const Bytes& data);
    void didSendBodyData(const URLSessionTaskPtr& task);
    void didWriteData(std::int64_t totalBytesWritten, std::int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(std::int64_t fileOffset, std::int64_t expectedTotalBytes);
    void didFinishDownloadingTo(URLSession& session, const URLSessionTaskPtr& task,
                                const Url& location);
    void didCompleteWithError(const URLSessionTaskPtr& task, const ErrorPtr& error);

  private:
    // One direction's progress: the counts last reported, and the object once made.
    struct ProgressSide {
        ProgressPtr progress;
        std::uint64_t observer = 0;
        std::int64_t total = URLSessionTransferSizeUnknown;
        std::int64_t completed = 0;
    };

    HTURLSessionManagerTaskDelegate() = default;
    // Under progressMutex_.
    ProgressPtr& makeProgress(ProgressSide& side, bool upload) const;
    ProgressPtr progress(ProgressSide& side, bool upload) const;
    void report(ProgressSide& side, bool upload, std::int64_t total, std::int64_t completed);

    std::weak_ptr<URLSessionTask> task_;
    mutable std::mutex progressMutex_;
    mutable ProgressSide upload_;
    mutable ProgressSide download_;
    std::optional<Url> downloadFileURL_;
    // Released at completion.
    std::optional<Bytes> mutableData_ = Bytes();
};

using HTURLSessionManagerTaskDelegatePtr = std::shared_ptr<HTURLSessionManagerTaskDelegate>;

}  // namespace quarra
