#pragma once
// Base of the loggers: its own serial queue and a formatter slot that changes in step with the
// message stream. Inside logMessage() and anywhere else on the logger's queue a subclass reads
// logFormatter_ directly; the public accessors would wait on the queue it runs on.
// REQUIRES: owned by a std::shared_ptr (setLogFormatter keeps the logger alive while it runs).
#include <memory>
#include <string>

#include "log/LDLogger.h"

namespace quarra {

class LDAbstractLogger : public LDLogger, public std::enable_shared_from_this<LDAbstractLogger> {
  public:
    // `loggerName` labels the logger's queue.
    explicit LDAbstractLogger(std::string loggerName = "LDAbstractLogger");
    LDAbstractLogger(const LDAbstractLogger&) = delete;
    LDAbstractLogger& operator=(const LDAbstractLogger&) = delete;

    void logMessage(const LDLogMessagePtr& message) override;

    // Waits for the logging queue and then the logger's queue, so a read right after a set sees the
    // new formatter. REQUIRES: not on the logging queue or this logger's queue.
    LDLogFormatterPtr logFormatter() override;
    // Returns at once; messages queued before the call keep the old formatter, later ones get the
    // new.
    void setLogFormatter(LDLogFormatterPtr formatter) override;

    DispatchQueuePtr loggerQueue() const override { return loggerQueue_; }
    // Moves the logger to `queue`, which then carries the logger's key (isOnInternalLoggerQueue).
    // REQUIRES: before the logger is added to the dispatcher.
    void setLoggerQueue(DispatchQueuePtr queue);
    std::string loggerName() const override { return loggerName_; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;

  protected:
    // Runs `change` on the logger's queue in step with the message stream: messages queued before
    // the call are handled without it, later ones with it. Runs at once when called on the
    // logger's queue; otherwise returns before the change is made.
    void changeInMessageOrder(Block change);
    // Runs `read` on the logger's queue after every message queued before the call, and waits for
    // it. REQUIRES: not on the logging queue or this logger's queue.
    void readInMessageOrder(const Block& read);

    // Only touched on the logger's queue.
    LDLogFormatterPtr logFormatter_;

  private:
    const std::string loggerName_;
    DispatchQueuePtr loggerQueue_;
};

}  // namespace quarra
