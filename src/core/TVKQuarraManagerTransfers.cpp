// The request engine's background uploads and downloads, the task-complete observer that delivers
// their results after a relaunch, and the system's background-events handler.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <set>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKMIMEType.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Directories.h"
#include "platform/Files.h"
#include "quarra/Bundle.h"
#include "quarra/Result.h"
#include "quarra/TVKErrors.h"
#include "storage/crypt/TVKCryptStream.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "transport/HTHTTPSessionManager.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

// A downloaded JSON file larger than this is a document, never a server's error reply.
constexpr std::uintmax_t kLargestServerReply = 1 << 20;

ErrorPtr apiError(const std::string& description, ErrorPtr underlying = nullptr,
                  long code = TVKAPITransferFailedErrorCode) {
    return Error::make(TVKAPIErrorDomain, code, Bundle::sdk().localizedString(description),
                       std::move(underlying));
}

std::optional<std::string> transferUsername() {
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    return user ? std::optional<std::string>(user->username()) : std::nullopt;
}

std::string extensionOf(const std::string& fileName) {
    auto dot = fileName.rfind('.');
    return dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
}

std::string mimeTypeOf(const std::optional<Url>& url) {
    return contentTypeForPathExtension(url ? extensionOf(url->lastPathComponent()) : "");
}

std::optional<Url> fileUrlOf(const std::string& path) {
    return path.empty() ? std::nullopt : std::optional<Url>(Url::fileUrl(path));
}

// Only a file URL of an absolute path names a place to store a download; a file reference URL
// ("/.file/id=...") names a file that may move.
bool isValidDownloadLocation(const Url& url) {
    if (!url.isFileUrl())
        return false;
    std::string path = url.filePath().string();
    return !path.empty() && path.front() == '/' && !path.starts_with("/.file/id=");
}

std::string uuidText() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::uint64_t high = random(), low = random();
    high = (high & ~0xF000ULL) | 0x4000ULL;                       // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;  // variant 1
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX",
                  static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                  static_cast<unsigned>(high & 0xFFFF), static_cast<unsigned>(low >> 48),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

// The file name a reply suggests (Content-Disposition, else the URL's last component), reduced
// to a plain base name: a server never chooses where in the file system the download lands.
std::string suggestedFileName(const HttpResponsePtr& response, const UrlRequest& request) {
    std::string name;
    if (response) {
        std::string disposition =
            response->valueForHTTPHeaderField("Content-Disposition").value_or(std::string());
        auto extended = disposition.find("filename*=");
        auto plain = disposition.find("filename=");
        if (extended != std::string::npos) {
            std::string value = disposition.substr(extended + 10);
            value = value.substr(0, value.find(';'));
            auto quote = value.find("''");
            name = Url::percentDecode(quote == std::string::npos ? value : value.substr(quote + 2));
        } else if (plain != std::string::npos) {
            std::string value = disposition.substr(plain + 9);
            if (!value.empty() && value.front() == '"') {
                value = value.substr(1, value.find('"', 1) == std::string::npos
                                            ? std::string::npos
                                            : value.find('"', 1) - 1);
            } else {
                value = value.substr(0, value.find(';'));
            }
            name = value;
        }
        if (name.empty())
            name = response->url.lastPathComponent();
    }
    if (name.empty())
        name = request.url.lastPathComponent();
    auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    std::string clean;
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            clean += c;
    }
    if (clean.empty() || clean == "." || clean == "..")
        clean = "download";
    return clean.substr(0, 200);
}

// Copies `from` to a new file `to`; an existing `to` is an error and stays as it was, and so does
// whatever is at `to` when `from` is missing (it may be what an earlier delivery stored).
ErrorPtr copyWithoutReplacing(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    if (from.empty())
        return posixError(ENOENT, "no downloaded file");
    struct stat found = {};
    if (::stat(from.c_str(), &found) != 0)
        return posixError(errno, "cannot read the downloaded file " + from.string());
    // The temporary file is ours to give away: a hard link moves it without copying a byte.
    if (::link(from.c_str(), to.c_str()) == 0)
        return nullptr;
    if (errno == EEXIST) {
        // Linked by a process that ended before it could deliver: the download is in place.
        struct stat source = {}, target = {};
        if (::stat(from.c_str(), &source) == 0 && ::lstat(to.c_str(), &target) == 0 &&
            source.st_dev == target.st_dev && source.st_ino == target.st_ino)
            return nullptr;
        return posixError(EEXIST, "cannot copy to " + to.string());
    }
    if (!fs::copy_file(from, to, fs::copy_options::none, ec)) {
        ErrorPtr error = posixError(ec.value(), "cannot copy to " + to.string());
        if (ec.value() != EEXIST)
            fs::remove(to, ec);
        return error;
    }
    return nullptr;
}

// Hands the live progress object to `handler` on the main queue, never queueing a second call
// while one is waiting.
HTURLSessionManager::ProgressBlock progressBlock(TVKQuarraProgressHandler handler,
                                                 std::shared_ptr<ProgressPtr> progress) {
    if (!handler)
        return nullptr;
    auto waiting = std::make_shared<std::atomic<bool>>(false);
    return [handler = std::move(handler), progress, waiting](const Progress&) {
        if (waiting->exchange(true))
            return;
        DispatchQueue::main()->async([handler, progress, waiting] {
            waiting->store(false);
            if (*progress)
                handler(*progress);
        });
    };
}

ErrorPtr interruptedError() {
    return apiError("The transfer was interrupted before it completed");
}

std::optional<std::string> optionalName(const std::string& name) {
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

// Files in `folder` that `named` does not list.
void sweepFolder(const fs::path& folder, const std::set<fs::path>& named) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (named.count(entry.path()))
            continue;
        TVK_LOG_DEBUG("Removing a file no transfer names:" + entry.path().filename().string());
        fs::remove_all(entry.path(), ec);
    }
}

// The error a downloaded server reply reports; none for a successful reply or a file that is no
// reply at all.
ErrorPtr replyError(const Json& reply) {
    return reply.is_null() ? nullptr : TVKQuarraManager::errorFromResponse(reply);
}

}  // namespace

// --- Background session

void TVKQuarraManager::setUpBackgroundManager(HTHTTPSessionManager& manager) {
    // Every finished download of a pending record, the adopted ones of earlier processes too,
    // lands in the downloads directory under a name the record holds before the file is moved.
    manager.setDownloadTaskDidFinishDownloadingBlock(
        [this](URLSession&, const URLSessionTaskPtr& task, const Url&) -> std::optional<Url> {
            std::uint64_t taskId = task->taskIdentifier();
            if (!pendingTransfers_.pendingDownload(taskId))
                return std::nullopt;
            fs::path folder = TVKQuarraConfigurationManager::sharedInstance().downloadsDirectory();
            if (files::createDirectories(folder, 0700))
                return std::nullopt;
            fs::path path = folder / (suggestedFileName(task->response(), task->originalRequest()) +
                                      "-" + uuidText());
            pendingTransfers_.setTempFilePath(path.string(), taskId);
            return Url::fileUrl(path);
        });
    manager.setDidFinishEventsForBackgroundURLSessionBlock(
        [this](URLSession&) { backgroundEventsFinished(); });
}

void TVKQuarraManager::setCompletionHandler(std::function<void()> handler,
                                            const std::string& identifier) {
    if (identifier != backgroundSessionIdentifier_ || !handler)
        return;
    if (runTransfers()) {
        // Another process runs the session: none of its events reach this one.
        DispatchQueue::main()->async(std::move(handler));
        return;
    }
    std::lock_guard lock(transfersMutex_);
    if (backgroundEventsFinished_) {
        // The session was done before the host handed its handler over.
        backgroundEventsFinished_ = false;
        DispatchQueue::main()->async(std::move(handler));
        return;
    }
    backgroundEventsCompletionHandler_ = std::move(handler);
}

void TVKQuarraManager::backgroundEventsFinished() {
    std::function<void()> handler;
    {
        std::lock_guard lock(transfersMutex_);
        handler = std::exchange(backgroundEventsCompletionHandler_, nullptr);
        backgroundEventsFinished_ = !handler;
    }
    if (!handler)
        return;
    TVK_LOG_DEBUG(
        "Finished processing background tasks. Invoking iOS system provided background session "
        "handler to finalize.");
    handler();
}

void TVKQuarraManager::setBackgroundUploadResultHandler(TVKQuarraUploadHandler handler) {
    {
        std::lock_guard lock(transfersMutex_);
        backgroundUploadResultHandler_ = std::move(handler);
    }
    DispatchQueue::main()->async([this] { deliverWaitingUploads(); });
}

void TVKQuarraManager::deliverWaitingUploads() {
    auto handler = backgroundUploadResultHandler();
    if (!handler)
        return;
    std::vector<WaitingResult> waiting;
    {
        std::lock_guard lock(transfersMutex_);
        waiting.swap(waitingUploads_);
    }
    for (WaitingResult& result : waiting) {
        if (result.upload)
            deliverUpload(*result.upload, result.response, result.error, handler);
        else
            handleResponseForUploadTaskId(result.response, result.taskId, result.error, handler);
    }
}

void TVKQuarraManager::deliverWaitingDownloads() {
    auto handler = backgroundDownloadResultHandler();
    if (!handler)
        return;
    std::vector<WaitingResult> waiting;
    {
        std::lock_guard lock(transfersMutex_);
        waiting.swap(waitingDownloads_);
    }
    for (WaitingResult& result : waiting) {
        if (result.download)
            deliverDownload(*result.download, result.response, result.error, handler);
        else
            handleResponseForDownloadTaskId(result.response, result.taskId, result.error, handler);
    }
}

void TVKQuarraManager::forgetBackgroundTask(std::uint64_t taskId) {
    if (auto background = backgroundSessionManager())
        background->session()->forgetTask(taskId);
}

void TVKQuarraManager::prepareAdoptedRequest(std::uint64_t taskId, UrlRequest& request) {
    // The session keeps no credential on disk: its owner's session goes on again, if it is still
    // the one signed in.
    std::string owner;
    if (auto upload = pendingTransfers_.pendingUpload(taskId))
        owner = upload->username;
    else if (auto download = pendingTransfers_.pendingDownload(taskId))
        owner = download->username;
    if (owner.empty())
        return;
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    std::optional<std::string> session;
    if (auto user = auth.currentUser(); user && user->username() == owner)
        session = user->sessionId();
    else if (KeychainItemStore::getUsername().valueOr(std::nullopt) == owner)
        session = auth.sessionId().valueOr(std::nullopt);
    if (session)
        request.setValue(session, "Authorization");
}

void TVKQuarraManager::recoverEarlierTransfers() {
    auto background = backgroundSessionManager();
    const auto& adopted = background->session()->adoptedTaskIdentifiers();
    std::set<std::uint64_t> tasks(adopted.begin(), adopted.end());
    {
        std::lock_guard lock(transfersMutex_);
        for (TVKPendingUpload& upload : pendingTransfers_.claimUploadsWithoutTask(tasks)) {
            // Never handed to the session, or its task is gone: it was not sent.
            WaitingResult result;
            result.response = Json::object();
            result.error = interruptedError();
            result.upload = std::move(upload);
            waitingUploads_.push_back(std::move(result));
        }
        for (TVKPendingDownload& download : pendingTransfers_.claimDownloadsWithoutTask(tasks)) {
            WaitingResult result;
            result.error = interruptedError();
            result.download = std::move(download);
            waitingDownloads_.push_back(std::move(result));
        }
    }
}

void TVKQuarraManager::loadRecordsAndSweep() {
    pendingTransfers_.initPendingUploads();
    pendingTransfers_.initPendingDownloads();
    sweepFilesOfNoRecord();
    if (ErrorPtr error = UserDefaults::standard().removeLeftoverPartialFiles())
        TVK_LOG_ERROR("Cannot sweep the preferences' folder:" + error->description());
}

ErrorPtr TVKQuarraManager::runTransfers() {
    std::lock_guard lock(runsTransfersMutex_);
    if (runsTransfers_)
        return nullptr;
    if (!TVKQuarraConfigurationManager::sharedInstance().claimTransferOwnership()) {
        return apiError("Another process of the application runs the transfers", nullptr,
                        TVKAPITransfersRunElsewhereErrorCode);
    }
    // The process that ran them has ended: its records, saved since this one read them, and the
    // tasks of its background session are this one's now.
    if (ErrorPtr error = UserDefaults::standard().reload())
        return error;
    loadRecordsAndSweep();
    auto adopting = makeSessionManager(ManagerKind::Background);
    std::shared_ptr<HTHTTPSessionManager> storeless;
    {
        std::lock_guard managersLock(managersMutex_);
        storeless = std::exchange(backgroundSessionManager_, adopting);
    }
    // It could not keep tasks and was given none.
    storeless->invalidateSessionCancelingTasks(true);
    recoverEarlierTransfers();
    runsTransfers_ = true;
    DispatchQueue::main()->async([this] {
        deliverWaitingUploads();
        deliverDownloadsOfEarlierProcesses();
    });
    return nullptr;
}

void TVKQuarraManager::sweepFilesOfNoRecord() {
    std::set<fs::path> named = pendingTransfers_.filesNamed();
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    sweepFolder(configuration.uploadsDirectory(), named);
    sweepFolder(configuration.downloadsDirectory(), named);
    // Where the transport puts adopted downloads nobody claims: none of ours is ever left there.
    sweepFolder(applicationSupportDirectory() / "com.tovik.transport.downloads", named);
}

void TVKQuarraManager::setBackgroundDownloadResultHandler(TVKQuarraDownloadHandler handler) {
    {
        std::lock_guard lock(transfersMutex_);
        backgroundDownloadResultHandler_ = std::move(handler);
    }
    DispatchQueue::main()->async([this] { deliverDownloadsOfEarlierProcesses(); });
}

void TVKQuarraManager::deliverDownloadsOfEarlierProcesses() {
    deliverWaitingDownloads();
    auto handler = backgroundDownloadResultHandler();
    if (!handler)
        return;
    // A download whose file an earlier process had but did not store (it ended while storing)
    // may have no task left to report it: it is delivered from its record.
    for (std::uint64_t taskId : pendingTransfers_.takeDownloadsFinishedEarlier()) {
        auto record = pendingTransfers_.pendingDownload(taskId);
        std::error_code ec;
        if (!record || !fs::exists(record->tempFilePath, ec))
            continue;
        Json reply = checkFileAtPath(record->tempFilePath);
        handleResponseForDownloadTaskId(reply, taskId, replyError(reply), handler);
    }
}

TVKQuarraUploadHandler TVKQuarraManager::backgroundUploadResultHandler() const {
    std::lock_guard lock(transfersMutex_);
    return backgroundUploadResultHandler_;
}

TVKQuarraDownloadHandler TVKQuarraManager::backgroundDownloadResultHandler() const {
    std::lock_guard lock(transfersMutex_);
    return backgroundDownloadResultHandler_;
}

// --- Downloads

void TVKQuarraManager::requestQuarraDownloadFileEndpoint(
    const std::string& endpoint, TVKQuarraPtr quarra, const Url& fileURL, bool encrypt,
    const Json& parameters, TVKQuarraProgressHandler progressHandler,
    TVKQuarraDownloadHandler completionHandler) {
    std::string mimeType = mimeTypeOf(fileURL);
    auto refuse = [&](ErrorPtr error) {
        if (completionHandler) {
            DispatchQueue::main()->async(
                [completionHandler, fileURL, mimeType, error, username = transferUsername()] {
                    completionHandler(nullptr, fileURL, mimeType, username, error);
                });
        }
    };
    if (endpoint.empty() || !quarra || !isValidDownloadLocation(fileURL)) {
        refuse(apiError("Invalid download location"));
        return;
    }
    if (ErrorPtr error = runTransfers()) {
        refuse(std::move(error));
        return;
    }
    // Recorded before the sign-in and the task, so that a crash cannot lose it.
    auto recorded = pendingTransfers_.addRequestedDownload(fileURL.filePath().string(), encrypt,
                                                           transferUsername().value_or(""));
    if (!recorded) {
        refuse(recorded.error());
        return;
    }
    std::string key = *recorded;
    transferStep("download.requested");
    // The latest task of this call: a resend after an invalid session makes a new one.
    auto cell = std::make_shared<std::atomic<std::uint64_t>>(0);
    auto send = [this, key, endpoint, quarra, fileURL, parameters, progressHandler,
                 cell](TVKQuarraRequestHandler completion) {
        auto manager = sessionManagerWithParameterEncoding(TVKQuarraParameterEncodingFormURL);
        auto request = manager->requestSerializer()->requestWithMethod(
            "GET", urlForQuarraEndpoint(endpoint, quarraDNS(*quarra)),
            parameters.is_null() ? Json::object() : parameters);
        if (!request) {
            DispatchQueue::main()->async(
                [completion, error = request.error()] { completion(nullptr, error); });
            return;
        }
        auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
        auto session = signedInSessionId();
        if (!session) {
            DispatchQueue::main()->async(
                [completion, error = session.error()] { completion(nullptr, error); });
            return;
        }
        request->setValue(*session, "Authorization");
        auto background = backgroundSessionManager();
        auto progress = std::make_shared<ProgressPtr>();
        auto taskId = std::make_shared<std::uint64_t>(0);
        auto unsaved = std::make_shared<ErrorPtr>();
        auto task = background->downloadTaskWithRequest(
            std::move(*request), progressBlock(progressHandler, progress), nullptr,
            [this, completion, taskId, unsaved](const HttpResponsePtr& response,
                                                const std::any& object, const ErrorPtr& error) {
                ErrorPtr outcome = *unsaved ? *unsaved : error;
                Json reply;
                if (const Url* location = std::any_cast<Url>(&object))
                    pendingTransfers_.setTempFilePath(location->filePath().string(), *taskId);
                auto temporary = pendingTransfers_.tempFilePathForPendingDownload(*taskId);
                if (response && response->mimeType == "application/json" && temporary) {
                    reply = checkFileAtPath(*temporary);
                    if (ErrorPtr mapped = replyError(reply)) {
                        outcome = mapped;
                        // The resend, if one follows, goes under a task of its own.
                        if (mapped->is(TVKAuthorizationErrorDomain,
                                       TVKAuthorizationInvalidSessionErrorCode)) {
                            pendingTransfers_.releaseDownloadTask(*taskId);
                            forgetBackgroundTask(*taskId);
                        }
                    }
                }
                completion(reply, outcome);
            });
        if (!task)
            return;  // the session is being replaced; the completion hears of the cancellation
        *progress = background->downloadProgressForTask(task);
        *taskId = task->taskIdentifier();
        cell->store(*taskId);
        // A task its record does not name could not be delivered after a crash: it never runs.
        if ((*unsaved = pendingTransfers_.setDownloadTask(
                 key, *taskId, user ? user->username() : std::string()))) {
            task->cancel();
            return;
        }
        transferStep("download.taskRecorded");
        task->resume();
    };
    auto finish = [this, key, cell, completionHandler](const Json& response,
                                                       const ErrorPtr& error) {
        std::uint64_t taskId = cell->load();
        auto record = taskId != 0 ? pendingTransfers_.claimPendingDownload(taskId) : std::nullopt;
        // No task, or one whose session was invalid and that no resend followed: the record
        // still holds what the caller asked for.
        if (!record)
            record = pendingTransfers_.claimRequestedDownload(key);
        if (record)
            deliverDownload(*record, response, error, completionHandler);
    };
    maybeDoImplicitLoginToQuarra(std::move(quarra), std::move(send), std::move(finish));
}

void TVKQuarraManager::handleResponseForDownloadTaskId(const Json& response, std::uint64_t taskId,
                                                       const ErrorPtr& error,
                                                       TVKQuarraDownloadHandler handler) {
    auto record = pendingTransfers_.claimPendingDownload(taskId);
    if (!record) {
        TVK_LOG_DEBUG("Task " + std::to_string(taskId) + " already handled");
        // Delivered by an earlier process that ended before the session forgot the task.
        if (!pendingTransfers_.pendingDownload(taskId))
            forgetBackgroundTask(taskId);
        return;
    }
    deliverDownload(*record, response, error, std::move(handler));
}

void TVKQuarraManager::deliverDownload(const TVKPendingDownload& record, const Json& response,
                                       ErrorPtr error, TVKQuarraDownloadHandler handler) {
    std::optional<Url> fileURL = fileUrlOf(record.filePath);
    std::string mimeType = mimeTypeOf(fileURL);
    std::optional<std::string> username = optionalName(record.username);
    auto done = [this, record, response, fileURL, mimeType, username, handler](ErrorPtr outcome) {
        transferStep("download.stored");
        DispatchQueue::main()->async([=, this] {
            if (handler)
                handler(response, fileURL, mimeType, username, outcome);
            transferStep("download.handled");
            if (ErrorPtr removal = pendingTransfers_.removePendingDownload(record.key))
                TVK_LOG_ERROR("Error removing file:" + removal->description());
            // A record that could not go is delivered again at the next launch, from the task too.
            if (record.taskId && !pendingTransfers_.hasDownload(record.key))
                forgetBackgroundTask(*record.taskId);
        });
    };
    if (error) {
        done(std::move(error));
        return;
    }
    storeDownload(record, std::move(done));
}

void TVKQuarraManager::storeDownload(const TVKPendingDownload& record,
                                     std::function<void(ErrorPtr)> done) {
    if (record.encrypt) {
        TVKQuarraCryptManager::sharedInstance().createEncryptedFileAtPath(
            record.filePath, record.tempFilePath, Json::object(), [done](ErrorPtr error) {
                if (error)
                    TVK_LOG_ERROR("Error encrypting file:" + error->description());
                done(std::move(error));
            });
        return;
    }
    done(copyWithoutReplacing(record.tempFilePath, record.filePath));
}

Json TVKQuarraManager::checkFileAtPath(const fs::path& path) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    if (ec || size > kLargestServerReply)
        return nullptr;
    auto contents = files::read(path);
    if (!contents)
        return nullptr;
    auto parsed = parseJson(*contents);
    if (!parsed) {
        TVK_LOG_ERROR("Unexpected error opening download file:" + path.filename().string());
        return nullptr;
    }
    Json reply = std::move(*parsed);
    if (!reply.is_object() || (!reply.contains("responseStatus") && !reply.contains("errors")))
        return nullptr;
    return reply;
}

// --- Uploads

void TVKQuarraManager::requestQuarraMultipartFormEndpoint(const std::string& endpoint,
                                                          TVKQuarraPtr quarra, const Url& fileURL,
                                                          bool isEncrypted, unsigned long method,
                                                          const Json& parameters,
                                                          TVKQuarraProgressHandler progressHandler,
                                                          TVKQuarraUploadHandler completeHandler) {
    auto refuse = [&](ErrorPtr error) {
        if (completeHandler) {
            DispatchQueue::main()->async(
                [completeHandler, fileURL, error, username = transferUsername()] {
                    completeHandler(Json::object(), fileURL, username, error);
                });
        }
    };
    if (ErrorPtr error = isConnectedToNetwork()) {
        refuse(std::move(error));
        return;
    }
    if (!quarra) {
        refuse(Error::make(TVKQuarraErrorDomain, TVKInvalidRequestErrorCode, "No quarra given"));
        return;
    }
    // A file that is not there must not become an upload without its file part.
    struct stat status = {};
    fs::path path = fileURL.isFileUrl() ? fileURL.filePath() : fs::path();
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        ::access(path.c_str(), R_OK) != 0) {
        int code = path.empty() ? EINVAL : (errno ? errno : EISDIR);
        refuse(apiError("The file to upload cannot be read",
                        posixError(code, "cannot read " + path.string()),
                        TVKAPIFileUnreadableErrorCode));
        return;
    }
    if (static_cast<std::uint64_t>(status.st_size) > TVKMaximumUploadFileSize) {
        refuse(apiError("File size exceeds allowable size", nullptr, TVKAPIFileTooLargeErrorCode));
        return;
    }
    if (ErrorPtr error = runTransfers()) {
        refuse(std::move(error));
        return;
    }
    // Recorded before anything a crash could interrupt: the sign-in, the body, the task.
    fs::path folder = TVKQuarraConfigurationManager::sharedInstance().uploadsDirectory();
    if (ErrorPtr folderError = files::createDirectories(folder, 0700)) {
        refuse(std::move(folderError));
        return;
    }
    static thread_local std::mt19937 random{std::random_device{}()};
    fs::path bodyPath = folder / (std::to_string(random()) + "l_" + fileURL.lastPathComponent());
    auto recorded = pendingTransfers_.addRequestedUpload(bodyPath.string(), path.string(),
                                                         transferUsername().value_or(""));
    if (!recorded) {
        refuse(recorded.error());
        return;
    }
    std::string key = *recorded;
    transferStep("upload.requested");
    // The sign-in runs on the main thread, where the session lives.
    DispatchQueue::main()->async([=, this] {
        TVKQuarraAuthManager::sharedInstance().loginToQuarraServer(
            quarra, true, [=, this](const TVKUserInternalPtr& user, const ErrorPtr& error) {
                if (error) {
                    if (auto record = pendingTransfers_.claimRequestedUpload(key)) {
                        if (user)
                            record->username = user->username();
                        deliverUpload(*record, Json::object(), error, completeHandler);
                    }
                    return;
                }
                doRequestQuarraMultipartFormEndpoint(key, bodyPath, endpoint, quarra, fileURL,
                                                     isEncrypted, method, parameters,
                                                     progressHandler, completeHandler);
            });
    });
}

void TVKQuarraManager::doRequestQuarraMultipartFormEndpoint(
    const std::string& key, const fs::path& bodyPath, const std::string& endpoint,
    TVKQuarraPtr quarra, const Url& fileURL, bool isEncrypted, unsigned long method,
    const Json& parameters, TVKQuarraProgressHandler progressHandler,
    TVKQuarraUploadHandler completeHandler) {
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    std::string username = user ? user->username() : std::string();
    fs::path path = fileURL.filePath();
    std::string fileName = fileURL.lastPathComponent();
    auto fail = [this, key, username, completeHandler](ErrorPtr error) {
        if (auto record = pendingTransfers_.claimRequestedUpload(key)) {
            record->username = username;
            deliverUpload(*record, Json::object(), std::move(error), completeHandler);
        }
    };
    auto serializer =
        sessionManagerWithParameterEncoding(TVKQuarraParameterEncodingFormURL)->requestSerializer();
    std::string url = urlForQuarraEndpoint(endpoint, quarraDNS(*quarra));
    ErrorPtr partError;
    auto request = serializer->multipartFormRequestWithMethod(
        method == TVKQuarraRequestMethodPUT ? "PUT" : "POST", url,
        parameters.is_null() ? Json::object() : parameters, [&](HTMultipartFormData& form) {
            if (isEncrypted) {
                std::error_code ec;
                auto size = fs::file_size(path, ec);
                form.appendPartWithInputStream(
                    TVKQuarraCryptManager::sharedInstance().streamFromEncryptedFileAtPath(path),
                    "file", fileName, ec ? 0 : static_cast<std::int64_t>(size),
                    contentTypeForPathExtension(extensionOf(fileName)));
            } else if ((partError = form.appendPartWithFileURL(fileURL, "file"))) {
                TVK_LOG_ERROR("Error requesting URL:" + url +
                              "  error:" + partError->description());
            }
        });
    if (!request || partError) {
        fail(partError ? partError : request.error());
        return;
    }
    auto session = signedInSessionId();
    if (!session) {
        fail(session.error());
        return;
    }
    request->setValue(*session, "Authorization");
    // Sent from the body file: the same request without its body stream.
    UrlRequest upload = *request;
    upload.httpBodyStream = nullptr;
    (void)serializer->requestWithMultipartFormRequest(
        *request, Url::fileUrl(bodyPath), [=, this](const ErrorPtr& writeError) {
            // A body that could not be written whole (a short write, a source that could not be
            // read or decrypted) is never sent; the writer has removed what it wrote.
            if (writeError) {
                TVK_LOG_ERROR("Error writing upload body:" + writeError->description());
                fail(writeError);
                return;
            }
            transferStep("upload.bodyWritten");
            sessionManagersQueue_->async([=, this] {
                auto background = backgroundSessionManager();
                auto progress = std::make_shared<ProgressPtr>();
                auto recorded = std::make_shared<std::uint64_t>(0);
                auto unsaved = std::make_shared<ErrorPtr>();
                auto task = background->uploadTaskWithRequest(
                    upload, Url::fileUrl(bodyPath), progressBlock(progressHandler, progress),
                    [=, this](const HttpResponsePtr&, const std::any& object,
                              const ErrorPtr& taskError) {
                        if (*unsaved) {
                            fail(*unsaved);
                            return;
                        }
                        const Json* reply = std::any_cast<Json>(&object);
                        Json response = reply ? *reply : Json();
                        ErrorPtr outcome = taskError ? taskError : errorFromResponse(response);
                        TVK_LOG_DEBUG("Response for endpoint:" + url +
                                      "  taskId:" + std::to_string(*recorded) +
                                      "  response:" + redactedResponse(response, url).dump() +
                                      "  error:" + (outcome ? outcome->description() : "(null)"));
                        if (*recorded == 0) {
                            // The session never took the task.
                            fail(outcome);
                            return;
                        }
                        handleResponseForUploadTaskId(response, *recorded, outcome,
                                                      completeHandler);
                    });
                if (!task)
                    return;
                *progress = background->uploadProgressForTask(task);
                // A task its record does not name could not be delivered after a crash: it
                // never runs.
                if ((*unsaved =
                         pendingTransfers_.setUploadTask(key, task->taskIdentifier(), username))) {
                    task->cancel();
                    return;
                }
                *recorded = task->taskIdentifier();
                transferStep("upload.taskRecorded");
                task->resume();
            });
        });
}

void TVKQuarraManager::handleResponseForUploadTaskId(const Json& response, std::uint64_t taskId,
                                                     const ErrorPtr& error,
                                                     TVKQuarraUploadHandler handler) {
    auto record = pendingTransfers_.claimPendingUpload(taskId);
    if (!record) {
        TVK_LOG_WARNING("Task " + std::to_string(taskId) + " already handled");
        // Delivered by an earlier process that ended before the session forgot the task.
        if (!pendingTransfers_.pendingUpload(taskId).has_value())
            forgetBackgroundTask(taskId);
        return;
    }
    Json reply = response.is_object() ? response : Json::object();
    deliverUpload(*record, reply, error ? error : errorFromResponse(reply), std::move(handler));
}

void TVKQuarraManager::deliverUpload(const TVKPendingUpload& record, const Json& response,
                                     ErrorPtr error, TVKQuarraUploadHandler handler) {
    DispatchQueue::main()->async([this, record, response, error, handler] {
        if (handler)
            handler(response, fileUrlOf(record.filePath), optionalName(record.username), error);
        transferStep("upload.handled");
        TVK_LOG_DEBUG("Finished uploading:" + record.key +
                      "  removing file at:" + record.multipartPath);
        if (ErrorPtr removal = pendingTransfers_.removePendingUpload(record.key))
            TVK_LOG_ERROR("Error removing file:" + removal->description());
        // A record that could not go is delivered again at the next launch, from the task too.
        if (record.taskId && !pendingTransfers_.hasUpload(record.key))
            forgetBackgroundTask(*record.taskId);
        if (handler && !error)
            TVKQuarraLoggerInternal::sharedInstance().startUploadProcessAfterRequest();
    });
}

// --- Results after a relaunch

void TVKQuarraManager::didReceiveTaskCompleteNotification(const Notification& notification) {
    auto task = std::static_pointer_cast<URLSessionTask>(notification.sender);
    auto background = backgroundSessionManager();
    // Only the background session's tasks are transfers; other sessions number theirs alike.
    if (!task || task->kind() == URLSessionTaskKind::Data || !background ||
        task->taskDescription() != background->taskDescriptionForSessionTasks()) {
        return;
    }
    const ErrorPtr* errorValue = notification.value<ErrorPtr>(HTNetworkingTaskDidCompleteErrorKey);
    ErrorPtr error = errorValue ? *errorValue : nullptr;
    std::uint64_t taskId = task->taskIdentifier();
    if (task->isUploadTask()) {
        const Json* reply =
            notification.value<Json>(HTNetworkingTaskDidCompleteSerializedResponseKey);
        auto handler = backgroundUploadResultHandler();
        if (!handler)
            TVK_LOG_WARNING("WARNING: no background upload task completion handler set.");
        if (!handler && pendingTransfers_.pendingUpload(taskId).has_value()) {
            // Kept until a handler is set (the session keeps it on disk, too).
            std::lock_guard lock(transfersMutex_);
            waitingUploads_.push_back({taskId, reply ? *reply : Json(), error, {}, {}});
            return;
        }
        TVK_LOG_DEBUG("Received notification for upload task:" + std::to_string(taskId));
        handleResponseForUploadTaskId(reply ? *reply : Json(), taskId, error, handler);
        return;
    }
    TVK_LOG_DEBUG("Received notification for download task:" + std::to_string(taskId));
    if (const Url* asset = notification.value<Url>(HTNetworkingTaskDidCompleteAssetPathKey))
        pendingTransfers_.setTempFilePath(asset->filePath().string(), taskId);
    Json response;
    auto temporary = pendingTransfers_.tempFilePathForPendingDownload(taskId);
    auto head = task->response();
    if (head && head->mimeType == "application/json" && temporary) {
        Json reply = checkFileAtPath(*temporary);
        if (ErrorPtr mapped = replyError(reply)) {
            response = reply;
            error = mapped;
        }
    }
    auto handler = backgroundDownloadResultHandler();
    if (!handler)
        TVK_LOG_WARNING("WARNING: no background download task completion handler set.");
    if (!handler && pendingTransfers_.pendingDownload(taskId)) {
        std::lock_guard lock(transfersMutex_);
        waitingDownloads_.push_back({taskId, response, error, {}, {}});
        return;
    }
    handleResponseForDownloadTaskId(response, taskId, error, handler);
}

}  // namespace quarra
