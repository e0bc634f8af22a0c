#include "log/LDLog.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "quarra/Application.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

const char GlobalLoggingQueueIdentityKey = 0;

namespace {

// The bound of a drain that takes whatever comes.
constexpr std::uint64_t kEverything = std::numeric_limits<std::uint64_t>::max();

// A logger's failure stays the logger's: it never reaches the code that logged.
template <class F>
void guarded(F&& call) {
    try {
        call();
    } catch (...) {
    }
}

struct ClassLevels {
    std::mutex mutex;
    std::map<std::string,
             std::pair<std::function<std::uint64_t()>, std::function<void(std::uint64_t)>>>
        classes;

    static ClassLevels& shared() {
        static auto* levels = new ClassLevels();
        return *levels;
    }
};

}  // namespace

const DispatchQueuePtr& LDLog::loggingQueue() {
    static auto* queue = [] {
        auto* made = new DispatchQueuePtr(DispatchQueue::serial("log.dispatch"));
        // The key's value is its own address, which is never freed.
        (*made)->setSpecific(
            &GlobalLoggingQueueIdentityKey,
            std::shared_ptr<void>(const_cast<char*>(&GlobalLoggingQueueIdentityKey), [](void*) {}));
        return made;
    }();
    return *queue;
}

LDLog& LDLog::sharedInstance() {
    static LDLog* instance = new LDLog();
    return *instance;
}

LDLog::LDLog() {
    loggers_.reserve(4);
    // Whatever the loggers still hold is written out before the process ends.
    NotificationCenter::defaultCenter().addObserver(ApplicationWillTerminateNotification,
                                                    [this](const Notification&) { flushLog(); });
    Application::postWillTerminateAtExit();
}

void LDLog::addLogger(LDLoggerPtr logger, std::uint64_t level) {
    if (!logger) {
        return;
    }
    // Until the logger is in the list, every message counts as selected: one logged right after
    // this call must reach it.
    registering_.fetch_add(1, std::memory_order_acq_rel);
    changeLoggers([this, logger = std::move(logger), level]() mutable {
        lt_addLogger(std::move(logger), level);
        registering_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void LDLog::setLevelOfLogger(const LDLoggerPtr& logger, std::uint64_t level) {
    if (!logger) {
        return;
    }
    // A level that widens counts as selected until it is set, like a logger being added.
    registering_.fetch_add(1, std::memory_order_acq_rel);
    changeLoggers([this, logger, level] {
        for (auto& node : loggers_) {
            if (node.logger == logger) {
                node.level = level;
                break;
            }
        }
        lt_updateSelectedFlags();
        registering_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void LDLog::removeLogger(const LDLoggerPtr& logger) {
    if (!logger) {
        return;
    }
    changeLoggers([this, logger] { lt_removeLogger(logger); });
}

void LDLog::removeAllLoggers() {
    changeLoggers([this] { lt_removeAllLoggers(); });
}

void LDLog::changeLoggers(Block change) {
    // The change takes the next number; messages queued after this call wait for it, so they go
    // to the loggers as they are after the change, even while a drain is running. It is queued
    // under the same lock: a block queued after a message (a synchronous message, a flush) finds
    // every change that message waits for made before it runs.
    std::lock_guard lock(pendingMutex_);
    std::uint64_t number = ++changesQueued_;
    loggingQueue()->async([this, change = std::move(change), number] {
        change();
        bool drain = false;
        {
            std::lock_guard lock(pendingMutex_);
            changesMade_ = number;
            drain = !pending_.empty() && !std::exchange(drainScheduled_, true);
        }
        if (drain) {
            drainPending();
        }
    });
}

std::vector<LDLoggerPtr> LDLog::allLoggers() {
    return loggingQueue()->syncResult([this] {
        std::vector<LDLoggerPtr> loggers;
        for (const auto& node : loggers_) {
            loggers.push_back(node.logger);
        }
        return loggers;
    });
}

std::vector<LDLoggerInformation> LDLog::allLoggersWithLevel() {
    return loggingQueue()->syncResult([this] {
        std::vector<LDLoggerInformation> loggers;
        for (const auto& node : loggers_) {
            loggers.push_back({node.logger, node.level});
        }
        return loggers;
    });
}

void LDLog::log(bool asynchronous, LDLogMessagePtr message) {
    if (message) {
        queueLogMessage(std::move(message), asynchronous);
    }
}

void LDLog::log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                std::int64_t context, const char* file, const char* function, std::uint64_t line,
                LDLogTag tag) {
    queueLogMessage(std::make_shared<const LDLogMessage>(
                        std::move(message), level, flag, context, file ? file : "(null)",
                        function ? function : "(null)", line, std::move(tag),
                        LDLogMessageCopyFile | LDLogMessageCopyFunction),
                    asynchronous);
}

void LDLog::logWithFormat(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                          std::int64_t context, const char* file, const char* function,
                          std::uint64_t line, LDLogTag tag, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logWithFormatArgs(asynchronous, level, flag, context, file, function, line, std::move(tag),
                      format, args);
    va_end(args);
}

void LDLog::logWithFormatArgs(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                              std::int64_t context, const char* file, const char* function,
                              std::uint64_t line, LDLogTag tag, const char* format, va_list args) {
    if (format == nullptr) {
        return;
    }
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        return;
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    log(asynchronous, std::move(text), level, flag, context, file, function, line, std::move(tag));
}

void LDLog::flushLog() {
    // Only what was queued before this call: a flood that goes on meanwhile does not hold it.
    std::uint64_t upTo = lastQueued();
    loggingQueue()->sync([this, upTo] {
        lt_deliverQueuedUpTo(upTo);
        lt_flush();
    });
}

std::uint64_t LDLog::lastQueued() {
    std::lock_guard lock(pendingMutex_);
    return sequence_;
}

void LDLog::queueLogMessage(LDLogMessagePtr message, bool asynchronous) {
    if (!asynchronous) {
        // After the thread's own asynchronous messages, which may still wait to be drained.
        std::uint64_t upTo = lastQueued();
        loggingQueue()->sync([&] {
            lt_deliverQueuedUpTo(upTo);
            lt_log(message);
        });
        return;
    }
    // What a message costs while it waits: its text and roughly its other fields.
    size_t size = message->message().size() + sizeof(LDLogMessage) + 64;
    bool schedule = false;
    {
        std::lock_guard lock(pendingMutex_);
        if (pendingBytes_ + size > MaximumBacklogBytes) {
            droppedCount_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        pendingBytes_ += size;
        pending_.push_back({std::move(message), changesQueued_, size, ++sequence_});
        queuedCount_.fetch_add(1, std::memory_order_release);
        schedule = !std::exchange(drainScheduled_, true);
    }
    // One block drains what comes in, batch by batch, until it finds nothing left: a burst costs
    // the callers one hand-off, not one per line.
    if (schedule) {
        loggingQueue()->async([this] { drainPending(); });
    }
}

void LDLog::drainPending() {
    // One batch per turn on the logging queue, then the drain queues itself again behind whatever
    // came meanwhile: under a flood that never pauses, a flush, a change of the loggers or a
    // synchronous message still gets its turn after one batch.
    if (lt_deliverBatch(kEverything)) {
        loggingQueue()->async([this] { drainPending(); });
    }
}

bool LDLog::lt_deliverBatch(std::uint64_t upTo) {
    std::vector<LDLogMessagePtr> batch;
    bool more = false;
    // What comes while the loggers finish the last batch goes with the next.
    loggingGroup_.wait();
    {
        std::lock_guard lock(pendingMutex_);
        // Messages queued after a change of the loggers that has not been made yet wait for it;
        // the change drains them when it is made.
        auto end = pending_.begin();
        while (end != pending_.end() && batch.size() < MaximumBatchMessages &&
               end->changes <= changesMade_ && end->sequence <= upTo) {
            pendingBytes_ -= end->size;
            batch.push_back(std::move(end->message));
            ++end;
        }
        pending_.erase(pending_.begin(), end);
        more = !pending_.empty() && pending_.front().changes <= changesMade_ &&
               pending_.front().sequence <= upTo;
        // The drain ends when it finds nothing it may deliver; a message left waiting for a change
        // is drained by the change.
        if (upTo == kEverything && !more)
            drainScheduled_ = false;
    }
    if (!batch.empty())
        lt_logBatch(batch, true);
    std::uint64_t dropped = droppedCount_.load(std::memory_order_relaxed);
    if (dropped != droppedReported_) {
        auto report = std::make_shared<const LDLogMessage>(
            std::to_string(dropped - droppedReported_) +
                " log messages were dropped: they came faster than the loggers could take them",
            LDLogLevelWarning, LDLogFlagWarning, 0, "LDLog", "LDLog::drainPending", 0, nullptr, 0);
        droppedReported_ = dropped;
        lt_log(report);
    }
    return more;
}

void LDLog::lt_deliverQueuedUpTo(std::uint64_t upTo) {
    while (lt_deliverBatch(upTo)) {
    }
}

void LDLog::lt_addLogger(LDLoggerPtr logger, std::uint64_t level) {
    for (const auto& node : loggers_) {
        if (node.logger == logger && node.level == level) {
            return;
        }
    }
    DispatchQueuePtr queue = logger->loggerQueue();
    if (!queue) {
        queue = DispatchQueue::serial(logger->loggerName());
    }
    loggers_.push_back({logger, queue, level});
    lt_updateSelectedFlags();
    queue->async([logger, queue] { guarded([&] { logger->didAddLoggerInQueue(queue); }); });
}

void LDLog::lt_removeLogger(const LDLoggerPtr& logger) {
    auto node = std::find_if(loggers_.begin(), loggers_.end(),
                             [&](const LDLoggerNode& n) { return n.logger == logger; });
    if (node == loggers_.end()) {
        return;
    }
    node->loggerQueue->async([logger] { guarded([&] { logger->willRemoveLogger(); }); });
    loggers_.erase(node);
    lt_updateSelectedFlags();
}

void LDLog::lt_removeAllLoggers() {
    for (const auto& node : loggers_) {
        node.loggerQueue->async(
            [logger = node.logger] { guarded([&] { logger->willRemoveLogger(); }); });
    }
    loggers_.clear();
    lt_updateSelectedFlags();
}

void LDLog::lt_updateSelectedFlags() {
    std::uint64_t flags = 0;
    for (const auto& node : loggers_) {
        flags |= node.level;
    }
    selectedFlags_.store(flags, std::memory_order_release);
}

void LDLog::lt_log(const LDLogMessagePtr& message) {
    loggingGroup_.wait();
    lt_logBatch(std::vector<LDLogMessagePtr>{message}, false);
    loggingGroup_.wait();
}

void LDLog::lt_logBatch(const std::vector<LDLogMessagePtr>& batch, bool queued) {
    // Each logger gets its share of the batch in one block on its own queue, and the loggers work
    // side by side. The dispatcher does not wait for them: it gathers the next batch meanwhile and
    // waits only before handing that one over, so a burst costs a hand-off per batch, not per line,
    // and no logger runs more than one batch ahead of the others.
    struct Shared {
        std::atomic<size_t> loggers{0};
        size_t messages = 0;
    };
    auto shared = std::make_shared<Shared>();
    // Only what was queued asynchronously counts towards delivery.
    shared->messages = queued ? batch.size() : 0;
    std::vector<std::pair<const LDLoggerNode*, std::vector<LDLogMessagePtr>>> shares;
    for (const auto& node : loggers_) {
        std::vector<LDLogMessagePtr> selected;
        for (const auto& message : batch) {
            if (node.level & message->flag()) {
                selected.push_back(message);
            }
        }
        if (!selected.empty()) {
            shares.emplace_back(&node, std::move(selected));
        }
    }
    if (shares.empty()) {
        deliveredCount_.fetch_add(shared->messages, std::memory_order_release);
        return;
    }
    shared->loggers = shares.size();
    for (auto& [node, selected] : shares) {
        loggingGroup_.async(node->loggerQueue, [this, logger = node->logger, shared,
                                                selected = std::move(selected)] {
            guarded([&] { logger->willLogMessages(); });
            for (const auto& message : selected) {
                guarded([&] { logger->logMessage(message); });
            }
            // The batch counts as delivered once the last logger is through with it.
            if (shared->loggers.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                deliveredCount_.fetch_add(shared->messages, std::memory_order_release);
            }
            guarded([&] { logger->didLogMessages(); });
        });
    }
}

void LDLog::lt_flush() {
    for (const auto& node : loggers_) {
        loggingGroup_.async(node.loggerQueue,
                            [logger = node.logger] { guarded([&] { logger->flush(); }); });
    }
    loggingGroup_.wait();
}

void LDLog::registerClass(const std::string& className, std::function<std::uint64_t()> level,
                          std::function<void(std::uint64_t)> setLevel) {
    if (!level || !setLevel) {
        return;
    }
    auto& levels = ClassLevels::shared();
    std::lock_guard lock(levels.mutex);
    levels.classes[className] = {std::move(level), std::move(setLevel)};
}

bool LDLog::isRegisteredClass(const std::string& className) {
    auto& levels = ClassLevels::shared();
    std::lock_guard lock(levels.mutex);
    return levels.classes.count(className) != 0;
}

std::vector<std::string> LDLog::registeredClassNames() {
    auto& levels = ClassLevels::shared();
    std::lock_guard lock(levels.mutex);
    std::vector<std::string> names;
    for (const auto& entry : levels.classes) {
        names.push_back(entry.first);
    }
    return names;
}

std::uint64_t LDLog::levelForClassWithName(const std::string& className) {
    std::function<std::uint64_t()> level;
    {
        auto& levels = ClassLevels::shared();
        std::lock_guard lock(levels.mutex);
        auto it = levels.classes.find(className);
        if (it == levels.classes.end()) {
            return LDLogLevelAll;
        }
        level = it->second.first;
    }
    return level();
}

void LDLog::setLevelForClassWithName(std::uint64_t level, const std::string& className) {
    std::function<void(std::uint64_t)> setLevel;
    {
        auto& levels = ClassLevels::shared();
        std::lock_guard lock(levels.mutex);
        auto it = levels.classes.find(className);
        if (it == levels.classes.end()) {
            return;
        }
        setLevel = it->second.second;
    }
    setLevel(level);
}

}  // namespace quarra
