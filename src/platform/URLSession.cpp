#include "platform/Diagnostics.h"
#include "platform/URLSession.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "platform/Directories.h"
#include "platform/URLSessionEvents.h"
#include "platform/URLSessionLoader.h"
#include "platform/URLSessionResumeData.h"
#include "platform/URLSessionStore.h"
#include "platform/URLSessionTaskTransitions.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

// Identifiers are free text; the folder name keeps only what is safe in a file name.
std::string folderName(const std::string& identifier) {
    std::string name;
    for (char c : identifier) {
        bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        name += safe ? c : '_';
    }
    return name.empty() || name[0] == '.' ? "_" + name : name;
}

// How long a background session holds its adopted tasks' events for a creator that never asks for
// its tasks.
constexpr auto AdoptedEventsGrace = std::chrono::milliseconds(500);

std::mutex hookMutex;
URLSessionTaskTransitionHook& transitionHook() {
    static auto* hook = new URLSessionTaskTransitionHook();
    return *hook;
}

void tellHook(const URLSessionTaskPtr& task, URLSessionTaskTransition transition) {
    URLSessionTaskTransitionHook hook;
    {
        std::lock_guard lock(hookMutex);
        hook = transitionHook();
    }
    if (hook) {
        hook(task, transition);
    }
}

}  // namespace

// ---- Tasks

URLSessionTask::URLSessionTask(std::weak_ptr<URLSession> session, std::uint64_t identifier,
                               URLSessionTaskKind kind, UrlRequest request)
    : session_(std::move(session)),
      identifier_(identifier),
      kind_(kind),
      originalRequest_(std::move(request)),
      currentRequest_(originalRequest_) {}

UrlRequest URLSessionTask::currentRequest() const {
    std::lock_guard lock(mutex_);
    return currentRequest_;
}

HttpResponsePtr URLSessionTask::response() const {
    std::lock_guard lock(mutex_);
    return response_;
}

ErrorPtr URLSessionTask::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string URLSessionTask::taskDescription() const {
    std::lock_guard lock(mutex_);
    return description_;
}

void URLSessionTask::setTaskDescription(std::string description) {
    std::lock_guard lock(mutex_);
    description_ = std::move(description);
}

void setURLSessionTaskTransitionHook(URLSessionTaskTransitionHook hook) {
    std::lock_guard lock(hookMutex);
    transitionHook() = std::move(hook);
}

struct URLSessionTask::ChangeObservers {
    struct Entry {
        std::uint64_t token;
        ChangeObserver observer;
        std::atomic<bool> active{true};
    };
    std::vector<std::shared_ptr<Entry>> entries;
};

std::uint64_t URLSessionTask::addChangeObserver(ChangeObserver observer) {
    static std::atomic<std::uint64_t> nextToken{1};
    auto entry = std::make_shared<ChangeObservers::Entry>();
    entry->token = nextToken++;
    entry->observer = std::move(observer);
    std::lock_guard lock(observersMutex_);
    // Copied on write: a change being told keeps the list it started with.
    auto next = std::make_shared<ChangeObservers>(observers_ ? *observers_ : ChangeObservers{});
    next->entries.push_back(entry);
    observers_ = std::move(next);
    observed_ = true;
    return entry->token;
}

void URLSessionTask::removeChangeObserver(std::uint64_t token) {
    std::lock_guard lock(observersMutex_);
    if (!observers_)
        return;
    auto next = std::make_shared<ChangeObservers>();
    for (const auto& entry : observers_->entries) {
        if (entry->token == token)
            entry->active = false;
        else
            next->entries.push_back(entry);
    }
    observed_ = !next->entries.empty();
    observers_ = std::move(next);
}

void URLSessionTask::changed(KeyPath keyPath) {
    // Body bytes change often; without observers this stays one atomic load.
    if (!observed_.load())
        return;
    std::shared_ptr<ChangeObservers> observers;
    {
        std::lock_guard lock(observersMutex_);
        observers = observers_;
    }
    if (!observers)
        return;
    for (const auto& entry : observers->entries) {
        if (entry->active)
            entry->observer(*this, keyPath);
    }
}

void URLSessionTask::resume() {
    URLSessionTaskState before = URLSessionTaskState::Suspended;
    bool resumed = state_.compare_exchange_strong(before, URLSessionTaskState::Running);
    // Before the transfer starts: whoever listens hears of the resume before any event of the
    // task, also when a short transfer would finish before this thread runs on.
    if (before != URLSessionTaskState::Running) {
        tellHook(shared_from_this(), URLSessionTaskTransition::Resume);
    }
    if (resumed) {
        changed(KeyPath::State);
        if (auto session = session_.lock()) {
            if (!started_.exchange(true)) {
                session->start(shared_from_this());
            } else {
                session->loader_->resumeTask(shared_from_this());
            }
        }
    }
}

void URLSessionTask::suspend() {
    URLSessionTaskState before = URLSessionTaskState::Running;
    if (state_.compare_exchange_strong(before, URLSessionTaskState::Suspended)) {
        changed(KeyPath::State);
        if (auto session = session_.lock()) {
            session->loader_->suspendTask(shared_from_this());
        }
    }
    if (before != URLSessionTaskState::Suspended) {
        tellHook(shared_from_this(), URLSessionTaskTransition::Suspend);
    }
}

void URLSessionTask::cancel() {
    cancel(nullptr);
}

void URLSessionTask::cancelByProducingResumeData(ResumeDataCompletion completion) {
    cancel(completion ? std::move(completion) : [](Result<Bytes>) {});
}

void URLSessionTask::cancel(ResumeDataCompletion resumeData) {
    // Without a transfer there is nothing to go on from; the answer still comes on the delegate
    // queue, as it would with one.
    auto noResumeData = [this, &resumeData](const std::shared_ptr<URLSession>& session,
                                            const std::string& why) {
        if (!resumeData) {
            return;
        }
        ErrorPtr error =
            makeURLError(URLErrorCancelled, originalRequest_.url, "no resume data: " + why);
        if (session) {
            session->delegateQueue()->async(
                [resumeData = std::move(resumeData), error] { resumeData(error); });
        } else {
            resumeData(error);
        }
    };
    URLSessionTaskState state = state_.load();
    while (state == URLSessionTaskState::Running || state == URLSessionTaskState::Suspended) {
        if (state_.compare_exchange_weak(state, URLSessionTaskState::Canceling)) {
            changed(KeyPath::State);
            auto session = session_.lock();
            if (!session) {
                noResumeData(nullptr, "the session is gone");
                return;
            }
            if (started_.exchange(true)) {
                session->loader_->cancelTask(shared_from_this(), std::move(resumeData));
            } else {
                noResumeData(session, "the task never started");
                // Never resumed: nothing runs, but the delegate still hears how it ended.
                {
                    std::lock_guard lock(mutex_);
                    error_ = makeURLError(URLErrorCancelled, originalRequest_.url);
                }
                URLSessionLoader::postFinish(shared_from_this(), std::nullopt, nullptr,
                                             std::nullopt, error());
            }
            return;
        }
    }
    noResumeData(session_.lock(), "the task has ended");
}

// ---- Sessions

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(
    std::string identifier) {
    URLSessionConfiguration configuration;
    configuration.identifier = std::move(identifier);
    return configuration;
}

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<URLSessionDelegate> delegate,
                                             DispatchQueuePtr delegateQueue) {
    bool delegateDecidesTrust = delegate != nullptr;
    if (!delegate) {
        delegate = std::make_shared<URLSessionDelegate>();
    }
    if (!delegateQueue) {
        delegateQueue = DispatchQueue::serial("quarra.urlsession.delegate");
    }
    std::shared_ptr<URLSession> session(
        new URLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
    const URLSessionConfiguration& config = session->configuration_;
    if (config.identifier) {
        fs::path folder =
            config.backgroundStorageDirectory.empty()
                ? applicationSupportDirectory() / "URLSessions" / folderName(*config.identifier)
                : config.backgroundStorageDirectory;
        session->store_ = URLSessionStore::open(folder, config.headerFieldsNotKept);
        if (!session->store_) {
            reportDiagnostic(DiagnosticLevel::Error,
                             "URLSession: background session \"" + *config.identifier +
                                 "\" is open elsewhere or " + folder.string() +
                                 " cannot be used; its tasks are not kept");
        }
    }
    session->loader_ =
        URLSessionLoader::start(session, config, session->store_, delegateDecidesTrust);
    if (session->store_) {
        session->adoptStoredTasks();
    }
    return session;
}

URLSession::URLSession(URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate, DispatchQueuePtr delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(std::move(delegateQueue)),
      delegate_(std::move(delegate)) {}

URLSession::~URLSession() = default;

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

Result<URLSessionTaskPtr> URLSession::makeTask(URLSessionTaskKind kind, UrlRequest request) {
    std::lock_guard lock(mutex_);
    if (invalidating_)
        return makeURLError(URLErrorCancelled, request.url, "the session has been invalidated");
    std::uint64_t identifier = store_ ? store_->reserveIdentifier() : nextIdentifier_++;
    URLSessionTaskPtr task(
        new URLSessionTask(weak_from_this(), identifier, kind, std::move(request)));
    task->events_ = std::make_shared<URLSessionEvents>(weak_from_this(), task, delegateQueue_);
    tasks_.emplace(identifier, task);
    return task;
}

Result<URLSessionTaskPtr> URLSession::dataTask(UrlRequest request) {
    return makeTask(URLSessionTaskKind::Data, std::move(request));
}

Result<URLSessionTaskPtr> URLSession::uploadTask(UrlRequest request, Bytes body) {
    auto task = makeTask(URLSessionTaskKind::Upload, std::move(request));
    if (task) {
        (*task)->bodySource_ = URLSessionTask::BodySource::Data;
        (*task)->bodyData_ = std::make_shared<const Bytes>(std::move(body));
    }
    return task;
}

Result<URLSessionTaskPtr> URLSession::uploadTask(UrlRequest request, const fs::path& file) {
    auto task = makeTask(URLSessionTaskKind::Upload, std::move(request));
    if (task) {
        (*task)->bodySource_ = URLSessionTask::BodySource::File;
        (*task)->bodyFile_ = file;
    }
    return task;
}

Result<URLSessionTaskPtr> URLSession::uploadTaskWithStreamedRequest(UrlRequest request) {
    auto task = makeTask(URLSessionTaskKind::Upload, std::move(request));
    if (task)
        (*task)->bodySource_ = URLSessionTask::BodySource::Stream;
    return task;
}

Result<URLSessionTaskPtr> URLSession::downloadTask(UrlRequest request) {
    return makeTask(URLSessionTaskKind::Download, std::move(request));
}

Result<URLSessionTaskPtr> URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    Result<URLSessionResumeData> resume = URLSessionResumeData::decode(resumeData);
    if (!resume) {
        return resume.error();
    }
    // Checked now for a clear answer, and again when the transfer opens the file.
    Result<FileDescriptor> file =
        openPartialDownload(resume->file, resume->offset, resume->request.url);
    if (!file) {
        return file.error();
    }
    auto task = downloadTask(resume->request);
    if (!task) {
        return task;
    }
    (*task)->resumeFrom_ = URLSessionTask::ResumePoint{resume->file, resume->offset,
                                                       resume->entityTag, resume->lastModified};
    return task;
}

URLSessionTaskPtr URLSession::becomeDownload(const URLSessionTaskPtr& dataTask) {
    auto made = makeTask(URLSessionTaskKind::Download, dataTask->currentRequest());
    if (!made) {
        return nullptr;
    }
    URLSessionTaskPtr download = std::move(*made);
    download->started_ = true;
    download->state_ = URLSessionTaskState::Running;
    {
        std::lock_guard lock(download->mutex_);
        download->response_ = dataTask->response();
        download->description_ = dataTask->taskDescription();
    }
    download->bytesReceived_ = dataTask->countOfBytesReceived();
    download->bytesExpectedToReceive_ = dataTask->countOfBytesExpectedToReceive();
    dataTask->state_ = URLSessionTaskState::Completed;
    completionDelivered(dataTask);
    return download;
}

void URLSession::start(const URLSessionTaskPtr& task) {
    std::optional<URLSessionStore::Record> record;
    bool keep = task->kind() == URLSessionTaskKind::Download ||
                task->bodySource_ == URLSessionTask::BodySource::File;
    if (store_ && keep) {
        record.emplace();
        record->identifier = task->taskIdentifier();
        record->kind = task->kind();
        record->request = task->originalRequest();
        record->bodyFile = task->bodyFile_;
        record->description = task->taskDescription();
        task->persisted_ = true;
        store_->save(*record);
    }
    loader_->startTask(task, std::move(record));
}

void URLSession::adoptStoredTasks() {
    std::vector<URLSessionTaskPtr> adopted;
    for (URLSessionStore::Record& record : store_->load()) {
        if (!record.completed && configuration_.prepareAdoptedRequest)
            configuration_.prepareAdoptedRequest(record.identifier, record.request);
        adoptedIdentifiers_.push_back(record.identifier);
        URLSessionTaskPtr task(
            new URLSessionTask(weak_from_this(), record.identifier, record.kind, record.request));
        task->events_ = std::make_shared<URLSessionEvents>(weak_from_this(), task, delegateQueue_);
        // Nothing reaches the delegate before the creator had its chance to ask for the tasks.
        task->events_->hold();
        task->description_ = record.description;
        task->started_ = true;
        task->persisted_ = true;
        task->adopted_ = true;
        task->state_ = URLSessionTaskState::Running;
        if (record.kind == URLSessionTaskKind::Upload) {
            task->bodySource_ = URLSessionTask::BodySource::File;
            task->bodyFile_ = record.bodyFile;
        }
        {
            std::lock_guard lock(mutex_);
            tasks_.emplace(record.identifier, task);
            ++adoptedPending_;
        }
        if (!record.completed) {
            loader_->startTask(task, record);
        } else {
            task->response_ = record.response;
            task->error_ = record.error;
            std::optional<fs::path> location;
            fs::path finished = store_->finishedFile(record.identifier);
            std::error_code ec;
            if (record.kind == URLSessionTaskKind::Download && !record.fileDelivered &&
                fs::exists(finished, ec)) {
                location = finished;
            }
            if (!record.replyBody.empty()) {
                task->events_->post(
                    [body = std::move(record.replyBody)](
                        URLSession& s, const URLSessionTaskPtr& task, URLSessionDelegate& d) {
                        d.didReceiveData(s, task, body);
                    });
            }
            URLSessionLoader::postFinish(task, location, store_, record, record.error);
        }
        adopted.push_back(task);
    }
    std::weak_ptr<URLSession> weak = weak_from_this();
    auto release = [weak] {
        if (auto self = weak.lock()) {
            self->releaseAdoptedTasks();
        }
    };
    if (adopted.empty()) {
        delegateQueue_->async(release);  // nothing to hold: the background events are done
        return;
    }
    {
        std::lock_guard lock(mutex_);
        adoptedHeld_ = std::move(adopted);
    }
    // The creator asks for the tasks right after making the session (getTasks lets the events
    // through once its answer has run); one that never asks still gets them after a moment.
    delegateQueue_->after(AdoptedEventsGrace, release);
}

void URLSession::releaseAdoptedTasks() {
    std::vector<URLSessionTaskPtr> adopted;
    bool finishedAlready;
    {
        std::lock_guard lock(mutex_);
        if (adoptionStarted_) {
            return;
        }
        adoptionStarted_ = true;
        finishedAlready = adoptedPending_ == 0;
        adopted.swap(adoptedHeld_);
    }
    for (const URLSessionTaskPtr& task : adopted) {
        task->events_->release();
    }
    if (finishedAlready) {
        reportBackgroundEventsFinished();
    }
}

void URLSession::reportBackgroundEventsFinished() {
    if (auto delegate = this->delegate()) {
        delegate->didFinishEventsForBackgroundURLSession(*this);
    }
}

void URLSession::completionDelivered(const URLSessionTaskPtr& task) {
    bool report = false;
    bool forget = !configuration_.keepsCompletedTasksUntilForgotten;
    {
        std::lock_guard lock(mutex_);
        forget = forgotten_.erase(task->taskIdentifier()) > 0 || forget;
        if (task->persisted_ && store_ && forget)
            store_->remove(task->taskIdentifier());
        tasks_.erase(task->taskIdentifier());
        if (task->adopted_) {
            report = --adoptedPending_ == 0 && adoptionStarted_;
        }
    }
    if (report) {
        reportBackgroundEventsFinished();
    }
    finishInvalidationIfDone();
}

void URLSession::forgetTask(std::uint64_t identifier) {
    std::lock_guard lock(mutex_);
    if (!store_)
        return;
    // Asked before the completion event has returned: it goes when that has.
    if (tasks_.count(identifier))
        forgotten_.insert(identifier);
    else
        store_->remove(identifier);
}

void URLSession::getTasks(TaskLists completion) {
    std::vector<URLSessionTaskPtr> lists[3];
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, task] : tasks_) {
            if (task->state() != URLSessionTaskState::Completed) {
                lists[static_cast<int>(task->kind())].push_back(task);
            }
        }
    }
    std::weak_ptr<URLSession> weak = weak_from_this();
    delegateQueue_->async([weak, completion = std::move(completion), lists]() mutable {
        completion(std::move(lists[0]), std::move(lists[1]), std::move(lists[2]));
        if (auto self = weak.lock(); self && self->store_) {
            self->releaseAdoptedTasks();
        }
    });
}

void URLSession::finishTasksAndInvalidate() {
    invalidate(false);
}

void URLSession::invalidateAndCancel() {
    invalidate(true);
}

void URLSession::invalidate(bool cancel) {
    std::vector<URLSessionTaskPtr> running;
    {
        std::lock_guard lock(mutex_);
        if (invalidating_) {
            return;
        }
        invalidating_ = true;
        for (const auto& [id, task] : tasks_) {
            running.push_back(task);
        }
    }
    if (cancel) {
        for (const URLSessionTaskPtr& task : running) {
            task->cancel();
        }
    }
    finishInvalidationIfDone();
}

void URLSession::finishInvalidationIfDone() {
    {
        std::lock_guard lock(mutex_);
        if (!invalidating_ || invalid_ || !tasks_.empty()) {
            return;
        }
        invalid_ = true;
    }
    auto self = shared_from_this();
    delegateQueue_->async([self] {
        std::shared_ptr<URLSessionDelegate> delegate;
        std::shared_ptr<URLSessionLoader> loader;
        {
            std::lock_guard lock(self->mutex_);
            delegate = std::move(self->delegate_);
            loader = self->loader_;
        }
        loader->stop();
        // Frees the identifier before the delegate hears of it, so it can open the session again.
        if (self->store_) {
            self->store_->close();
        }
        if (delegate) {
            delegate->didBecomeInvalid(*self, nullptr);
        }
    });
}

}  // namespace quarra
