#pragma once
// Internal to the URL loading system: the ordered queue of one task's delegate events. The worker
// thread posts events; they run on the session's delegate queue, one at a time and in order. An
// event that waits for the delegate's answer holds back the task's later events until it comes.
// Progress and data events that pile up are merged, and the worker is told to hold back when the
// delegate falls far behind on body data.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Dispatch.h"

namespace quarra {

class URLSession;
class URLSessionDelegate;
class URLSessionTask;

// While one exists on a thread, the event queues that thread fills are handed to their delegate
// queue together, when it ends or at flush(), instead of one hand-over per event: the worker makes
// one per pass of its loop, so a small reply's head, body and completion travel in one hop.
class URLSessionEventBatch {
  public:
    URLSessionEventBatch();
    ~URLSessionEventBatch();
    URLSessionEventBatch(const URLSessionEventBatch&) = delete;
    URLSessionEventBatch& operator=(const URLSessionEventBatch&) = delete;
    // Hands over what is pending now; needed before the thread waits for a delegate's answer.
    static void flush();

  private:
    friend struct URLSessionEvents;
    URLSessionEventBatch* previous_;
    std::vector<std::shared_ptr<struct URLSessionEvents>> ready_;
};

struct URLSessionEvents : std::enable_shared_from_this<URLSessionEvents> {
    using Call = std::function<void(URLSession&, const std::shared_ptr<URLSessionTask>&,
                                    URLSessionDelegate&)>;
    // `answer` lets the task's later events through; calling it more than once does nothing.
    using Answer = std::function<void()>;
    using GatedCall = std::function<void(URLSession&, const std::shared_ptr<URLSessionTask>&,
                                         URLSessionDelegate&, Answer answer)>;

    URLSessionEvents(std::weak_ptr<URLSession> session, std::weak_ptr<URLSessionTask> task,
                     DispatchQueuePtr queue)
        : session_(std::move(session)), task_(std::move(task)), queue_(std::move(queue)) {}

    void post(Call call);
    void postGated(GatedCall call);
    // Holds every later event back until release(); release() also works as a gated event's answer.
    void hold();
    void release();
    // Body data for didReceiveData.
    void postData(const std::uint8_t* data, std::size_t length);
    void postSent(std::int64_t bytes, std::int64_t total, std::int64_t expected);
    void postWritten(std::int64_t bytes, std::int64_t total, std::int64_t expected);
    // Whether the worker may hand over more body data now; when not, `whenDrained` runs (on the
    // delegate queue) once the delegate has caught up.
    bool admitData(std::function<void()> whenDrained);
    // The delegate refused the reply: body data not yet delivered is dropped, and the task ends as
    // cancelled even if the transfer finished meanwhile.
    void refuse();
    bool refused();

  private:
    struct Event {
        enum class Kind { Call, Gated, Data, Sent, Written };
        explicit Event(Kind kind) : kind(kind) {}
        Kind kind;
        Call call;
        GatedCall gated;
        Bytes data;
        std::int64_t amount = 0, total = 0, expected = 0;
    };
    friend class URLSessionEventBatch;
    void push(Event event);
    void startDrain();
    void pushProgress(Event::Kind kind, std::int64_t bytes, std::int64_t total,
                      std::int64_t expected);
    void drain();

    const std::weak_ptr<URLSession> session_;
    const std::weak_ptr<URLSessionTask> task_;
    const DispatchQueuePtr queue_;

    std::mutex mutex_;
    std::deque<Event> events_;
    bool draining_ = false;
    bool awaiting_ = false;
    bool dropData_ = false;
    std::int64_t backlog_ = 0;
    std::function<void()> whenDrained_;
};

}  // namespace quarra
