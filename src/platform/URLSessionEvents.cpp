#include "platform/URLSessionEvents.h"

#include "platform/URLSession.h"

namespace quarra {
namespace {

// Body data the delegate has not taken yet: above the high mark the transfer holds until the
// backlog falls under the low mark, so a slow delegate never makes memory grow without bound.
constexpr std::int64_t HighMark = 8 << 20;
constexpr std::int64_t LowMark = 1 << 20;
// Pieces of body data are merged up to this size.
constexpr std::size_t MergeLimit = 1 << 20;

thread_local URLSessionEventBatch* currentBatch = nullptr;

}  // namespace

void URLSessionEvents::post(Call call) {
    Event event(Event::Kind::Call);
    event.call = std::move(call);
    push(std::move(event));
}

void URLSessionEvents::postGated(GatedCall call) {
    Event event(Event::Kind::Gated);
    event.gated = std::move(call);
    push(std::move(event));
}

void URLSessionEvents::postData(const std::uint8_t* data, std::size_t length) {
    std::unique_lock lock(mutex_);
    backlog_ += static_cast<std::int64_t>(length);
    if (!events_.empty() && events_.back().kind == Event::Kind::Data &&
        events_.back().data.size() < MergeLimit) {
        Bytes& tail = events_.back().data;
        tail.insert(tail.end(), data, data + length);
        return;
    }
    lock.unlock();
    Event event(Event::Kind::Data);
    event.data.assign(data, data + length);
    push(std::move(event));
}

void URLSessionEvents::postSent(std::int64_t bytes, std::int64_t total, std::int64_t expected) {
    pushProgress(Event::Kind::Sent, bytes, total, expected);
}

void URLSessionEvents::postWritten(std::int64_t bytes, std::int64_t total, std::int64_t expected) {
    pushProgress(Event::Kind::Written, bytes, total, expected);
}

void URLSessionEvents::pushProgress(Event::Kind kind, std::int64_t bytes, std::int64_t total,
                                    std::int64_t expected) {
    {
        std::lock_guard lock(mutex_);
        if (!events_.empty() && events_.back().kind == kind) {
            Event& tail = events_.back();
            tail.amount += bytes;
            tail.total = total;
            tail.expected = expected;
            return;
        }
    }
    Event event(kind);
    event.amount = bytes;
    event.total = total;
    event.expected = expected;
    push(std::move(event));
}

void URLSessionEvents::hold() {
    std::lock_guard lock(mutex_);
    awaiting_ = true;
}

void URLSessionEvents::release() {
    {
        std::lock_guard lock(mutex_);
        awaiting_ = false;
        if (draining_ || events_.empty()) {
            return;
        }
        draining_ = true;
    }
    startDrain();
}

bool URLSessionEvents::admitData(std::function<void()> whenDrained) {
    std::lock_guard lock(mutex_);
    if (backlog_ <= HighMark) {
        return true;
    }
    whenDrained_ = std::move(whenDrained);
    return false;
}

void URLSessionEvents::refuse() {
    std::lock_guard lock(mutex_);
    dropData_ = true;
}

bool URLSessionEvents::refused() {
    std::lock_guard lock(mutex_);
    return dropData_;
}

void URLSessionEvents::push(Event event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        if (draining_ || awaiting_) {
            return;
        }
        draining_ = true;
    }
    startDrain();
}

// REQUIRES: draining_ just set by the caller (so no one else starts a drain); mutex_ not held, as
// a delegate queue that runs blocks at once drains right here.
void URLSessionEvents::startDrain() {
    if (currentBatch) {
        currentBatch->ready_.push_back(shared_from_this());
    } else {
        queue_->async([self = shared_from_this()] { self->drain(); });
    }
}

URLSessionEventBatch::URLSessionEventBatch() : previous_(currentBatch) {
    currentBatch = this;
}

URLSessionEventBatch::~URLSessionEventBatch() {
    flush();
    currentBatch = previous_;
}

void URLSessionEventBatch::flush() {
    if (!currentBatch) {
        return;
    }
    std::vector<std::shared_ptr<URLSessionEvents>> ready;
    ready.swap(currentBatch->ready_);
    for (auto& events : ready) {
        events->queue_->async([events] { events->drain(); });
    }
}

void URLSessionEvents::drain() {
    std::shared_ptr<URLSession> session = session_.lock();
    std::shared_ptr<URLSessionTask> task = task_.lock();
    std::shared_ptr<URLSessionDelegate> delegate = session ? session->delegate() : nullptr;
    std::unique_lock lock(mutex_);
    while (!events_.empty() && !awaiting_) {
        Event event = std::move(events_.front());
        events_.pop_front();
        std::function<void()> resumeWorker;
        if (event.kind == Event::Kind::Data) {
            backlog_ -= static_cast<std::int64_t>(event.data.size());
            if (backlog_ <= LowMark && whenDrained_) {
                resumeWorker = std::move(whenDrained_);
                whenDrained_ = nullptr;
            }
        }
        bool skip = !delegate || !task || (event.kind == Event::Kind::Data && dropData_);
        if (event.kind == Event::Kind::Gated) {
            awaiting_ = true;
        }
        lock.unlock();
        if (resumeWorker) {
            resumeWorker();
        }
        if (!skip) {
            switch (event.kind) {
                case Event::Kind::Call:
                    event.call(*session, task, *delegate);
                    break;
                case Event::Kind::Gated: {
                    auto once = std::make_shared<std::once_flag>();
                    auto self = shared_from_this();
                    event.gated(*session, task, *delegate,
                                [self, once] { std::call_once(*once, [&] { self->release(); }); });
                    break;
                }
                case Event::Kind::Data:
                    delegate->didReceiveData(*session, task, event.data);
                    break;
                case Event::Kind::Sent:
                    delegate->didSendBodyData(*session, task, event.amount, event.total,
                                              event.expected);
                    break;
                case Event::Kind::Written:
                    delegate->didWriteData(*session, task, event.amount, event.total,
                                           event.expected);
                    break;
            }
        } else if (event.kind == Event::Kind::Gated) {
            lock.lock();
            awaiting_ = false;
            continue;
        }
        lock.lock();
    }
    draining_ = false;
}

}  // namespace quarra
