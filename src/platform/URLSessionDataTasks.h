#pragma once
// Data tasks that deliver their whole reply to a completion handler, for callers that want one
// answer per request rather than the session's stream of events: a session delegate that gathers
// each task's body and hands (body, response, error) over when the task completes.
// Every member is safe to call from any thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/URLSession.h"

namespace quarra {

class URLSessionDataTasks : public URLSessionDelegate {
  public:
    // Runs on the session's delegate queue. The body is empty (not absent) for an empty reply; the
    // response is null when none arrived; the error is null on any HTTP reply.
    using Completion = std::function<void(const std::optional<Bytes>& body,
                                          const HttpResponsePtr& response, const ErrorPtr& error)>;

    // A session with the default configuration whose delegate is a new URLSessionDataTasks.
    static std::shared_ptr<URLSession> makeSession(
        URLSessionConfiguration configuration =
            URLSessionConfiguration::defaultSessionConfiguration());

    // Starts a data task on `session`, whose delegate must be a URLSessionDataTasks; a session
    // with another delegate (or none) fails the task at once with URLErrorUnknown, and an
    // invalidated session with URLErrorCancelled, asynchronously on a global queue; then no task
    // is returned. A reply body that grows past `maxBody` bytes ends the task as it arrives, with
    // URLErrorDataLengthExceedsMaximum: a peer cannot make the caller hold more than that.
    static URLSessionTaskPtr dataTask(const std::shared_ptr<URLSession>& session,
                                      UrlRequest request, Completion completion,
                                      std::size_t maxBody = SIZE_MAX);

    void didReceiveData(URLSession&, const URLSessionTaskPtr& task, const Bytes& data) override;
    void didCompleteWithError(URLSession&, const URLSessionTaskPtr& task,
                              const ErrorPtr& error) override;

  private:
    struct Pending {
        Bytes body;
        Completion completion;
        std::size_t maxBody = SIZE_MAX;
        bool tooLarge = false;
    };
    std::mutex mutex_;
    std::map<std::uint64_t, Pending> pending_;
};

}  // namespace quarra
