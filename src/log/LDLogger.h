#pragma once
// The contracts between the log dispatcher and its loggers and formatters. The optional operations
// of the protocol have empty default bodies, so a logger or formatter overrides only what it needs.
#include <memory>
#include <optional>
#include <string>

#include "log/LDLogMessage.h"
#include "quarra/Dispatch.h"

namespace quarra {

class LDLogger;

// Turns a message into the text that a logger writes.
class LDLogFormatter {
  public:
    virtual ~LDLogFormatter() = default;
    // The text for `message`, or none to make the logger skip it.
    virtual std::optional<std::string> formatLogMessage(const LDLogMessage& message) = 0;
    virtual void didAddToLogger(LDLogger& /*logger*/) {}
    // Called in place of the one above when the formatter wants the logger's queue as well.
    virtual void didAddToLogger(LDLogger& logger, const DispatchQueuePtr& /*queue*/) {
        didAddToLogger(logger);
    }
    virtual void willRemoveFromLogger(LDLogger& /*logger*/) {}
};

using LDLogFormatterPtr = std::shared_ptr<LDLogFormatter>;

// Receives messages from the dispatcher, one at a time, on its logger queue.
class LDLogger {
  public:
    virtual ~LDLogger() = default;

    // Writes one message. Runs on the logger's queue; a failure is the logger's own to handle.
    virtual void logMessage(const LDLogMessagePtr& message) = 0;
    // Around the messages the dispatcher hands over together, on the logger's queue: a logger may
    // hold what it writes until the last of them.
    virtual void willLogMessages() {}
    virtual void didLogMessages() {}
    virtual LDLogFormatterPtr logFormatter() = 0;
    virtual void setLogFormatter(LDLogFormatterPtr formatter) = 0;

    // Called on the logger's queue once the dispatcher has registered the logger.
    virtual void didAddLogger() {}
    virtual void didAddLoggerInQueue(const DispatchQueuePtr& /*queue*/) { didAddLogger(); }
    // Called on the logger's queue when the dispatcher drops the logger.
    virtual void willRemoveLogger() {}
    // Writes out whatever the logger still holds; the dispatcher waits for it.
    virtual void flush() {}
    // The queue the logger wants to be called on; none lets the dispatcher make one.
    virtual DispatchQueuePtr loggerQueue() const { return nullptr; }
    // The label of the queue that the dispatcher makes for the logger.
    virtual std::string loggerName() const { return {}; }
};

using LDLoggerPtr = std::shared_ptr<LDLogger>;

}  // namespace quarra
