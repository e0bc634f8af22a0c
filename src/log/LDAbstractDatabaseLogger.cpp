#include "log/LDAbstractDatabaseLogger.h"

#include <cmath>

namespace quarra {
namespace {

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

// Unordered values (a NaN) count as no change.
bool differs(double a, double b) {
    return !std::isunordered(a, b) && a != b;
}

}  // namespace

LDAbstractDatabaseLogger::LDAbstractDatabaseLogger(std::string loggerName,
                                                   std::shared_ptr<LDTimerSource> timers)
    : LDAbstractLogger(std::move(loggerName)), timers_(std::move(timers)) {}

LDAbstractDatabaseLogger::~LDAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

Block LDAbstractDatabaseLogger::weakly(void (LDAbstractDatabaseLogger::*action)()) {
    std::weak_ptr<LDAbstractLogger> weak = weak_from_this();
    return [weak, action] {
        if (auto self = weak.lock()) {
            (static_cast<LDAbstractDatabaseLogger*>(self.get())->*action)();
        }
    };
}

void LDAbstractDatabaseLogger::onLoggerQueue(void (LDAbstractDatabaseLogger::*action)()) {
    if (isOnInternalLoggerQueue()) {
        (this->*action)();
        return;
    }
    loggerQueue()->async([self = shared_from_this(), action] {
        (static_cast<LDAbstractDatabaseLogger*>(self.get())->*action)();
    });
}

// Settings.

std::uint64_t LDAbstractDatabaseLogger::saveThreshold() {
    std::uint64_t value = 0;
    readInMessageOrder([&] { value = saveThreshold_; });
    return value;
}

void LDAbstractDatabaseLogger::setSaveThreshold(std::uint64_t threshold) {
    changeInMessageOrder([this, threshold] {
        if (threshold == saveThreshold_) {
            return;
        }
        saveThreshold_ = threshold;
        if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
            performSaveAndSuspendSaveTimer();
        }
    });
}

double LDAbstractDatabaseLogger::saveInterval() {
    double value = 0;
    readInMessageOrder([&] { value = saveInterval_; });
    return value;
}

void LDAbstractDatabaseLogger::setSaveInterval(double interval) {
    changeInMessageOrder([this, interval] {
        if (!differs(interval, saveInterval_)) {
            return;
        }
        saveInterval_ = interval;
        if (saveInterval_ > 0) {
            if (!saveTimer_) {
                createSuspendedSaveTimer();
            }
            updateAndResumeSaveTimer();
        } else {
            destroySaveTimer();
        }
    });
}

double LDAbstractDatabaseLogger::maxAge() {
    double value = 0;
    readInMessageOrder([&] { value = maxAge_; });
    return value;
}

void LDAbstractDatabaseLogger::setMaxAge(double age) {
    changeInMessageOrder([this, age] {
        if (!differs(age, maxAge_)) {
            return;
        }
        double old = maxAge_;
        maxAge_ = age;
        bool deleteNow = false;
        if (old > 0) {
            if (age <= 0) {
                destroyDeleteTimer();
            } else if (age < old) {
                deleteNow = true;
            }
        } else if (age > 0) {
            deleteNow = true;
        }
        if (deleteNow) {
            performDelete();
            if (deleteTimer_) {
                updateDeleteTimer();
            } else {
                createAndStartDeleteTimer();
            }
        }
    });
}

double LDAbstractDatabaseLogger::deleteInterval() {
    double value = 0;
    readInMessageOrder([&] { value = deleteInterval_; });
    return value;
}

void LDAbstractDatabaseLogger::setDeleteInterval(double interval) {
    changeInMessageOrder([this, interval] {
        if (!differs(interval, deleteInterval_)) {
            return;
        }
        deleteInterval_ = interval;
        if (deleteInterval_ > 0) {
            if (deleteTimer_) {
                updateDeleteTimer();
            } else {
                createAndStartDeleteTimer();
            }
        } else {
            destroyDeleteTimer();
        }
    });
}

bool LDAbstractDatabaseLogger::deleteOnEverySave() {
    bool value = false;
    readInMessageOrder([&] { value = deleteOnEverySave_; });
    return value;
}

void LDAbstractDatabaseLogger::setDeleteOnEverySave(bool value) {
    changeInMessageOrder([this, value] { deleteOnEverySave_ = value; });
}

// Triggers.

void LDAbstractDatabaseLogger::savePendingLogEntries() {
    onLoggerQueue(&LDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer);
}

void LDAbstractDatabaseLogger::deleteOldLogEntries() {
    onLoggerQueue(&LDAbstractDatabaseLogger::performDelete);
}

void LDAbstractDatabaseLogger::logMessage(const LDLogMessagePtr& message) {
    if (!db_log(*message)) {
        return;
    }
    bool first = unsavedCount_ == 0;
    ++unsavedCount_;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (first) {
        unsavedTime_ = timers_->now();
        updateAndResumeSaveTimer();
    }
}

void LDAbstractDatabaseLogger::didAddLogger() {
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void LDAbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void LDAbstractDatabaseLogger::flush() {
    performSaveAndSuspendSaveTimer();
}

void LDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        if (deleteOnEverySave_) {
            db_saveAndDelete();
        } else {
            db_save();
        }
    }
    unsavedCount_ = 0;
    unsavedTime_.reset();
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void LDAbstractDatabaseLogger::performDelete() {
    if (maxAge_ > 0) {
        db_delete();
        lastDeleteTime_ = timers_->now();
    }
}

// Timers.

void LDAbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (saveTimer_ || saveInterval_ <= 0) {
        return;
    }
    saveTimer_ = timers_->makeTimer(
        loggerQueue(), weakly(&LDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer));
    saveTimerSuspended_ = true;
}

void LDAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || saveInterval_ <= 0 || !unsavedTime_) {
        return;
    }
    saveTimer_->setTimer(*unsavedTime_ + seconds(saveInterval_), seconds(saveInterval_));
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void LDAbstractDatabaseLogger::destroySaveTimer() {
    if (saveTimer_) {
        saveTimer_->cancel();
        saveTimer_.reset();
        saveTimerSuspended_ = false;
    }
}

void LDAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) {
        return;
    }
    deleteTimer_ =
        timers_->makeTimer(loggerQueue(), weakly(&LDAbstractDatabaseLogger::performDelete));
    updateDeleteTimer();
    deleteTimer_->resume();
}

void LDAbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_ || deleteInterval_ <= 0 || maxAge_ <= 0) {
        return;
    }
    deleteTimer_->setTimer(lastDeleteTime_.value_or(timers_->now()) + seconds(deleteInterval_),
                           seconds(deleteInterval_));
}

void LDAbstractDatabaseLogger::destroyDeleteTimer() {
    if (deleteTimer_) {
        deleteTimer_->cancel();
        deleteTimer_.reset();
    }
}

}  // namespace quarra
