#pragma once
// One transfer of a URL session: a data task (body delivered in pieces to the delegate), an upload
// task (a data task whose body comes from data, a file or a stream) or a download task (body
// written to a temporary file). A task starts suspended; resume() starts it. Every member is safe
// to call from any thread, including from delegate events.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/Result.h"
#include "quarra/UrlRequest.h"

namespace quarra {

class URLSession;
class URLSessionTask;
using URLSessionTaskPtr = std::shared_ptr<URLSessionTask>;

enum class URLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };
enum class URLSessionTaskKind { Data, Upload, Download };

// A byte count that is not known (no Content-Length, a stream of unknown length).
inline constexpr std::int64_t URLSessionTransferSizeUnknown = -1;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
  public:
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    // Unique within the session; for a background session also across the processes that open it.
    std::uint64_t taskIdentifier() const { return identifier_; }
    URLSessionTaskKind kind() const { return kind_; }
    bool isUploadTask() const { return kind_ == URLSessionTaskKind::Upload; }
    bool isDownloadTask() const { return kind_ == URLSessionTaskKind::Download; }

    // The request the task was made with, and the one it is sending now (after redirects).
    const UrlRequest& originalRequest() const { return originalRequest_; }
    UrlRequest currentRequest() const;
    // The last reply head received; null before one arrived.
    HttpResponsePtr response() const;
    URLSessionTaskState state() const { return state_.load(); }
    // Why the task failed; null while running and after success.
    ErrorPtr error() const;

    std::int64_t countOfBytesSent() const { return bytesSent_.load(); }
    std::int64_t countOfBytesExpectedToSend() const { return bytesExpectedToSend_.load(); }
    std::int64_t countOfBytesReceived() const { return bytesReceived_.load(); }
    std::int64_t countOfBytesExpectedToReceive() const { return bytesExpectedToReceive_.load(); }

    // Free text for the task's owner; a background session keeps it across processes.
    std::string taskDescription() const;
    void setTaskDescription(std::string description);

    // Starts a new task or continues a suspended one; does nothing to a running, cancelled or
    // completed task.
    void resume();
    // Holds a running transfer (no bytes move, no time-out runs) until resume().
    void suspend();
    // Ends the task with URLErrorCancelled, unless it has completed already.
    void cancel();
    // Cancels a download task and hands over, on the delegate queue and before the task's
    // completion, the data that lets URLSession::downloadTaskWithResumeData continue it: or why
    // there is none (not a download, nothing received yet, no validator from the server, already
    // completed). The partial file stays (readable by its owner only) until the resumed task ends.
    using ResumeDataCompletion = std::function<void(Result<Bytes>)>;
    void cancelByProducingResumeData(ResumeDataCompletion completion);

    // Observation of the task's changing values, as views that follow a task need it. An observer
    // runs on the thread that made the change (a transfer thread, the delegate queue, the caller of
    // resume()), after the new value is readable; it must not block.
    enum class KeyPath { State, CountOfBytesSent, CountOfBytesReceived };
    using ChangeObserver = std::function<void(URLSessionTask&, KeyPath)>;
    // Returns a token for removeChangeObserver(); 0 is never issued.
    std::uint64_t addChangeObserver(ChangeObserver observer);
    // After this returns the observer is not started again (a call under way may finish).
    void removeChangeObserver(std::uint64_t token);

  private:
    friend class URLSession;
    friend class URLSessionLoader;
    friend struct TransferCallbacks;

    enum class BodySource { Request, Data, File, Stream };
    // Where a download made from resume data goes on.
    struct ResumePoint {
        std::filesystem::path file;
        std::int64_t offset = 0;
        std::string entityTag, lastModified;
    };
    // Cancels; `resumeData` (when set) hears the resume data or why there is none.
    void cancel(ResumeDataCompletion resumeData);
    void changed(KeyPath keyPath);
    void setState(URLSessionTaskState state) {
        state_ = state;
        changed(KeyPath::State);
    }
    void setBytesSent(std::int64_t count) {
        bytesSent_ = count;
        changed(KeyPath::CountOfBytesSent);
    }
    void setBytesReceived(std::int64_t count) {
        bytesReceived_ = count;
        changed(KeyPath::CountOfBytesReceived);
    }
    void addBytesReceived(std::int64_t count) {
        bytesReceived_ += count;
        changed(KeyPath::CountOfBytesReceived);
    }
    URLSessionTask(std::weak_ptr<URLSession> session, std::uint64_t identifier,
                   URLSessionTaskKind kind, UrlRequest request);

    const std::weak_ptr<URLSession> session_;
    const std::uint64_t identifier_;
    const URLSessionTaskKind kind_;
    const UrlRequest originalRequest_;
    BodySource bodySource_ = BodySource::Request;
    std::shared_ptr<const Bytes> bodyData_;
    std::filesystem::path bodyFile_;
    std::optional<ResumePoint> resumeFrom_;

    std::atomic<URLSessionTaskState> state_{URLSessionTaskState::Suspended};
    std::atomic<bool> started_{false};
    bool persisted_ = false;  // kept in a background session's folder
    bool adopted_ = false;    // taken over from an earlier session with the same identifier
    std::atomic<std::int64_t> bytesSent_{0};
    std::atomic<std::int64_t> bytesExpectedToSend_{0};
    std::atomic<std::int64_t> bytesReceived_{0};
    std::atomic<std::int64_t> bytesExpectedToReceive_{URLSessionTransferSizeUnknown};

    // The ordered queue of this task's delegate events.
    std::shared_ptr<struct URLSessionEvents> events_;

    mutable std::mutex mutex_;
    UrlRequest currentRequest_;
    HttpResponsePtr response_;
    ErrorPtr error_;
    std::string description_;

    struct ChangeObservers;
    std::atomic<bool> observed_{false};
    std::shared_ptr<ChangeObservers> observers_;
    std::mutex observersMutex_;
};

}  // namespace quarra
