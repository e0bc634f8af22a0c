#include "log/LDAbstractLogger.h"

#include "log/LDLog.h"

namespace quarra {

LDAbstractLogger::LDAbstractLogger(std::string loggerName)
    : loggerName_(std::move(loggerName)), loggerQueue_(DispatchQueue::serial(loggerName_)) {
    // The logger's address is its queue key; the value only has to be non-null, and owns nothing.
    loggerQueue_->setSpecific(this, std::shared_ptr<void>(this, [](void*) {}));
}

void LDAbstractLogger::setLoggerQueue(DispatchQueuePtr queue) {
    if (!queue || queue == loggerQueue_) {
        return;
    }
    loggerQueue_->setSpecific(this, nullptr);
    loggerQueue_ = std::move(queue);
    loggerQueue_->setSpecific(this, std::shared_ptr<void>(this, [](void*) {}));
}

void LDAbstractLogger::logMessage(const LDLogMessagePtr&) {}

LDLogFormatterPtr LDAbstractLogger::logFormatter() {
    LDLogFormatterPtr formatter;
    readInMessageOrder([&] { formatter = logFormatter_; });
    return formatter;
}

void LDAbstractLogger::changeInMessageOrder(Block change) {
    if (isOnInternalLoggerQueue()) {
        change();
        return;
    }
    LDLog::loggingQueue()->async([self = shared_from_this(), change = std::move(change)] {
        self->loggerQueue_->async([self, change] { change(); });
    });
}

void LDAbstractLogger::readInMessageOrder(const Block& read) {
    LDLog::loggingQueue()->sync([&] { loggerQueue_->sync(read); });
}

void LDAbstractLogger::setLogFormatter(LDLogFormatterPtr formatter) {
    LDLog::loggingQueue()->async([self = shared_from_this(), formatter = std::move(formatter)] {
        self->loggerQueue_->async([self, formatter] {
            if (formatter == self->logFormatter_) {
                return;
            }
            if (self->logFormatter_) {
                self->logFormatter_->willRemoveFromLogger(*self);
            }
            self->logFormatter_ = formatter;
            if (formatter) {
                formatter->didAddToLogger(*self, self->loggerQueue_);
            }
        });
    });
}

bool LDAbstractLogger::isOnGlobalLoggingQueue() const {
    return DispatchQueue::currentSpecific(&GlobalLoggingQueueIdentityKey) != nullptr;
}

bool LDAbstractLogger::isOnInternalLoggerQueue() const {
    return DispatchQueue::currentSpecific(this) != nullptr;
}

}  // namespace quarra
