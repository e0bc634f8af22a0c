#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "log/LDAbstractDatabaseLogger.h"
#include "log/LDLog.h"

using namespace quarra;
using namespace std::chrono_literals;

namespace {

// A clock that moves only when the test advances it; due timers then fire on their queues.
class ManualTimers : public LDTimerSource {
  public:
    struct State {
        std::mutex mutex;
        Clock::time_point now{std::chrono::hours(1000)};
    };
    class Timer : public LDTimer {
      public:
        Timer(std::shared_ptr<State> state, DispatchQueuePtr queue, Block handler)
            : state_(std::move(state)), queue_(std::move(queue)), handler_(std::move(handler)) {}
        void setTimer(Clock::time_point firstFire, Clock::duration interval) override {
            std::lock_guard lock(state_->mutex);
            due_ = firstFire;
            interval_ = interval;
        }
        void resume() override { running_ = true; }
        void suspend() override { running_ = false; }
        void cancel() override { cancelled_ = true; }
        // Fires (once, as firings merge) when due and running.
        void fireIfDue(Clock::time_point now) {
            std::lock_guard lock(state_->mutex);
            if (cancelled_ || !running_ || !due_ || *due_ > now) {
                return;
            }
            while (*due_ <= now) {
                *due_ += interval_;
            }
            queue_->async(handler_);
        }

      private:
        std::shared_ptr<State> state_;
        DispatchQueuePtr queue_;
        Block handler_;
        std::atomic<bool> running_{false};
        std::atomic<bool> cancelled_{false};
        std::optional<Clock::time_point> due_;
        Clock::duration interval_{};
    };

    // What the logger holds; the timer itself stays with the clock.
    class Handle : public LDTimer {
      public:
        explicit Handle(std::shared_ptr<Timer> timer) : timer_(std::move(timer)) {}
        void setTimer(Clock::time_point firstFire, Clock::duration interval) override {
            timer_->setTimer(firstFire, interval);
        }
        void resume() override { timer_->resume(); }
        void suspend() override { timer_->suspend(); }
        void cancel() override { timer_->cancel(); }

      private:
        std::shared_ptr<Timer> timer_;
    };

    Clock::time_point now() const override {
        std::lock_guard lock(state_->mutex);
        return state_->now;
    }
    std::unique_ptr<LDTimer> makeTimer(DispatchQueuePtr queue, Block handler) override {
        auto timer = std::make_shared<Timer>(state_, std::move(queue), std::move(handler));
        std::lock_guard lock(mutex_);
        timers_.push_back(timer);
        return std::make_unique<Handle>(timer);
    }
    void advance(Clock::duration by) {
        Clock::time_point now;
        {
            std::lock_guard lock(state_->mutex);
            now = state_->now += by;
        }
        std::lock_guard lock(mutex_);
        for (const auto& timer : timers_) {
            timer->fireIfDue(now);
        }
    }

  private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::mutex mutex_;
    // Kept after the logger lets its timer go, so advancing never meets a freed one.
    std::vector<std::shared_ptr<Timer>> timers_;
};

// Records which hook ran, in order: "s" save, "d" delete, "sd" save and delete.
class RecordingDatabaseLogger : public LDAbstractDatabaseLogger {
  public:
    explicit RecordingDatabaseLogger(std::shared_ptr<LDTimerSource> timers)
        : LDAbstractDatabaseLogger("test.database", std::move(timers)) {}

    std::vector<std::string> calls() {
        std::vector<std::string> copy;
        loggerQueue()->sync([&] { copy = calls_; });
        return copy;
    }
    std::size_t buffered() {
        std::size_t n = 0;
        loggerQueue()->sync([&] { n = buffer_.size(); });
        return n;
    }
    std::atomic<bool> acceptMessages{true};

  protected:
    bool db_log(const LDLogMessage& message) override {
        if (!acceptMessages) {
            return false;
        }
        buffer_.push_back(message.message());
        return true;
    }
    void db_save() override {
        calls_.push_back("s" + std::to_string(buffer_.size()));
        buffer_.clear();
    }
    void db_delete() override { calls_.push_back("d"); }
    void db_saveAndDelete() override {
        calls_.push_back("sd" + std::to_string(buffer_.size()));
        buffer_.clear();
    }

  private:
    std::vector<std::string> calls_;
    std::vector<std::string> buffer_;
};

using Calls = std::vector<std::string>;

class DatabaseLoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logger = std::make_shared<RecordingDatabaseLogger>(timers);
        LDLog::sharedInstance().addLogger(logger);
        settle();  // the logger makes its timers once it is added
    }
    void log(int count) {
        for (int i = 0; i < count; ++i) {
            LDLog::sharedInstance().log(false, "m" + std::to_string(i), LDLogLevelAll,
                                        LDLogFlagInfo, 0, __FILE__, __func__, __LINE__, nullptr);
        }
    }
    // Moves the clock on and waits until the timers that fell due have run.
    void advance(Clock::duration by) {
        timers->advance(by);
        logger->loggerQueue()->sync([] {});
    }
    // Waits until setting changes made before have reached the logger.
    void settle() {
        LDLog::loggingQueue()->sync([] {});
        logger->loggerQueue()->sync([] {});
    }
    void withoutDeletes() {
        logger->setDeleteInterval(0);
        settle();
    }

    std::shared_ptr<ManualTimers> timers = std::make_shared<ManualTimers>();
    std::shared_ptr<RecordingDatabaseLogger> logger;
};

}  // namespace

TEST_F(DatabaseLoggerTest, SavesByCountOrIntervalAfterTheFirstUnsavedMessage) {
    withoutDeletes();
    log(499);
    advance(59s);
    EXPECT_EQ(logger->calls(), Calls{});
    log(1);  // the 500th saves at once
    EXPECT_EQ(logger->calls(), Calls{"s500"});
    advance(10min);  // nothing unsaved: the save timer is suspended
    EXPECT_EQ(logger->calls(), Calls{"s500"});

    log(3);
    advance(30s);
    log(2);  // the interval counts from the first unsaved message
    advance(29s);
    EXPECT_EQ(logger->calls(), Calls{"s500"});
    advance(1s);
    EXPECT_EQ(logger->calls(), (Calls{"s500", "s5"}));
}

TEST_F(DatabaseLoggerTest, ThresholdChangesAndSavingWithoutCountOrTimer) {
    withoutDeletes();
    logger->setSaveThreshold(0);
    logger->setSaveInterval(0);
    log(600);
    advance(1h);
    EXPECT_EQ(logger->calls(), Calls{});
    logger->setSaveThreshold(1000);  // raising it does nothing else
    settle();
    EXPECT_EQ(logger->calls(), Calls{});
    logger->setSaveThreshold(600);  // at the unsaved count: save now
    settle();
    EXPECT_EQ(logger->calls(), Calls{"s600"});

    log(2);
    LDLog::sharedInstance().flushLog();
    log(1);
    logger->savePendingLogEntries();
    logger->savePendingLogEntries();  // nothing unsaved: no hook
    log(4);
    LDLog::sharedInstance().removeLogger(logger);
    settle();
    EXPECT_EQ(logger->calls(), (Calls{"s600", "s2", "s1", "s4"}));
}

TEST_F(DatabaseLoggerTest, SaveTimerComesBackWithAPositiveInterval) {
    withoutDeletes();
    logger->setSaveInterval(0);
    log(1);
    advance(1h);
    EXPECT_EQ(logger->calls(), Calls{});
    logger->setSaveInterval(120);  // the first fire counts from the unsaved message: past already
    settle();
    advance(0s);
    EXPECT_EQ(logger->calls(), Calls{"s1"});
}

TEST_F(DatabaseLoggerTest, DeletesPeriodicallyAndWhenMaxAgeChanges) {
    advance(299s);
    EXPECT_EQ(logger->calls(), Calls{});
    advance(1s);
    EXPECT_EQ(logger->calls(), Calls{"d"});

    advance(100s);
    logger->setMaxAge(3600);  // lower: delete now, and the period restarts from that delete
    settle();
    EXPECT_EQ(logger->calls(), (Calls{"d", "d"}));
    advance(299s);
    EXPECT_EQ(logger->calls(), (Calls{"d", "d"}));
    advance(1s);
    EXPECT_EQ(logger->calls(), (Calls{"d", "d", "d"}));

    logger->setMaxAge(7200);  // higher: nothing else
    logger->setMaxAge(0);     // off: no more deletes
    settle();
    logger->deleteOldLogEntries();
    settle();
    advance(1h);
    EXPECT_EQ(logger->calls(), (Calls{"d", "d", "d"}));
    logger->setMaxAge(60);  // on again: delete now and restart the timer
    settle();
    advance(300s);
    EXPECT_EQ(logger->calls(), (Calls{"d", "d", "d", "d", "d"}));
    EXPECT_EQ(logger->maxAge(), 60);
}

TEST_F(DatabaseLoggerTest, DeleteOnEverySaveUsesTheCombinedHook) {
    logger->setDeleteOnEverySave(true);
    logger->setSaveThreshold(2);
    log(2);
    advance(300s);
    logger->setDeleteInterval(0);
    settle();
    advance(1h);
    EXPECT_EQ(logger->calls(), (Calls{"sd2", "d"}));
    EXPECT_TRUE(logger->deleteOnEverySave());
}

TEST_F(DatabaseLoggerTest, RefusedMessagesLeaveCountersAndTimersAlone) {
    logger->setSaveThreshold(2);
    settle();
    logger->acceptMessages = false;
    log(5);
    advance(1h);
    EXPECT_EQ(logger->buffered(), 0u);
    EXPECT_EQ(logger->calls(), Calls{"d"});
    logger->setDeleteInterval(std::nan(""));  // unordered: no change
    EXPECT_EQ(logger->deleteInterval(), 300);
}

TEST(DatabaseLoggerSystemTimersTest, SaveTimerFiresOnTheSteadyClock) {
    class SignallingLogger : public LDAbstractDatabaseLogger {
      public:
        DispatchSemaphore saved;
        bool onQueue = false;

      protected:
        bool db_log(const LDLogMessage&) override { return true; }
        void db_save() override {
            onQueue = isOnInternalLoggerQueue();
            saved.signal();
        }
    };
    auto logger = std::make_shared<SignallingLogger>();
    logger->setSaveInterval(0.01);
    LDLog::sharedInstance().addLogger(logger);
    LDLog::sharedInstance().log(true, "m", LDLogLevelAll, LDLogFlagInfo, 0, __FILE__, __func__,
                                __LINE__, nullptr);
    // The limit only keeps a broken timer from hanging the test.
    ASSERT_TRUE(logger->saved.wait(30s));
    logger->loggerQueue()->sync([] {});
    EXPECT_TRUE(logger->onQueue);
}
