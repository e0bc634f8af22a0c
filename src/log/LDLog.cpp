#include "log/LDLog.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

#include "quarra/Application.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

const char GlobalLoggingQueueIdentityKey = 0;

namespace {

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

LDLog::LDLog() : numProcessors_(std::max(1u, std::thread::hardware_concurrency())) {
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
    loggingQueue()->async([this, logger = std::move(logger), level]() mutable {
        lt_addLogger(std::move(logger), level);
        registering_.fetch_sub(1, std::memory_order_acq_rel);
    });
}

void LDLog::removeLogger(const LDLoggerPtr& logger) {
    if (!logger) {
        return;
    }
    loggingQueue()->async([this, logger] { lt_removeLogger(logger); });
}

void LDLog::removeAllLoggers() {
    loggingQueue()->async([this] { lt_removeAllLoggers(); });
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
    loggingQueue()->sync([this] { lt_flush(); });
}

void LDLog::queueLogMessage(LDLogMessagePtr message, bool asynchronous) {
    if (!asynchronous) {
        loggingQueue()->sync([&] { lt_log(message); });
        return;
    }
    // The backlog is not bounded: a caller never waits for the loggers when logging asynchronously.
    // The message waits in pending_ under a number, and the block that delivers it carries only
    // that number, so submitting it costs no allocation. Delivered messages come back to a caller
    // to be released, so that a message's memory is taken and given back on the same side instead
    // of being fought over by the allocator's locks.
    thread_local std::vector<LDLogMessagePtr> released;
    // Releasing a message may log again (a tag that logs when it goes); that inner call leaves the
    // list being released alone.
    thread_local bool releasing = false;
    std::uint64_t number;
    {
        std::lock_guard lock(pendingMutex_);
        number = firstPending_ + pending_.size();
        pending_.push_back(std::move(message));
        queuedCount_.fetch_add(1, std::memory_order_release);
        if (!releasing) {
            released.swap(delivered_);
        }
    }
    loggingQueue()->async([this, number] { deliverPending(number); });
    if (!releasing) {
        releasing = true;
        released.clear();
        releasing = false;
    }
}

void LDLog::deliverPending(std::uint64_t number) {
    LDLogMessagePtr dropped;  // released after the lock: releasing may log
    {
        std::lock_guard lock(pendingMutex_);
        // Bounded, so a burst followed by silence holds little memory.
        if (delivered_.size() < kMaxDelivered) {
            delivered_.push_back(std::move(lastDelivered_));
        } else {
            dropped = std::move(lastDelivered_);
        }
        lastDelivered_ = std::move(pending_[number - firstPending_]);
        deliveredCount_.fetch_add(1, std::memory_order_release);
        // Callers on several threads may submit their blocks in another order than they took
        // their numbers; slots are dropped once everything before them is delivered.
        while (!pending_.empty() && !pending_.front()) {
            pending_.pop_front();
            ++firstPending_;
        }
    }
    lt_log(lastDelivered_);
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
    selected_.clear();
    for (const auto& node : loggers_) {
        if (node.level & message->flag()) {
            selected_.push_back(&node);
        }
    }
    // Several loggers work on one message side by side; either way lt_log returns only when all of
    // them are done, so no logger sees the next message before the others finish this one.
    if (numProcessors_ >= 2 && selected_.size() >= 2) {
        for (const LDLoggerNode* node : selected_) {
            loggingGroup_.async(node->loggerQueue, [logger = node->logger, message] {
                guarded([&] { logger->logMessage(message); });
            });
        }
        loggingGroup_.wait();
    } else {
        for (const LDLoggerNode* node : selected_) {
            node->loggerQueue->sync([&] { guarded([&] { node->logger->logMessage(message); }); });
        }
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
