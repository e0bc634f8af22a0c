#pragma once
// The log dispatcher: queues each message for the serial logging queue "log.dispatch", which hands
// what has come in batches to every registered logger whose level mask selects a message's flag.
// Every member is safe to call from any thread, except where a REQUIRES says otherwise.
//
// Queue order: the logging queue first, then a logger's queue. Code running on the logging queue or
// on a logger's queue must not log synchronously, flush, or list loggers: each of those waits on
// the logging queue. Asynchronous logging is allowed everywhere.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log/LDLogMessage.h"
#include "log/LDLogger.h"
#include "quarra/Dispatch.h"

namespace quarra {

// The queue-specific key set on the logging queue; its value is the key's own address.
extern const char GlobalLoggingQueueIdentityKey;

// What the dispatcher keeps per registered logger.
struct LDLoggerNode {
    LDLoggerPtr logger;
    DispatchQueuePtr loggerQueue;
    std::uint64_t level = 0;
};

// A logger and the level mask it was registered with, as handed out by allLoggersWithLevel().
struct LDLoggerInformation {
    LDLoggerPtr logger;
    std::uint64_t level = 0;
};

class LDLog {
  public:
    static LDLog& sharedInstance();
    // The serial queue on which every delivery and every change of the logger list runs. Loggers
    // and formatters order their own accessors with the message stream through it.
    static const DispatchQueuePtr& loggingQueue();

    LDLog(const LDLog&) = delete;
    LDLog& operator=(const LDLog&) = delete;

    // Registers `logger` for the messages whose flag its `level` mask selects; returns at once.
    // Messages queued after this call reach it. The same logger with another mask is added again as
    // a second registration; with the same mask nothing changes. A null logger is ignored.
    void addLogger(LDLoggerPtr logger, std::uint64_t level = LDLogLevelAll);
    // Gives the first registration of `logger` the level mask `level`, in step with the messages
    // (those queued before keep the old mask); returns at once. Unlike removing and adding it
    // again, the logger is not told (a file logger would roll its file).
    void setLevelOfLogger(const LDLoggerPtr& logger, std::uint64_t level);
    // Drops the first registration of `logger`; returns at once.
    void removeLogger(const LDLoggerPtr& logger);
    void removeAllLoggers();
    // The loggers in registration order. REQUIRES: not on the logging queue or a logger's queue.
    std::vector<LDLoggerPtr> allLoggers();
    std::vector<LDLoggerInformation> allLoggersWithLevel();

    // Whether a logger registered now (or being registered) takes messages of `flag`; false lets a
    // caller skip building a message nobody would see.
    bool selectsFlag(std::uint64_t flag) const {
        return registering_.load(std::memory_order_acquire) > 0 ||
               (selectedFlags_.load(std::memory_order_acquire) & flag) != 0;
    }

    // Queues `message` (a null one is ignored). Asynchronous: returns at once, never waiting for
    // the loggers. Synchronous: returns once every selected logger has handled it. REQUIRES
    // (synchronous): not on the logging queue or a logger's queue.
    void log(bool asynchronous, LDLogMessagePtr message);
    // Makes a message of the given fields (file and function copied, timestamp now) and queues it.
    void log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
             std::int64_t context, const char* file, const char* function, std::uint64_t line,
             LDLogTag tag);
    // The same with a printf-style text; a null format logs nothing.
    void logWithFormat(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                       std::int64_t context, const char* file, const char* function,
                       std::uint64_t line, LDLogTag tag, const char* format, ...)
        __attribute__((format(printf, 10, 11)));
    void logWithFormatArgs(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                           std::int64_t context, const char* file, const char* function,
                           std::uint64_t line, LDLogTag tag, const char* format, va_list args)
        __attribute__((format(printf, 10, 0)));

    // True while messages queued asynchronously wait for delivery or are being handled (a batch
    // counts until its last logger is through with it). Read by a logger on its queue to learn
    // whether more are right behind the ones it handles, so it can write them together.
    bool hasUndeliveredMessages() const {
        return queuedCount_.load(std::memory_order_acquire) !=
               deliveredCount_.load(std::memory_order_acquire);
    }

    // Messages queued asynchronously that were dropped because the backlog was full.
    std::uint64_t droppedMessages() const { return droppedCount_.load(std::memory_order_relaxed); }
    // The most text asynchronous messages may hold while they wait for delivery; a message that
    // would go beyond it is dropped (and counted) rather than making the caller wait.
    static constexpr size_t MaximumBacklogBytes = 32 * 1024 * 1024;
    // The most messages handed to the loggers in one turn of the logging queue.
    static constexpr size_t MaximumBatchMessages = 512;

    // Returns once every logger has flushed what was queued before this call.
    // REQUIRES: not on the logging queue or a logger's queue.
    void flushLog();

    // Per-class log levels. C++ has no class list to search, so a class that keeps a level of its
    // own registers its accessors under its name. The dispatcher never consults these levels: a
    // class filters its own log calls with them.
    static void registerClass(const std::string& className, std::function<std::uint64_t()> level,
                              std::function<void(std::uint64_t)> setLevel);
    static bool isRegisteredClass(const std::string& className);
    static std::vector<std::string> registeredClassNames();
    // All bits set for a class that is not registered.
    static std::uint64_t levelForClassWithName(const std::string& className);
    // Does nothing for a class that is not registered.
    static void setLevelForClassWithName(std::uint64_t level, const std::string& className);

  private:
    LDLog();

    void queueLogMessage(LDLogMessagePtr message, bool asynchronous);
    // Queues a change of the logger list in step with the messages.
    void changeLoggers(Block change);
    // Delivers one batch of the queued messages, and queues itself again while more are left.
    void drainPending();
    // The number of the last message queued asynchronously.
    std::uint64_t lastQueued();
    // REQUIRES: on the logging queue. Delivers one batch of the queued messages numbered up to
    // `upTo`; true when more of them may be delivered now.
    bool lt_deliverBatch(std::uint64_t upTo);
    // Delivers every queued message numbered up to `upTo` that may be delivered now.
    void lt_deliverQueuedUpTo(std::uint64_t upTo);
    // REQUIRES: on the logging queue, as all the lt_ members.
    void lt_addLogger(LDLoggerPtr logger, std::uint64_t level);
    void lt_removeLogger(const LDLoggerPtr& logger);
    void lt_removeAllLoggers();
    void lt_updateSelectedFlags();
    void lt_log(const LDLogMessagePtr& message);
    // `queued`: the batch was queued asynchronously (and counts towards delivery).
    void lt_logBatch(const std::vector<LDLogMessagePtr>& batch, bool queued);
    void lt_flush();

    std::atomic<std::uint64_t> queuedCount_{0};
    std::atomic<std::uint64_t> deliveredCount_{0};
    std::atomic<std::uint64_t> droppedCount_{0};
    struct Pending {
        LDLogMessagePtr message;
        std::uint64_t changes;  // changes of the loggers queued before the message
        size_t size;
        std::uint64_t sequence;  // its number among the messages queued asynchronously
    };
    std::mutex pendingMutex_;
    std::deque<Pending> pending_;  // asynchronous messages not delivered yet
    size_t pendingBytes_ = 0;
    std::uint64_t sequence_ = 0;         // messages queued asynchronously so far
    std::uint64_t changesQueued_ = 0;    // changes of the logger list queued so far
    std::uint64_t changesMade_ = 0;      // and made
    bool drainScheduled_ = false;        // a drain runs or is queued; it takes what comes meanwhile
    std::uint64_t droppedReported_ = 0;  // only touched on the logging queue
    std::vector<LDLoggerNode> loggers_;  // only touched on the logging queue
    std::atomic<std::uint64_t> selectedFlags_{0};  // the loggers' level masks together
    std::atomic<int> registering_{0};              // addLogger calls not yet on the queue
    DispatchGroup loggingGroup_;
};

}  // namespace quarra
