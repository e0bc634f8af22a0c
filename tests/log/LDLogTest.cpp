#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "quarra/NotificationCenter.h"
#include "quarra/RunLoop.h"

using namespace quarra;
using namespace std::chrono_literals;

namespace {

// Keeps what it receives; may hold each message until the test lets it go.
class RecordingLogger : public LDAbstractLogger {
  public:
    explicit RecordingLogger(std::string name = "test.recording")
        : LDAbstractLogger(std::move(name)) {}

    void logMessage(const LDLogMessagePtr& message) override {
        if (entered) {
            entered->signal();
        }
        if (gate) {
            gate->wait();
        }
        std::optional<std::string> text = message->message();
        if (logFormatter_) {
            text = logFormatter_->formatLogMessage(*message);
        }
        onQueue = onQueue && isOnInternalLoggerQueue();
        std::lock_guard lock(mutex);
        if (text) {
            texts.push_back(*text);
        }
        flags.push_back(message->flag());
    }
    void didAddLoggerInQueue(const DispatchQueuePtr& queue) override {
        added = queue.get() == loggerQueue().get() && isOnInternalLoggerQueue();
    }
    void willRemoveLogger() override { removed = true; }
    void flush() override { ++flushes; }

    std::vector<std::string> recordedTexts() {
        std::lock_guard lock(mutex);
        return texts;
    }
    std::vector<std::uint64_t> recordedFlags() {
        std::lock_guard lock(mutex);
        return flags;
    }

    std::shared_ptr<DispatchSemaphore> gate;
    std::shared_ptr<DispatchSemaphore> entered;
    std::atomic<bool> added{false}, removed{false}, onQueue{true};
    std::atomic<int> flushes{0};

  private:
    std::mutex mutex;
    std::vector<std::string> texts;
    std::vector<std::uint64_t> flags;
};

class PrefixFormatter : public LDLogFormatter {
  public:
    explicit PrefixFormatter(std::string prefix) : prefix_(std::move(prefix)) {}
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override {
        if (message.message() == "drop") {
            return std::nullopt;
        }
        return prefix_ + message.message();
    }
    void didAddToLogger(LDLogger&, const DispatchQueuePtr&) override { ++adds; }
    void willRemoveFromLogger(LDLogger&) override { ++removes; }
    std::atomic<int> adds{0}, removes{0};

  private:
    std::string prefix_;
};

LDLogMessagePtr message(std::string text, std::uint64_t flag = LDLogFlagDebug) {
    return std::make_shared<const LDLogMessage>(std::move(text), LDLogLevelAll, flag, 0, __FILE__,
                                                __PRETTY_FUNCTION__, __LINE__, nullptr, 0);
}

}  // namespace

TEST(LDLogTest, LevelMaskSelectsTheFlagsItCovers) {
    const std::vector<std::uint64_t> flags = {
        LDLogFlagError, LDLogFlagWarning, LDLogFlagInfo, LDLogFlagDebug, LDLogFlagVerbose, 32, 0};
    struct Case {
        std::uint64_t mask;
        std::vector<std::uint64_t> received;
    };
    const Case cases[] = {
        {LDLogLevelOff, {}},
        {LDLogLevelError, {1}},
        {LDLogLevelWarning, {1, 2}},
        {LDLogLevelInfo, {1, 2, 4}},
        {LDLogLevelDebug, {1, 2, 4, 8}},
        {LDLogLevelVerbose, {1, 2, 4, 8, 16}},
        {LDLogLevelAll, {1, 2, 4, 8, 16, 32}},
        {LDLogFlagInfo, {4}},
    };
    auto& log = LDLog::sharedInstance();
    for (const auto& c : cases) {
        auto logger = std::make_shared<RecordingLogger>();
        log.addLogger(logger, c.mask);
        for (auto flag : flags) {
            log.log(false, message("m", flag));
        }
        log.removeLogger(logger);
        log.flushLog();
        EXPECT_EQ(logger->recordedFlags(), c.received) << "mask " << c.mask;
    }
}

TEST(LDLogTest, SameLoggerWithAnotherMaskIsASecondRegistration) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    log.addLogger(logger, LDLogLevelError);
    log.addLogger(logger, LDLogLevelError);
    EXPECT_EQ(log.allLoggers().size(), 1u);

    log.addLogger(logger, LDLogLevelDebug);
    ASSERT_EQ(log.allLoggers().size(), 2u);
    log.log(false, message("both", LDLogFlagError));
    log.log(false, message("second only", LDLogFlagDebug));
    EXPECT_EQ(logger->recordedTexts(), (std::vector<std::string>{"both", "both", "second only"}));

    // Only the first registration goes.
    log.removeLogger(logger);
    auto left = log.allLoggersWithLevel();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].level, LDLogLevelDebug);
    EXPECT_EQ(left[0].logger, logger);

    log.removeAllLoggers();
    EXPECT_TRUE(log.allLoggers().empty());
    log.flushLog();
    EXPECT_TRUE(runMainUntil([&] { return logger->removed.load(); }, 60s));
    EXPECT_TRUE(logger->added);
}

TEST(LDLogTest, NullLoggersAndUnknownLoggersAreIgnored) {
    auto& log = LDLog::sharedInstance();
    log.addLogger(nullptr);
    log.removeLogger(nullptr);
    log.removeLogger(std::make_shared<RecordingLogger>());
    EXPECT_TRUE(log.allLoggers().empty());
}

TEST(LDLogTest, SynchronousLogWaitsForTheLoggersAsynchronousDoesNot) {
    auto& log = LDLog::sharedInstance();
    auto slow = std::make_shared<RecordingLogger>("test.slow");
    auto other = std::make_shared<RecordingLogger>("test.other");
    slow->gate = std::make_shared<DispatchSemaphore>(0);
    log.addLogger(slow);
    log.addLogger(other);

    // Asynchronous: returns while the logger is still held at its gate.
    log.log(true, message("async"));
    EXPECT_TRUE(slow->recordedTexts().empty());

    std::atomic<bool> returned{false};
    std::thread syncCaller([&] {
        log.log(false, message("sync"));
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);  // still waiting for the held logger
    slow->gate->signal();
    slow->gate->signal();
    syncCaller.join();
    EXPECT_EQ(slow->recordedTexts(), (std::vector<std::string>{"async", "sync"}));
    EXPECT_EQ(other->recordedTexts(), (std::vector<std::string>{"async", "sync"}));
    EXPECT_TRUE(slow->onQueue);
    log.removeAllLoggers();
}

TEST(LDLogTest, MessagesArriveInQueueOrderAndFlushWaitsForThem) {
    auto& log = LDLog::sharedInstance();
    auto first = std::make_shared<RecordingLogger>("test.first");
    auto second = std::make_shared<RecordingLogger>("test.second");
    log.addLogger(first);
    log.addLogger(second, LDLogLevelError);

    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                log.log(true, message(std::to_string(t * 10000 + i),
                                      i % 2 ? LDLogFlagError : LDLogFlagDebug));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    log.flushLog();
    EXPECT_EQ(first->flushes, 1);
    EXPECT_EQ(second->flushes, 1);

    auto all = first->recordedTexts();
    ASSERT_EQ(all.size(), size_t{kThreads * kPerThread});
    std::vector<int> last(kThreads, -1);
    std::vector<std::string> errors;
    for (const auto& text : all) {
        int value = std::stoi(text);
        EXPECT_GT(value % 10000, last[value / 10000]);
        last[value / 10000] = value % 10000;
        if ((value % 10000) % 2) {
            errors.push_back(text);
        }
    }
    // Both loggers see the messages that concern them in the same order.
    EXPECT_EQ(second->recordedTexts(), errors);
    log.removeAllLoggers();
}

TEST(LDLogTest, FormatterChangesInStepWithTheMessageStream) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    auto a = std::make_shared<PrefixFormatter>("a:");
    auto b = std::make_shared<PrefixFormatter>("b:");
    log.addLogger(logger);
    logger->setLogFormatter(a);
    log.log(true, message("1"));
    logger->setLogFormatter(b);
    EXPECT_EQ(logger->logFormatter(), b);
    log.log(true, message("2"));
    log.log(true, message("drop"));
    log.flushLog();
    EXPECT_EQ(logger->recordedTexts(), (std::vector<std::string>{"a:1", "b:2"}));
    EXPECT_EQ(a->adds, 1);
    EXPECT_EQ(a->removes, 1);
    EXPECT_EQ(b->adds, 1);
    EXPECT_EQ(b->removes, 0);
    log.removeAllLoggers();
}

TEST(LDLogTest, LoggerQueueKeysAnswerWhereCodeRuns) {
    auto logger = std::make_shared<RecordingLogger>();
    EXPECT_FALSE(logger->isOnGlobalLoggingQueue());
    EXPECT_FALSE(logger->isOnInternalLoggerQueue());
    bool onLogging = false, onOwn = false;
    LDLog::loggingQueue()->sync([&] { onLogging = logger->isOnGlobalLoggingQueue(); });
    logger->loggerQueue()->sync([&] { onOwn = logger->isOnInternalLoggerQueue(); });
    EXPECT_TRUE(onLogging);
    EXPECT_TRUE(onOwn);
    EXPECT_EQ(LDLog::loggingQueue()->label(), "log.dispatch");
    EXPECT_EQ(logger->loggerQueue()->label(), "test.recording");

    // A logger moved to another queue is at home there, and no longer on the old one.
    auto old = logger->loggerQueue();
    logger->setLoggerQueue(DispatchQueue::serial("test.moved"));
    bool onNew = false, onOld = true;
    logger->loggerQueue()->sync([&] { onNew = logger->isOnInternalLoggerQueue(); });
    old->sync([&] { onOld = logger->isOnInternalLoggerQueue(); });
    EXPECT_TRUE(onNew);
    EXPECT_FALSE(onOld);
}

// A caller never waits for a stuck logger: beyond the backlog's bound messages are dropped and
// counted, and the loggers hear of the drop once they catch up.
TEST(LDLogTest, TheBacklogIsBoundedAndWhatIsDroppedIsCounted) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    logger->gate = std::make_shared<DispatchSemaphore>();
    log.addLogger(logger);
    const std::string big(1024 * 1024, 'm');
    const size_t fits = LDLog::MaximumBacklogBytes / big.size();
    // The first message stops in the logger; the next ones fill the backlog and then overflow it.
    logger->entered = std::make_shared<DispatchSemaphore>();
    log.log(true, message("first"));
    ASSERT_TRUE(logger->entered->wait(60s));
    for (size_t i = 0; i < fits + 8; ++i) {
        log.log(true, message(big));
    }
    std::uint64_t dropped = log.droppedMessages();
    EXPECT_GE(dropped, 8u);
    for (size_t i = 0; i < fits + 16; ++i) {
        logger->gate->signal();
    }
    log.flushLog();
    auto texts = logger->recordedTexts();
    const std::string report = std::to_string(dropped) +
                               " log messages were dropped: they came faster than the loggers "
                               "could take them";
    size_t bigs = std::count(texts.begin(), texts.end(), big);
    EXPECT_EQ(bigs, fits + 8 - dropped);
    EXPECT_EQ(texts.size(), 1 + bigs + 1);
    EXPECT_TRUE(!texts.empty() && texts.front() == "first");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), report), 1);
    log.removeAllLoggers();
}

TEST(LDLogTest, FormattedLogMakesTheTextAndANullFormatLogsNothing) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    log.addLogger(logger);
    log.logWithFormat(false, LDLogLevelInfo, LDLogFlagInfo, 0, "/x/File.cpp", "fn", 7, nullptr,
                      "%s=%d", "n", 42);
    log.logWithFormat(false, LDLogLevelInfo, LDLogFlagInfo, 0, nullptr, nullptr, 7, nullptr,
                      nullptr);
    EXPECT_EQ(logger->recordedTexts(), (std::vector<std::string>{"n=42"}));
    log.removeAllLoggers();
}

TEST(LDLogTest, MessageTakesItsContextFromTheCaller) {
    auto before = std::chrono::system_clock::now();
    char file[] = "/x/y/TVKFileLogger.cpp";
    LDLogMessage shared("t", 1, 1, 5, file, "f", 3, nullptr, 0);
    LDLogMessage copied("t", 1, 1, 5, file, "f", 3, nullptr, LDLogMessageCopyFile);
    std::strcpy(file, "/changed/Other.cpp    ");
    EXPECT_EQ(shared.file().data(), file);
    EXPECT_EQ(copied.file(), "/x/y/TVKFileLogger.cpp");
    EXPECT_EQ(copied.fileName(), "TVKFileLogger");
    LDLogMessage copyOfCopy = copied;
    EXPECT_EQ(copyOfCopy.fileName(), "TVKFileLogger");
    EXPECT_GE(copied.timestamp(), before);
    EXPECT_LE(copied.timestamp(), std::chrono::system_clock::now());
    EXPECT_FALSE(copied.threadID().empty());

    auto fixed = LDLogTimestamp(std::chrono::seconds(1000));
    std::string label;
    auto queue = DispatchQueue::serial("test.maker");
    queue->sync([&] {
        LDLogMessage onQueue("t", 1, 1, 0, "", "", 0, nullptr, 0, fixed);
        label = onQueue.queueLabel();
        EXPECT_EQ(onQueue.timestamp(), fixed);
    });
    EXPECT_EQ(label, "test.maker");
}

TEST(LDLogTest, FileNameWithoutExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/LDLog.m", "LDLog"}, {"LDLog", "LDLog"}, {"/a.d/file", "file"}, {"", ""},
        {"a.b.m", "a.b"},          {".profile", ""},   {"dir/", ""},          {"a.b/c", "c"},
    };
    for (auto [path, name] : cases) {
        EXPECT_EQ(LDExtractFileNameWithoutExtension(path), name) << path;
    }
    EXPECT_EQ(LDExtractFileNameWithoutExtension(static_cast<const char*>(nullptr)), std::nullopt);
}

TEST(LDLogTest, PerClassLevelsOnlyForRegisteredClasses) {
    EXPECT_EQ(LDLog::levelForClassWithName("Unknown"), LDLogLevelAll);
    LDLog::setLevelForClassWithName(LDLogLevelError, "Unknown");
    EXPECT_FALSE(LDLog::isRegisteredClass("Unknown"));

    static std::uint64_t level = LDLogLevelDebug;
    LDLog::registerClass(
        "Known", [] { return level; }, [](std::uint64_t l) { level = l; });
    EXPECT_TRUE(LDLog::isRegisteredClass("Known"));
    EXPECT_EQ(LDLog::registeredClassNames(), std::vector<std::string>{"Known"});
    LDLog::setLevelForClassWithName(LDLogLevelWarning, "Known");
    EXPECT_EQ(LDLog::levelForClassWithName("Known"), LDLogLevelWarning);
}

TEST(LDLogTest, TerminationFlushesEveryLogger) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    log.addLogger(logger);
    NotificationCenter::defaultCenter().post("UIApplicationWillTerminateNotification");
    EXPECT_EQ(logger->flushes, 1);
    log.removeAllLoggers();
}

TEST(LDLogTest, AMessageWhoseReleaseLogsAgainNeitherDeadlocksNorGetsLost) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<RecordingLogger>();
    log.addLogger(logger);
    constexpr int kCount = 600;  // more than the dispatcher keeps for release
    for (int i = 0; i < kCount; ++i) {
        LDLogTag tag(new int(i), [&log](const void* value) {
            delete static_cast<const int*>(value);
            log.log(true, message("released"));
        });
        log.log(true, std::make_shared<const LDLogMessage>("logged", LDLogLevelAll, LDLogFlagInfo,
                                                           0, "", "", 0, tag, 0));
    }
    // Every tagged message is released at the latest by the next calls; keep logging until the
    // releases have all been logged in turn.
    auto count = [&](const std::string& text) {
        auto texts = logger->recordedTexts();
        return std::count(texts.begin(), texts.end(), text);
    };
    for (int round = 0; round < 100 && count("released") < kCount; ++round) {
        log.flushLog();
        log.log(true, message("nudge"));
    }
    log.flushLog();
    EXPECT_EQ(count("logged"), kCount);
    EXPECT_EQ(count("released"), kCount);
    log.removeAllLoggers();
}

namespace {

// Counts what it receives and checks that each sender's numbered messages come in order.
class OrderCheckingLogger : public LDAbstractLogger {
  public:
    OrderCheckingLogger() : LDAbstractLogger("test.order") {}
    void logMessage(const LDLogMessagePtr& message) override {
        received.fetch_add(1, std::memory_order_relaxed);
        const std::string& text = message->message();
        auto space = text.find(' ');
        if (space == std::string::npos) {
            return;
        }
        long number = std::stol(text.substr(space + 1));
        long& last = lastBySender.try_emplace(text.substr(0, space), -1).first->second;
        if (number <= last) {
            outOfOrder.fetch_add(1, std::memory_order_relaxed);
        }
        last = number;
    }
    // The number of the last message of `sender` received.
    long lastOf(const std::string& sender) {
        long last = -1;
        loggerQueue()->sync([&] {
            auto found = lastBySender.find(sender);
            last = found == lastBySender.end() ? -1 : found->second;
        });
        return last;
    }
    std::atomic<std::uint64_t> received{0};
    std::atomic<int> outOfOrder{0};

  private:
    std::map<std::string, long> lastBySender;  // only touched on the logger's queue
};

// Threads that log as fast as they can until stopped.
class Flood {
  public:
    explicit Flood(int threads) {
        for (int t = 0; t < threads; ++t) {
            threads_.emplace_back([this, t] {
                for (long i = 0; !stop_; ++i) {
                    LDLog::sharedInstance().log(true, message("flood" + std::to_string(t) + " " +
                                                              std::to_string(i)));
                }
            });
        }
    }
    ~Flood() {
        stop_ = true;
        for (auto& thread : threads_) {
            thread.join();
        }
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

}  // namespace

// However long a flood goes on, a flush, a synchronous message and a change of the loggers each
// get their turn: they wait for what was queued before them, not for the flood to end.
TEST(LDLogTest, AFloodHoldsNeitherFlushNorSynchronousMessagesNorChanges) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<OrderCheckingLogger>();
    log.addLogger(logger);
    Flood flood(8);
    while (logger->received < 1000) {
        std::this_thread::yield();
    }
    for (int round = 0; round < 3; ++round) {
        log.flushLog();
    }
    auto late = std::make_shared<RecordingLogger>("test.late");
    log.addLogger(late);
    log.log(false, message("synchronous"));
    auto texts = late->recordedTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "synchronous"), texts.end());
    log.removeLogger(late);
    log.flushLog();
    EXPECT_EQ(logger->outOfOrder, 0);
    log.removeAllLoggers();
}

// While loggers come and go, a thread's synchronous message never overtakes its own asynchronous
// ones queued before it.
TEST(LDLogTest, AThreadsMessagesKeepTheirOrderWhileLoggersChange) {
    auto& log = LDLog::sharedInstance();
    auto logger = std::make_shared<OrderCheckingLogger>();
    log.addLogger(logger);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        while (!done) {
            auto other = std::make_shared<RecordingLogger>("test.other");
            log.addLogger(other);
            log.removeLogger(other);
            // Paced by the logging queue, so changes do not pile up on it without end.
            log.allLoggers();
        }
    });
    constexpr long kMessages = 60000;
    for (long i = 0; i < kMessages; ++i) {
        log.log(i % 7 != 0, message("sender " + std::to_string(i)));
    }
    done = true;
    changer.join();
    log.flushLog();
    EXPECT_EQ(logger->lastOf("sender"), kMessages - 1);
    EXPECT_EQ(logger->outOfOrder, 0);
    log.removeAllLoggers();
}
