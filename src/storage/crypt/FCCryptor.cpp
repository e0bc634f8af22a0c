#include "storage/crypt/FCCryptor.h"

namespace quarra {

FCCryptor::FCCryptor(const std::string& className, Handler handler)
    : queue_(DispatchQueue::serial("net.skelwyn." + className)),
      responseQueue_(DispatchQueue::serial("net.skelwyn.response." + className)),
      handler_(std::move(handler)) {}

ErrorPtr FCCryptor::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

DispatchQueuePtr FCCryptor::responseQueue() const {
    std::lock_guard lock(mutex_);
    return responseQueue_;
}

void FCCryptor::setResponseQueue(DispatchQueuePtr queue) {
    std::lock_guard lock(mutex_);
    responseQueue_ = std::move(queue);
}

bool FCCryptor::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    if (finished_.load(std::memory_order_relaxed)) {
        return false;
    }
    handler_ = std::move(handler);
    return true;
}

void FCCryptor::addData(Bytes data) {
    if (isFinished()) {
        return;
    }
    queue_->async([self = shared_from_this(), data = std::move(data)] {
        if (self->isFinished()) {
            return;
        }
        Bytes out;
        if (ErrorPtr error = self->process(data, out)) {
            self->cleanupAndNotifyWithError(std::move(error));
        } else if (!out.empty()) {
            self->deliver(out);
        }
    });
}

void FCCryptor::finish() {
    if (isFinished()) {
        return;
    }
    queue_->async([self = shared_from_this()] {
        if (self->isFinished()) {
            return;
        }
        Bytes out;
        ErrorPtr error = self->complete(out);
        self->cleanupAndNotifyWithError(error, error ? Bytes() : out);
    });
}

void FCCryptor::deliver(const Bytes& data) {
    Handler handler;
    DispatchQueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        handler = handler_;
        queue = responseQueue_;
    }
    if (handler) {
        queue->sync([&] { handler(*this, data); });
    }
}

void FCCryptor::cleanupAndNotifyWithError(ErrorPtr error, const Bytes& data) {
    Handler handler;
    DispatchQueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        error_ = std::move(error);
        finished_.store(true, std::memory_order_release);
        handler = std::move(handler_);
        handler_ = nullptr;
        queue = responseQueue_;
    }
    if (handler) {
        queue->sync([&] { handler(*this, data); });
    }
}

Result<Bytes> FCCryptor::synchronousResultForCryptor(const std::shared_ptr<FCCryptor>& cryptor,
                                                     const Bytes& data) {
    struct Run {
        DispatchSemaphore done;
        Bytes result;
        ErrorPtr error;
    };
    auto run = std::make_shared<Run>();
    bool started = cryptor && cryptor->setHandler([run](FCCryptor& self, const Bytes& chunk) {
        run->result.insert(run->result.end(), chunk.begin(), chunk.end());
        if (self.isFinished()) {
            run->error = self.error();
            run->done.signal();
        }
    });
    if (!started) {
        return fcError(kFCCryptorParamError);
    }
    cryptor->setResponseQueue(DispatchQueue::serial("net.skelwyn.FCEncryptor.response"));
    cryptor->addData(data);
    cryptor->finish();
    run->done.wait();
    if (run->error) {
        return run->error;
    }
    return std::move(run->result);
}

}  // namespace quarra
