#include "transport/HTURLSessionManager.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "platform/Directories.h"
#include "platform/Files.h"
#include "platform/URLError.h"
#include "transport/HTJSONResponseSerializer.h"
#include "transport/HTMultipartBodyStream.h"
#include "transport/HTNetworkReachabilityManager.h"
#include "transport/HTSecurityPolicy.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

std::string addressText(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

// Where an adopted download goes when nobody is left to name a destination: kept, so that its
// task-complete notification can still hand it to whoever handles background results.
std::optional<Url> defaultDownloadDestination(const URLSessionTaskPtr& task) {
    fs::path folder = applicationSupportDirectory() / "com.tovik.transport.downloads";
    if (files::createDirectories(folder, 0700))
        return std::nullopt;
    std::string name = task->originalRequest().url.lastPathComponent();
    for (char& c : name) {
        if (c == '/' || std::iscntrl(static_cast<unsigned char>(c)))
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        name = "download";
    std::string stem = std::to_string(task->taskIdentifier()) + "-";
    fs::path path = folder / (stem + name);
    std::error_code ec;
    for (int n = 2; fs::exists(fs::symlink_status(path, ec)); ++n)
        path = folder / (stem + std::to_string(n) + "-" + name);
    return Url::fileUrl(path);
}

Json configurationJson(const URLSessionConfiguration& configuration) {
    Json json = {{"timeoutIntervalForRequest", configuration.timeoutIntervalForRequest},
                 {"timeoutIntervalForResource", configuration.timeoutIntervalForResource},
                 {"httpMaximumConnectionsPerHost", configuration.httpMaximumConnectionsPerHost},
                 {"httpAdditionalHeaders", Json::object()}};
    for (const auto& [field, value] : configuration.httpAdditionalHeaders)
        json["httpAdditionalHeaders"][field] = value;
    if (configuration.identifier)
        json["identifier"] = *configuration.identifier;
    if (!configuration.backgroundStorageDirectory.empty())
        json["backgroundStorageDirectory"] = configuration.backgroundStorageDirectory.string();
    return json;
}

std::optional<URLSessionConfiguration> configurationFromJson(const Json& json) {
    try {
        URLSessionConfiguration configuration;
        if (json.contains("identifier"))
            configuration.identifier = json.at("identifier").get<std::string>();
        configuration.timeoutIntervalForRequest =
            json.at("timeoutIntervalForRequest").get<double>();
        configuration.timeoutIntervalForResource =
            json.at("timeoutIntervalForResource").get<double>();
        configuration.httpMaximumConnectionsPerHost =
            json.at("httpMaximumConnectionsPerHost").get<long>();
        for (const auto& [field, value] : json.at("httpAdditionalHeaders").items())
            configuration.httpAdditionalHeaders[field] = value.get<std::string>();
        if (json.contains("backgroundStorageDirectory"))
            configuration.backgroundStorageDirectory =
                json.at("backgroundStorageDirectory").get<std::string>();
        return configuration;
    } catch (const Json::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::shared_ptr<HTURLSessionManager> HTURLSessionManager::make(
    std::optional<URLSessionConfiguration> configuration, DispatchQueuePtr operationQueue) {
    return create<HTURLSessionManager>(std::move(configuration), std::move(operationQueue));
}

HTURLSessionManager::HTURLSessionManager(std::optional<URLSessionConfiguration> configuration,
                                         DispatchQueuePtr operationQueue)
    : configuration_(configuration ? std::move(*configuration)
                                   : URLSessionConfiguration::defaultSessionConfiguration()),
      operationQueue_(
          operationQueue ? std::move(operationQueue)
                         : DispatchQueue::serial("com.tovik.transport.networking.session.manager")),
      taskDescription_(addressText(this)),
      responseSerializer_(HTJSONResponseSerializer::serializer()),
      securityPolicy_(HTSecurityPolicy::defaultPolicy()),
      reachabilityManager_(HTNetworkReachabilityManager::sharedManager()) {}

void HTURLSessionManager::start() {
    HTInstallTaskTransitionNotifications();
    std::weak_ptr<HTURLSessionManager> weakSelf = shared_from_this();
    auto observe = [&](const char* name, const char* publicName) {
        return NotificationCenter::defaultCenter().addObserver(
            name, [weakSelf, publicName](const Notification& notification) {
                if (auto self = weakSelf.lock())
                    self->taskDidChangeState(notification, publicName);
            });
    };
    resumeObserver_ = observe(HTURLSessionTaskDidResumePrivateNotification,
                              HTNetworkingTaskDidResumeNotification);
    suspendObserver_ = observe(HTURLSessionTaskDidSuspendPrivateNotification,
                               HTNetworkingTaskDidSuspendNotification);
    session_ = URLSession::make(configuration_, shared_from_this(), operationQueue_);
    // The session lets the events of adopted tasks through only after this answer has run, so
    // every adopted task has its delegate before its completion arrives.
    session_->getTasks([weakSelf](std::vector<URLSessionTaskPtr> data,
                                  std::vector<URLSessionTaskPtr> upload,
                                  std::vector<URLSessionTaskPtr> download) {
        auto self = weakSelf.lock();
        if (!self)
            return;
        self->adoptTasks(data);
        self->adoptTasks(upload);
        self->adoptTasks(download);
    });
}

HTURLSessionManager::~HTURLSessionManager() {
    NotificationCenter::defaultCenter().removeObserver(resumeObserver_);
    NotificationCenter::defaultCenter().removeObserver(suspendObserver_);
}

// ---- Settings

std::shared_ptr<HTURLResponseSerialization> HTURLSessionManager::responseSerializer() const {
    return block(responseSerializer_);
}

void HTURLSessionManager::setResponseSerializer(
    std::shared_ptr<HTURLResponseSerialization> serializer) {
    store(responseSerializer_, std::move(serializer));
}

std::shared_ptr<HTSecurityPolicy> HTURLSessionManager::securityPolicy() const {
    return block(securityPolicy_);
}

void HTURLSessionManager::setSecurityPolicy(std::shared_ptr<HTSecurityPolicy> policy) {
    store(securityPolicy_, std::move(policy));
}

std::shared_ptr<HTNetworkReachabilityManager> HTURLSessionManager::reachabilityManager() const {
    return block(reachabilityManager_);
}

void HTURLSessionManager::setReachabilityManager(
    std::shared_ptr<HTNetworkReachabilityManager> manager) {
    store(reachabilityManager_, std::move(manager));
}

DispatchQueuePtr HTURLSessionManager::completionQueue() const {
    return block(completionQueue_);
}

void HTURLSessionManager::setCompletionQueue(DispatchQueuePtr queue) {
    store(completionQueue_, std::move(queue));
}

std::shared_ptr<DispatchGroup> HTURLSessionManager::completionGroup() const {
    return block(completionGroup_);
}

void HTURLSessionManager::setCompletionGroup(std::shared_ptr<DispatchGroup> group) {
    store(completionGroup_, std::move(group));
}

bool HTURLSessionManager::attemptsToRecreateUploadTasksForBackgroundSessions() const {
    return block(attemptsToRecreateUploadTasks_);
}

void HTURLSessionManager::setAttemptsToRecreateUploadTasksForBackgroundSessions(bool value) {
    store(attemptsToRecreateUploadTasks_, value);
}

#define HT_BLOCK_SETTER(Setter, member)                        \
    void HTURLSessionManager::Setter(decltype(member) block) { \
        store(member, std::move(block));                       \
    }
HT_BLOCK_SETTER(setSessionDidBecomeInvalidBlock, sessionDidBecomeInvalid_)
HT_BLOCK_SETTER(setSessionDidReceiveAuthenticationChallengeBlock,
                sessionDidReceiveAuthenticationChallenge_)
HT_BLOCK_SETTER(setDidFinishEventsForBackgroundURLSessionBlock,
                didFinishEventsForBackgroundURLSession_)
HT_BLOCK_SETTER(setTaskWillPerformHTTPRedirectionBlock, taskWillPerformHTTPRedirection_)
HT_BLOCK_SETTER(setTaskDidReceiveAuthenticationChallengeBlock,
                taskDidReceiveAuthenticationChallenge_)
HT_BLOCK_SETTER(setTaskNeedNewBodyStreamBlock, taskNeedNewBodyStream_)
HT_BLOCK_SETTER(setTaskDidSendBodyDataBlock, taskDidSendBodyData_)
HT_BLOCK_SETTER(setTaskDidCompleteBlock, taskDidComplete_)
HT_BLOCK_SETTER(setDataTaskDidReceiveResponseBlock, dataTaskDidReceiveResponse_)
HT_BLOCK_SETTER(setDataTaskWillCacheResponseBlock, dataTaskWillCacheResponse_)
HT_BLOCK_SETTER(setDataTaskDidBecomeDownloadTaskBlock, dataTaskDidBecomeDownloadTask_)
HT_BLOCK_SETTER(setDataTaskDidReceiveDataBlock, dataTaskDidReceiveData_)
HT_BLOCK_SETTER(setDownloadTaskDidFinishDownloadingBlock, downloadTaskDidFinishDownloading_)
HT_BLOCK_SETTER(setDownloadTaskDidWriteDataBlock, downloadTaskDidWriteData_)
HT_BLOCK_SETTER(setDownloadTaskDidResumeBlock, downloadTaskDidResume_)
#undef HT_BLOCK_SETTER

// ---- Tasks

URLSessionTaskPtr HTURLSessionManager::createTask(
    const std::function<Result<URLSessionTaskPtr>()>& make,
    const CompletionHandler& completionHandler) {
    Result<URLSessionTaskPtr> made = make();
    if (made)
        return *made;
    if (completionHandler) {
        ErrorPtr error = made.error();
        DispatchQueuePtr queue = completionQueue();
        std::shared_ptr<DispatchGroup> group = completionGroup();
        (group ? group : HTURLSessionManagerCompletionGroup())
            ->async(queue ? queue : DispatchQueue::main(),
                    [completionHandler, error] { completionHandler(nullptr, {}, error); });
    }
    return nullptr;
}

URLSessionTaskPtr HTURLSessionManager::dataTaskWithRequest(UrlRequest request,
                                                           CompletionHandler completionHandler) {
    return dataTaskWithRequest(std::move(request), nullptr, nullptr, std::move(completionHandler));
}

URLSessionTaskPtr HTURLSessionManager::dataTaskWithRequest(UrlRequest request,
                                                           ProgressBlock uploadProgress,
                                                           ProgressBlock downloadProgress,
                                                           CompletionHandler completionHandler) {
    URLSessionTaskPtr task =
        createTask([&] { return session_->dataTask(request); }, completionHandler);
    if (task) {
        auto delegate = addDelegateForTask(task, std::move(completionHandler));
        delegate->uploadProgressBlock = std::move(uploadProgress);
        delegate->downloadProgressBlock = std::move(downloadProgress);
    }
    return task;
}

URLSessionTaskPtr HTURLSessionManager::uploadTaskWithRequest(UrlRequest request,
                                                             const Url& fromFile,
                                                             ProgressBlock uploadProgress,
                                                             CompletionHandler completionHandler) {
    // A declared length that differs from the file (a part read through a decrypting stream, say)
    // would leave the server waiting for bytes that never come, or cut the body short.
    std::error_code ec;
    std::uintmax_t size = fs::file_size(fromFile.filePath(), ec);
    request.setValue(ec ? std::nullopt : std::optional(std::to_string(size)), "Content-Length");
    bool retry = attemptsToRecreateUploadTasksForBackgroundSessions() && configuration_.identifier;
    URLSessionTaskPtr task = createTask(
        [&] {
            auto task = session_->uploadTask(request, fromFile.filePath());
            for (int attempt = 0; !task && retry && attempt < 3; ++attempt)
                task = session_->uploadTask(request, fromFile.filePath());
            return task;
        },
        completionHandler);
    if (task)
        addDelegateForTask(task, std::move(completionHandler))->uploadProgressBlock =
            std::move(uploadProgress);
    return task;
}

URLSessionTaskPtr HTURLSessionManager::uploadTaskWithRequest(UrlRequest request, Bytes fromData,
                                                             ProgressBlock uploadProgress,
                                                             CompletionHandler completionHandler) {
    URLSessionTaskPtr task = createTask(
        [&] { return session_->uploadTask(request, std::move(fromData)); }, completionHandler);
    if (task)
        addDelegateForTask(task, std::move(completionHandler))->uploadProgressBlock =
            std::move(uploadProgress);
    return task;
}

URLSessionTaskPtr HTURLSessionManager::uploadTaskWithStreamedRequest(
    UrlRequest request, ProgressBlock uploadProgress, CompletionHandler completionHandler) {
    URLSessionTaskPtr task = createTask(
        [&] { return session_->uploadTaskWithStreamedRequest(request); }, completionHandler);
    if (task)
        addDelegateForTask(task, std::move(completionHandler))->uploadProgressBlock =
            std::move(uploadProgress);
    return task;
}

URLSessionTaskPtr HTURLSessionManager::downloadTaskWithRequest(
    UrlRequest request, ProgressBlock downloadProgress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    URLSessionTaskPtr task =
        createTask([&] { return session_->downloadTask(request); }, completionHandler);
    if (task)
        addDelegateForDownloadTask(task, std::move(downloadProgress), std::move(destination),
                                   std::move(completionHandler));
    return task;
}

Result<URLSessionTaskPtr> HTURLSessionManager::downloadTaskWithResumeData(
    const Bytes& resumeData, ProgressBlock downloadProgress, DestinationBlock destination,
    CompletionHandler completionHandler) {
    Result<URLSessionTaskPtr> task = session_->downloadTaskWithResumeData(resumeData);
    if (task)
        addDelegateForDownloadTask(*task, std::move(downloadProgress), std::move(destination),
                                   std::move(completionHandler));
    return task;
}

void HTURLSessionManager::addDelegateForDownloadTask(const URLSessionTaskPtr& task,
                                                     ProgressBlock downloadProgress,
                                                     DestinationBlock destination,
                                                     CompletionHandler completionHandler) {
    auto delegate = addDelegateForTask(task, std::move(completionHandler));
    if (destination) {
        delegate->downloadTaskDidFinishDownloading = [destination = std::move(destination)](
                                                         URLSession&, const URLSessionTaskPtr& task,
                                                         const Url& location) {
            return destination(location, task->response());
        };
    }
    delegate->downloadProgressBlock = std::move(downloadProgress);
}

HTURLSessionManagerTaskDelegatePtr HTURLSessionManager::addDelegateForTask(
    const URLSessionTaskPtr& task, CompletionHandler completionHandler) {
    auto delegate = HTURLSessionManagerTaskDelegate::make(task);
    delegate->manager = weak_from_this();
    delegate->completionHandler = std::move(completionHandler);
    task->setTaskDescription(taskDescription_);
    setDelegate(delegate, task);
    return delegate;
}

void HTURLSessionManager::setDelegate(const HTURLSessionManagerTaskDelegatePtr& delegate,
                                      const URLSessionTaskPtr& task) {
    std::lock_guard lock(lock_);
    registrations_[task->taskIdentifier()] = Registration{task, delegate};
}

HTURLSessionManagerTaskDelegatePtr HTURLSessionManager::delegateForTask(
    const URLSessionTaskPtr& task) const {
    std::lock_guard lock(lock_);
    auto it = registrations_.find(task->taskIdentifier());
    return it == registrations_.end() ? nullptr : it->second.delegate;
}

void HTURLSessionManager::removeDelegateForTask(const URLSessionTaskPtr& task) {
    std::lock_guard lock(lock_);
    registrations_.erase(task->taskIdentifier());
}

void HTURLSessionManager::adoptTasks(const std::vector<URLSessionTaskPtr>& tasks) {
    for (const URLSessionTaskPtr& task : tasks) {
        if (delegateForTask(task))
            continue;
        auto delegate = addDelegateForTask(task, nullptr);
        if (task->isDownloadTask()) {
            delegate->downloadTaskDidFinishDownloading =
                [](URLSession&, const URLSessionTaskPtr& task, const Url&) {
                    return defaultDownloadDestination(task);
                };
        }
    }
}

ProgressPtr HTURLSessionManager::uploadProgressForTask(const URLSessionTaskPtr& task) const {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->uploadProgress() : nullptr;
}

ProgressPtr HTURLSessionManager::downloadProgressForTask(const URLSessionTaskPtr& task) const {
    auto delegate = delegateForTask(task);
    return delegate ? delegate->downloadProgress() : nullptr;
}

std::vector<URLSessionTaskPtr> HTURLSessionManager::tasksForList(TaskList list) const {
    std::vector<URLSessionTaskPtr> lists[3];
    if (operationQueue_->isCurrent()) {
        // The session answers on this very queue, so waiting for it here would never end.
        std::lock_guard lock(lock_);
        for (const auto& [identifier, registration] : registrations_) {
            if (registration.task->state() != URLSessionTaskState::Completed)
                lists[static_cast<int>(registration.task->kind())].push_back(registration.task);
        }
    } else {
        DispatchSemaphore answered;
        session_->getTasks([&](std::vector<URLSessionTaskPtr> data,
                               std::vector<URLSessionTaskPtr> upload,
                               std::vector<URLSessionTaskPtr> download) {
            lists[0] = std::move(data);
            lists[1] = std::move(upload);
            lists[2] = std::move(download);
            answered.signal();
        });
        answered.wait();
    }
    switch (list) {
        case TaskList::Data:
            return lists[0];
        case TaskList::Upload:
            return lists[1];
        case TaskList::Download:
            return lists[2];
        case TaskList::All:
            break;
    }
    std::vector<URLSessionTaskPtr> all = std::move(lists[0]);
    all.insert(all.end(), lists[1].begin(), lists[1].end());
    all.insert(all.end(), lists[2].begin(), lists[2].end());
    return all;
}

std::vector<URLSessionTaskPtr> HTURLSessionManager::tasks() const {
    return tasksForList(TaskList::All);
}
std::vector<URLSessionTaskPtr> HTURLSessionManager::dataTasks() const {
    return tasksForList(TaskList::Data);
}
std::vector<URLSessionTaskPtr> HTURLSessionManager::uploadTasks() const {
    return tasksForList(TaskList::Upload);
}
std::vector<URLSessionTaskPtr> HTURLSessionManager::downloadTasks() const {
    return tasksForList(TaskList::Download);
}

void HTURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
    if (cancelPendingTasks)
        session_->invalidateAndCancel();
    else
        session_->finishTasksAndInvalidate();
}

std::string HTURLSessionManager::description() const {
    return "<HTURLSessionManager: " + taskDescription_ +
           ", session: <URLSession: " + addressText(session_.get()) +
           ">, operationQueue: " + operationQueue_->label() + ">";
}

std::shared_ptr<HTURLSessionManager> HTURLSessionManager::copy() const {
    return make(configuration_);
}

void HTURLSessionManager::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeJson(configurationJson(configuration_), "sessionConfiguration");
}

std::optional<std::optional<URLSessionConfiguration>> HTURLSessionManager::decodeConfiguration(
    KeyedUnarchiver& coder) {
    std::optional<Json> json = coder.decodeJson("sessionConfiguration");
    if (!json)
        return coder.error() ? std::nullopt
                             : std::optional(std::optional<URLSessionConfiguration>());
    std::optional<URLSessionConfiguration> configuration = configurationFromJson(*json);
    if (!configuration) {
        coder.failWithError(Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                                        "the session configuration is damaged"));
        return std::nullopt;
    }
    return configuration;
}

std::shared_ptr<HTURLSessionManager> HTURLSessionManager::initWithCoder(KeyedUnarchiver& coder) {
    auto configuration = decodeConfiguration(coder);
    return configuration ? make(std::move(*configuration)) : nullptr;
}

void HTURLSessionManager::taskDidChangeState(const Notification& notification,
                                             const char* publicName) {
    auto task = std::static_pointer_cast<URLSessionTask>(notification.sender);
    if (!task || task->taskDescription() != taskDescription_ || !delegateForTask(task))
        return;
    // Unheard, the notification would only wake the main thread.
    if (!NotificationCenter::defaultCenter().hasObservers(publicName))
        return;
    DispatchQueue::main()->async(
        [task, publicName] { NotificationCenter::defaultCenter().post(publicName, task); });
}

// ---- Session events

AuthChallengeDisposition HTURLSessionManager::evaluateChallenge(
    URLSession& session, const URLSessionTaskPtr& task, const AuthChallenge& challenge,
    std::optional<UrlCredential>* credential) {
    ChallengeBlock override = block(taskDidReceiveAuthenticationChallenge_);
    if (!override)
        override = block(sessionDidReceiveAuthenticationChallenge_);
    if (override)
        return override(session, task, challenge, credential);
    const ProtectionSpace& space = challenge.protectionSpace;
    if (space.authenticationMethod != AuthenticationMethodServerTrust || !space.serverTrust)
        return AuthChallengeDisposition::PerformDefaultHandling;
    std::shared_ptr<HTSecurityPolicy> policy = securityPolicy();
    if (!policy || !policy->evaluateServerTrust(*space.serverTrust, space.host))
        return AuthChallengeDisposition::CancelAuthenticationChallenge;
    *credential = UrlCredential::forTrust(space.serverTrust);
    return AuthChallengeDisposition::UseCredential;
}

void HTURLSessionManager::didReceiveChallenge(URLSession& session, const URLSessionTaskPtr& task,
                                              const AuthChallenge& challenge,
                                              ChallengeCompletion completion) {
    std::optional<UrlCredential> credential;
    AuthChallengeDisposition disposition = evaluateChallenge(session, task, challenge, &credential);
    completion(disposition, std::move(credential));
}

void HTURLSessionManager::willPerformHTTPRedirection(
    URLSession& session, const URLSessionTaskPtr& task, const HttpResponsePtr& response,
    UrlRequest proposed, std::function<void(std::optional<UrlRequest>)> completion) {
    if (auto redirection = block(taskWillPerformHTTPRedirection_))
        completion(redirection(session, task, response, proposed));
    else
        completion(std::move(proposed));
}

void HTURLSessionManager::needNewBodyStream(URLSession& session, const URLSessionTaskPtr& task,
                                            std::function<void(InputStreamPtr)> completion) {
    if (auto needStream = block(taskNeedNewBodyStream_)) {
        completion(needStream(session, task));
        return;
    }
    // A multipart body can be read again from its start; any other stream only once.
    auto body =
        std::dynamic_pointer_cast<HTMultipartBodyStream>(task->originalRequest().httpBodyStream);
    completion(body ? body->copy() : nullptr);
}

void HTURLSessionManager::didSendBodyData(URLSession& session, const URLSessionTaskPtr& task,
                                          std::int64_t bytesSent, std::int64_t totalBytesSent,
                                          std::int64_t totalBytesExpectedToSend) {
    if (auto delegate = delegateForTask(task))
        delegate->didSendBodyData(task);
    auto sent = block(taskDidSendBodyData_);
    if (!sent)
        return;
    std::int64_t expected = totalBytesExpectedToSend;
    if (expected == URLSessionTransferSizeUnknown) {
        if (auto length = task->originalRequest().valueForHTTPHeaderField("Content-Length")) {
            try {
                expected = std::stoll(*length);
            } catch (const std::exception&) {
            }
        }
    }
    sent(session, task, bytesSent, totalBytesSent, expected);
}

void HTURLSessionManager::didReceiveResponse(
    URLSession& session, const URLSessionTaskPtr& task, const HttpResponsePtr& response,
    std::function<void(URLSessionResponseDisposition)> completion) {
    auto decide = block(dataTaskDidReceiveResponse_);
    completion(decide ? decide(session, task, response) : URLSessionResponseDisposition::Allow);
}

bool HTURLSessionManager::mayTurnDataTasksIntoDownloads() const {
    return block(dataTaskDidReceiveResponse_) != nullptr;
}

void HTURLSessionManager::didBecomeDownloadTask(URLSession& session,
                                                const URLSessionTaskPtr& dataTask,
                                                const URLSessionTaskPtr& downloadTask) {
    // The same delegate, with its one completion handler, goes on under the download task.
    if (auto delegate = delegateForTask(dataTask)) {
        removeDelegateForTask(dataTask);
        setDelegate(delegate, downloadTask);
    }
    if (NotificationCenter::defaultCenter().hasObservers(
            HTNetworkingTaskDidBecomeDownloadNotification)) {
        DispatchQueue::main()->async([dataTask, downloadTask] {
            NotificationCenter::defaultCenter().post(
                HTNetworkingTaskDidBecomeDownloadNotification, dataTask,
                {{HTNetworkingTaskBecameDownloadTaskKey, downloadTask}});
        });
    }
    if (auto became = block(dataTaskDidBecomeDownloadTask_))
        became(session, dataTask, downloadTask);
}

void HTURLSessionManager::willCacheResponse(URLSession& session, const URLSessionTaskPtr& task,
                                            const CachedURLResponsePtr& proposed,
                                            std::function<void(CachedURLResponsePtr)> completion) {
    auto decide = block(dataTaskWillCacheResponse_);
    completion(decide ? decide(session, task, proposed) : proposed);
}

void HTURLSessionManager::didReceiveData(URLSession& session, const URLSessionTaskPtr& task,
                                         const Bytes& data) {
    if (auto delegate = delegateForTask(task))
        delegate->didReceiveData(task, data);
    if (auto received = block(dataTaskDidReceiveData_))
        received(session, task, data);
}

void HTURLSessionManager::didResumeAtOffset(URLSession& session, const URLSessionTaskPtr& task,
                                            std::int64_t fileOffset,
                                            std::int64_t expectedTotalBytes) {
    if (auto delegate = delegateForTask(task))
        delegate->didResumeAtOffset(fileOffset, expectedTotalBytes);
    if (auto resumed = block(downloadTaskDidResume_))
        resumed(session, task, fileOffset, expectedTotalBytes);
}

void HTURLSessionManager::didWriteData(URLSession& session, const URLSessionTaskPtr& task,
                                       std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                       std::int64_t totalBytesExpectedToWrite) {
    if (auto delegate = delegateForTask(task))
        delegate->didWriteData(totalBytesWritten, totalBytesExpectedToWrite);
    if (auto written = block(downloadTaskDidWriteData_))
        written(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void HTURLSessionManager::didFinishDownloadingTo(URLSession& session, const URLSessionTaskPtr& task,
                                                 const Url& location) {
    auto delegate = delegateForTask(task);
    if (auto finished = block(downloadTaskDidFinishDownloading_)) {
        if (std::optional<Url> destination = finished(session, task, location)) {
            if (delegate)
                delegate->setDownloadFileURL(destination);
            HTMoveDownloadedFile(task, location, *destination);
            return;
        }
    }
    if (delegate)
        delegate->didFinishDownloadingTo(session, task, location);
}

void HTURLSessionManager::didCompleteWithError(URLSession& session, const URLSessionTaskPtr& task,
                                               const ErrorPtr& error) {
    if (auto delegate = delegateForTask(task)) {
        delegate->didCompleteWithError(task, error);
        removeDelegateForTask(task);
    }
    if (auto completed = block(taskDidComplete_))
        completed(session, task, error);
}

void HTURLSessionManager::didBecomeInvalid(URLSession& session, const ErrorPtr& error) {
    if (auto invalid = block(sessionDidBecomeInvalid_))
        invalid(session, error);
    NotificationCenter::defaultCenter().post(HTURLSessionDidInvalidateNotification,
                                             session.shared_from_this());
}

void HTURLSessionManager::didFinishEventsForBackgroundURLSession(URLSession& session) {
    if (auto finished = block(didFinishEventsForBackgroundURLSession_)) {
        DispatchQueue::main()->async(
            [finished, session = session.shared_from_this()] { finished(*session); });
    }
}

}  // namespace quarra
