#include "platform/URLSessionDataTasks.h"

#include "quarra/URLSessionTask.h"

namespace quarra {

std::shared_ptr<URLSession> URLSessionDataTasks::makeSession(
    URLSessionConfiguration configuration) {
    return URLSession::make(std::move(configuration), std::make_shared<URLSessionDataTasks>());
}

URLSessionTaskPtr URLSessionDataTasks::dataTask(const std::shared_ptr<URLSession>& session,
                                                UrlRequest request, Completion completion,
                                                std::size_t maxBody) {
    auto failAsync = [&completion](ErrorPtr error) -> URLSessionTaskPtr {
        DispatchQueue::global()->async([completion = std::move(completion), error] {
            if (completion)
                completion(std::nullopt, nullptr, error);
        });
        return nullptr;
    };
    auto delegate =
        session ? std::dynamic_pointer_cast<URLSessionDataTasks>(session->delegate()) : nullptr;
    if (!delegate)
        return failAsync(makeURLError(URLErrorUnknown, request.url));
    auto made = session->dataTask(std::move(request));
    if (!made)
        return failAsync(made.error());
    URLSessionTaskPtr task = std::move(*made);
    {
        std::lock_guard lock(delegate->mutex_);
        delegate->pending_[task->taskIdentifier()] = {Bytes(), std::move(completion), maxBody};
    }
    task->resume();
    return task;
}

void URLSessionDataTasks::didReceiveData(URLSession&, const URLSessionTaskPtr& task,
                                         const Bytes& data) {
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(task->taskIdentifier());
        if (it == pending_.end() || it->second.tooLarge)
            return;
        Pending& pending = it->second;
        if (data.size() <= pending.maxBody - pending.body.size()) {
            pending.body.insert(pending.body.end(), data.begin(), data.end());
            return;
        }
        pending.tooLarge = true;
        pending.body = Bytes();
    }
    // Outside the lock: the cancel may complete the task on this thread.
    task->cancel();
}

void URLSessionDataTasks::didCompleteWithError(URLSession&, const URLSessionTaskPtr& task,
                                               const ErrorPtr& error) {
    Pending pending;
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(task->taskIdentifier());
        if (it == pending_.end())
            return;
        pending = std::move(it->second);
        pending_.erase(it);
    }
    if (!pending.completion)
        return;
    HttpResponsePtr response = task->response();
    if (pending.tooLarge) {
        pending.completion(
            std::nullopt, response,
            makeURLError(URLErrorDataLengthExceedsMaximum, task->originalRequest().url));
        return;
    }
    std::optional<Bytes> body;
    if (!error)
        body = std::move(pending.body);
    pending.completion(body, response, error);
}

}  // namespace quarra
