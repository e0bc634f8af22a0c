#include "transport/HTURLSessionManagerTaskDelegate.h"

#include <errno.h>

#include <filesystem>
#include <mutex>

#include "platform/Files.h"
#include "platform/URLSessionTaskTransitions.h"
#include "quarra/NotificationCenter.h"
#include "transport/HTURLResponseSerialization.h"
#include "transport/HTURLSessionManager.h"

namespace quarra {
namespace fs = std::filesystem;

void HTInstallTaskTransitionNotifications() {
    static std::once_flag once;
    std::call_once(once, [] {
        setURLSessionTaskTransitionHook(
            [](const URLSessionTaskPtr& task, URLSessionTaskTransition transition) {
                NotificationCenter::defaultCenter().post(
                    transition == URLSessionTaskTransition::Resume
                        ? HTURLSessionTaskDidResumePrivateNotification
                        : HTURLSessionTaskDidSuspendPrivateNotification,
                    task);
            });
    });
}

const DispatchQueuePtr& HTURLSessionManagerProcessingQueue() {
    static const auto* queue = new DispatchQueuePtr(
        DispatchQueue::concurrent("com.tovik.transport.networking.session.manager.processing"));
    return *queue;
}

const std::shared_ptr<DispatchGroup>& HTURLSessionManagerCompletionGroup() {
    static const auto* group =
        new std::shared_ptr<DispatchGroup>(std::make_shared<DispatchGroup>());
    return *group;
}

namespace {

// Replies up to this size are parsed on the delegate queue itself.
constexpr std::size_t kInlineProcessingLimit = 64 * 1024;

ErrorPtr moveItem(const Url& from, const Url& to) {
    fs::path source = from.filePath(), destination = to.filePath();
    std::error_code ec;
    if (!to.isFileUrl())
        return posixError(EINVAL, "not a file URL: " + to.string());
    if (fs::exists(fs::symlink_status(destination, ec)))
        return posixError(EEXIST, "cannot move " + source.string() + " to " + destination.string());
    fs::rename(source, destination, ec);
    if (ec == std::errc::cross_device_link) {
        ec.clear();
        fs::copy_file(source, destination, ec);
        if (!ec)
            fs::remove(source, ec);
    }
    if (ec)
        return posixError(ec.value(),
                          "cannot move " + source.string() + " to " + destination.string());
    return nullptr;
}

}  // namespace

void HTMoveDownloadedFile(const URLSessionTaskPtr& task, const Url& from, const Url& to) {
    ErrorPtr error = moveItem(from, to);
    if (!error)
        return;
    NotificationUserInfo userInfo;
    for (const auto& [key, value] : error->userInfo().items())
        userInfo[key] = Json(value);
    userInfo[HTNetworkingTaskDidCompleteErrorKey] = error;
    NotificationCenter::defaultCenter().post(HTURLSessionDownloadTaskDidFailToMoveFileNotification,
                                             task, std::move(userInfo));
}

std::shared_ptr<HTURLSessionManagerTaskDelegate> HTURLSessionManagerTaskDelegate::make(
    const URLSessionTaskPtr& task) {
    std::shared_ptr<HTURLSessionManagerTaskDelegate> delegate(new HTURLSessionManagerTaskDelegate);
    delegate->task_ = task;
    return delegate;
}

HTURLSessionManagerTaskDelegate::~HTURLSessionManagerTaskDelegate() {
    if (download_.progress)
        download_.progress->removeObserver(download_.observer);
    if (upload_.progress)
        upload_.progress->removeObserver(upload_.observer);
}

ProgressPtr& HTURLSessionManagerTaskDelegate::makeProgress(ProgressSide& side, bool upload) const {
    auto progress = std::make_shared<Progress>(side.total);
    progress->setCompletedUnitCount(side.completed);
    std::weak_ptr<URLSessionTask> weakTask = task_;
    progress->setCancellable(true);
    progress->setCancellationHandler([weakTask] {
        if (auto task = weakTask.lock())
            task->cancel();
    });
    progress->setPausable(true);
    progress->setPausingHandler([weakTask] {
        if (auto task = weakTask.lock())
            task->suspend();
    });
    progress->setResumingHandler([weakTask] {
        if (auto task = weakTask.lock())
            task->resume();
    });
    std::weak_ptr<const HTURLSessionManagerTaskDelegate> weakSelf = weak_from_this();
    side.observer = progress->addObserver([weakSelf, upload](const Progress& progress) {
        auto self = weakSelf.lock();
        if (!self)
            return;
        const ProgressBlock& block =
            upload ? self->uploadProgressBlock : self->downloadProgressBlock;
        if (block)
            block(progress);
    });
    side.progress = std::move(progress);
    return side.progress;
}

ProgressPtr HTURLSessionManagerTaskDelegate::progress(ProgressSide& side, bool upload) const {
    std::lock_guard lock(progressMutex_);
    return side.progress ? side.progress : makeProgress(side, upload);
}

void HTURLSessionManagerTaskDelegate::report(ProgressSide& side, bool upload, std::int64_t total,
                                             std::int64_t completed) {
    ProgressPtr progress;
    {
        std::lock_guard lock(progressMutex_);
        // A block hears every change, so its object starts from the counts before this one.
        if (!side.progress && (upload ? uploadProgressBlock : downloadProgressBlock))
            makeProgress(side, upload);
        side.total = total;
        side.completed = completed;
        progress = side.progress;
    }
    // Observers run outside the lock: one may ask for the object again.
    if (progress) {
        progress->setTotalUnitCount(total);
        progress->setCompletedUnitCount(completed);
    }
}

void HTURLSessionManagerTaskDelegate::didReceiveData(const URLSessionTaskPtr& task,
                                                     const Bytes& data) {
    report(download_, false, task->countOfBytesExpectedToReceive(), task->countOfBytesReceived());
    if (mutableData_)
        mutableData_->insert(mutableData_->end(), data.begin(), data.end());
}

void HTURLSessionManagerTaskDelegate::didSendBodyData(const URLSessionTaskPtr& task) {
    report(upload_, true, task->countOfBytesExpectedToSend(), task->countOfBytesSent());
}

void HTURLSessionManagerTaskDelegate::didWriteData(std::int64_t totalBytesWritten,
                                                   std::int64_t totalBytesExpectedToWrite) {
    report(download_, false, totalBytesExpectedToWrite, totalBytesWritten);
}

void HTURLSessionManagerTaskDelegate::didResumeAtOffset(std::int64_t fileOffset,
                                                        std::int64_t expectedTotalBytes) {
    report(download_, false, expectedTotalBytes, fileOffset);
}

void HTURLSessionManagerTaskDelegate::didFinishDownloadingTo(URLSession& session,
                                                             const URLSessionTaskPtr& task,
                                                             const Url& location) {
    downloadFileURL_.reset();
    if (!downloadTaskDidFinishDownloading)
        return;
    downloadFileURL_ = downloadTaskDidFinishDownloading(session, task, location);
    if (!downloadFileURL_)
        return;
    HTMoveDownloadedFile(task, location, *downloadFileURL_);
}

void HTURLSessionManagerTaskDelegate::didCompleteWithError(const URLSessionTaskPtr& task,
                                                           const ErrorPtr& error) {
    std::shared_ptr<HTURLSessionManager> manager = this->manager.lock();
    // What the task-complete notification carries, made into its user info only when someone
    // listens for this task: a request's reply is seldom heard there.
    struct Outcome {
        std::shared_ptr<HTURLResponseSerialization> serializer;
        std::optional<Url> assetPath;
        std::optional<Bytes> data;  // none: a download, whose bytes went to the file
        ErrorPtr error;
    };
    auto outcome = std::make_shared<Outcome>();
    outcome->serializer = manager ? manager->responseSerializer() : nullptr;
    outcome->assetPath = downloadFileURL_;

    Bytes data;
    if (mutableData_) {
        data = std::move(*mutableData_);
        mutableData_.reset();
    }
    bool keepData = !downloadFileURL_;

    DispatchQueuePtr queue = manager ? manager->completionQueue() : nullptr;
    if (!queue)
        queue = DispatchQueue::main();
    std::shared_ptr<DispatchGroup> group = manager ? manager->completionGroup() : nullptr;
    if (!group)
        group = HTURLSessionManagerCompletionGroup();

    // The handler and the notification hold the delegate (and so the task) until both have run.
    auto self = shared_from_this();
    auto finish = [self, task, outcome, queue, group](std::any responseObject, ErrorPtr error) {
        group->async(queue, [self, task, outcome, responseObject = std::move(responseObject),
                             error = std::move(error)]() mutable {
            if (self->completionHandler)
                self->completionHandler(task->response(), responseObject, error);
            // Unheard, the notification would only wake the main thread.
            if (!NotificationCenter::defaultCenter().hasObservers(
                    HTNetworkingTaskDidCompleteNotification, task.get()))
                return;
            NotificationUserInfo userInfo;
            userInfo[HTNetworkingTaskDidCompleteResponseSerializerKey] = outcome->serializer;
            if (outcome->assetPath)
                userInfo[HTNetworkingTaskDidCompleteAssetPathKey] = *outcome->assetPath;
            // The reply's bytes and object go to the notification once nothing else needs them:
            // moved, not copied.
            if (outcome->data)
                userInfo[HTNetworkingTaskDidCompleteResponseDataKey] = std::move(*outcome->data);
            if (outcome->error)
                userInfo[HTNetworkingTaskDidCompleteErrorKey] = outcome->error;
            if (responseObject.has_value())
                userInfo[HTNetworkingTaskDidCompleteSerializedResponseKey] =
                    std::move(responseObject);
            DispatchQueue::main()->async([task, userInfo = std::move(userInfo)]() mutable {
                NotificationCenter::defaultCenter().post(HTNetworkingTaskDidCompleteNotification,
                                                         task, std::move(userInfo));
            });
        });
    };

    if (error) {
        if (keepData)
            outcome->data = std::move(data);
        outcome->error = error;
        finish({}, error);
        return;
    }
    bool small = data.size() <= kInlineProcessingLimit;
    auto process = [self, task, outcome, keepData, data = std::move(data), finish]() mutable {
        ErrorPtr serializationError;
        std::any responseObject;
        if (outcome->serializer) {
            HTSerializedResponse answer =
                outcome->serializer->responseObjectForResponse(task->response(), data);
            responseObject = std::move(answer.responseObject);
            serializationError = std::move(answer.error);
        }
        if (keepData)
            outcome->data = std::move(data);
        if (self->downloadFileURL_)
            responseObject = *self->downloadFileURL_;
        outcome->error = serializationError;
        finish(std::move(responseObject), std::move(serializationError));
    };
    // A small reply is parsed right here: a hop to the processing queue costs more than the parse.
    if (small)
        process();
    else
        HTURLSessionManagerProcessingQueue()->async(std::move(process));
}

}  // namespace quarra
