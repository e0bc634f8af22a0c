#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <regex>
#include <thread>

#include "log/LDDispatchQueueLogFormatter.h"
#include "log/LDLoggingContextSet.h"
#include "log/LDMultiFormatter.h"
#include "quarra/Dispatch.h"

using namespace quarra;

namespace {

class Lambda : public LDLogFormatter {
  public:
    explicit Lambda(std::function<std::optional<std::string>(const LDLogMessage&)> fn)
        : fn_(std::move(fn)) {}
    std::optional<std::string> formatLogMessage(const LDLogMessage& m) override {
        ++calls;
        return fn_(m);
    }
    std::atomic<int> calls{0};

  private:
    std::function<std::optional<std::string>(const LDLogMessage&)> fn_;
};

LDLogMessage extrasMessage(std::string text, std::int64_t context = 0) {
    return LDLogMessage(std::move(text), LDLogLevelAll, LDLogFlagInfo, context, "/src/Here.cpp",
                        "f", 12, nullptr, 0);
}

// A message made on `queue` (outside any queue when null) by a new thread named `threadName`
// (unnamed when empty). A thread reads its name once, so every message gets a thread of its own.
LDLogMessage messageFrom(const DispatchQueuePtr& queue, const std::string& threadName) {
    std::optional<LDLogMessage> made;
    std::thread([&] {
        pthread_setname_np(pthread_self(), threadName.c_str());
        auto make = [&] { made.emplace(extrasMessage("text")); };
        if (queue) {
            queue->sync(make);
        } else {
            make();
        }
    }).join();
    return *made;
}

}  // namespace

TEST(LDMultiFormatterTest, ChainsMembersInOrderAndStopsAtADrop) {
    auto upper = std::make_shared<Lambda>([](const LDLogMessage& m) {
        std::string text = m.message();
        std::transform(text.begin(), text.end(), text.begin(), ::toupper);
        return text;
    });
    auto prefix = std::make_shared<Lambda>([](const LDLogMessage& m) {
        EXPECT_EQ(m.context(), 5);  // every other field unchanged
        EXPECT_EQ(m.fileName(), "Here");
        return "> " + m.message();
    });
    auto drop = std::make_shared<Lambda>([](const LDLogMessage&) { return std::nullopt; });

    LDMultiFormatter chain;
    EXPECT_EQ(chain.formatLogMessage(extrasMessage("as is", 5)), "as is");
    chain.addFormatter(upper);
    chain.addFormatter(prefix);
    chain.addFormatter(prefix);
    EXPECT_EQ(chain.formatLogMessage(extrasMessage("hi", 5)), "> > HI");
    EXPECT_TRUE(chain.isFormattingWithFormatter(prefix));

    chain.removeFormatter(prefix);  // every occurrence
    EXPECT_EQ(chain.formatters(), std::vector<LDLogFormatterPtr>{upper});
    chain.removeAllFormatters();
    chain.addFormatter(drop);
    chain.addFormatter(prefix);
    prefix->calls = 0;
    EXPECT_EQ(chain.formatLogMessage(extrasMessage("gone", 5)), std::nullopt);
    EXPECT_EQ(prefix->calls, 0);
}

TEST(LDContextFilterTest, WhitelistAndBlacklistByContext) {
    LDContextWhitelistFilterLogFormatter white;
    LDContextBlacklistFilterLogFormatter black;
    EXPECT_EQ(white.formatLogMessage(extrasMessage("m", 1)), std::nullopt);
    EXPECT_EQ(black.formatLogMessage(extrasMessage("m", 1)), "m");

    white.addToWhitelist(1);
    white.addToWhitelist(static_cast<std::uint64_t>(-3));  // a negative context, bit for bit
    black.addToBlacklist(1);
    struct Case {
        std::int64_t context;
        bool white;
    };
    for (Case c : {Case{1, true}, Case{2, false}, Case{-3, true}, Case{3, false}}) {
        EXPECT_EQ(white.formatLogMessage(extrasMessage("m", c.context)).has_value(), c.white)
            << c.context;
        EXPECT_EQ(black.formatLogMessage(extrasMessage("m", c.context)).has_value(), c.context != 1)
            << c.context;
    }
    auto list = white.whitelist();
    std::sort(list.begin(), list.end());
    EXPECT_EQ(list, (std::vector<std::uint64_t>{1, static_cast<std::uint64_t>(-3)}));
    white.removeFromWhitelist(1);
    EXPECT_FALSE(white.isOnWhitelist(1));
    EXPECT_TRUE(black.isOnBlacklist(1));
}

TEST(LDDispatchQueueLogFormatterTest, LabelsByQueueThreadOrThreadId) {
    auto global = DispatchQueue::global(QueuePriority::Default);
    auto own = DispatchQueue::serial("com.example.uploads");
    LDDispatchQueueLogFormatter formatter;
    formatter.setReplacementString("uploads", "com.example.renamed");

    struct Case {
        LDLogMessage message;
        std::string label;
    };
    const Case cases[] = {
        {messageFrom(own, "worker"), "com.example.uploads"},
        {messageFrom(DispatchQueue::serial("com.example.renamed"), ""), "uploads"},
        {messageFrom(nullptr, "plain-thread"), "plain-thread"},
        {messageFrom(nullptr, ""), ""},  // filled below: the thread id
    };
    for (const Case& c : cases) {
        std::string expected = c.label.empty() ? c.message.threadID() : c.label;
        EXPECT_EQ(formatter.queueThreadLabelForLogMessage(c.message), expected);
    }
    // Any code runs on the shared global queues, so their label is passed over for the name of
    // the pool thread that ran the block, or its id when it has none.
    auto onGlobal = messageFrom(global, "");
    ASSERT_EQ(onGlobal.queueLabel(), global->label());
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(onGlobal),
              onGlobal.threadName().empty() ? onGlobal.threadID() : onGlobal.threadName());
}

TEST(LDDispatchQueueLogFormatterTest, MainQueueShortNameAndLengthLimits) {
    auto longQueue = DispatchQueue::serial("twenty-characters-ab");
    auto fromLong = messageFrom(longQueue, "");
    auto fromAccented = messageFrom(DispatchQueue::serial("ééééé"), "");

    struct Case {
        std::size_t min, max;
        const LDLogMessage* message;
        std::string label;
    };
    const Case cases[] = {
        {0, 8, &fromLong, "twenty-c"},
        {25, 0, &fromLong, "twenty-characters-ab     "},
        {25, 30, &fromLong, "twenty-characters-ab     "},
        {0, 20, &fromLong, "twenty-characters-ab"},
        {0, 3, &fromAccented, "ééé"},  // characters, not bytes
        {7, 0, &fromAccented, "ééééé  "},
    };
    for (const Case& c : cases) {
        LDDispatchQueueLogFormatter formatter;
        formatter.setMinQueueLength(c.min);
        formatter.setMaxQueueLength(c.max);
        EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*c.message), c.label)
            << c.min << " " << c.max;
    }

    LDDispatchQueueLogFormatter formatter;
    auto mainLabel = DispatchQueue::main()->label();
    EXPECT_EQ(formatter.replacementStringForQueueLabel(mainLabel), "main");
    formatter.setReplacementString("ui", mainLabel);
    EXPECT_EQ(formatter.replacementStringForQueueLabel(mainLabel), "ui");
    formatter.setReplacementString(std::nullopt, mainLabel);
    EXPECT_EQ(formatter.replacementStringForQueueLabel(mainLabel), std::nullopt);
}

TEST(LDDispatchQueueLogFormatterTest, LineCarriesLocalDateLabelAndText) {
    setenv("TZ", "UTC", 1);
    tzset();
    auto queue = DispatchQueue::serial("q");
    std::optional<LDLogMessage> made;
    queue->sync([&] {
        made.emplace("hello ✓", LDLogLevelAll, LDLogFlagInfo, 0, "f", "g", 1, nullptr, 0,
                     LDLogTimestamp(std::chrono::milliseconds(1709630102123)));
    });
    for (auto mode : {LDDispatchQueueLogFormatter::ShareableMode,
                      LDDispatchQueueLogFormatter::NonShareableMode}) {
        LDDispatchQueueLogFormatter formatter(mode);
        formatter.setMinQueueLength(3);
        EXPECT_EQ(formatter.formatLogMessage(*made), "2024-03-05 09:15:02:123 [q  ] hello ✓");
    }

    // A subclass changes the date text through its own date formatter.
    class DayOnly : public LDDispatchQueueLogFormatter {
      public:
        DateFormatterPtr createDateFormatter() const override {
            return DateFormatter::make("yyyy-MM-dd", "en_US_POSIX").value();
        }
    };
    LDDispatchQueueLogFormatter plain;
    DayOnly day;
    EXPECT_EQ(day.formatLogMessage(*made), "2024-03-05 [q] hello ✓");
    EXPECT_EQ(plain.formatLogMessage(*made), "2024-03-05 09:15:02:123 [q] hello ✓");
}
