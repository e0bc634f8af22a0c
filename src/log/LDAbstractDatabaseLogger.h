#pragma once
// Base of loggers that keep messages in a database and write them in batches. A subclass buffers
// each message (db_log) and writes (db_save) or prunes (db_delete) when told; this base decides
// when: after saveThreshold unsaved messages, saveInterval seconds after the first unsaved one, on
// flush and on removal, and every deleteInterval seconds for entries older than maxAge. All of it
// runs on the logger's queue.
#include <cstdint>
#include <memory>
#include <optional>

#include "log/LDAbstractLogger.h"
#include "log/LDTimerSource.h"

namespace quarra {

class LDAbstractDatabaseLogger : public LDAbstractLogger {
  public:
    explicit LDAbstractDatabaseLogger(
        std::string loggerName = "LDAbstractDatabaseLogger",
        std::shared_ptr<LDTimerSource> timers = LDTimerSource::system());
    ~LDAbstractDatabaseLogger() override;

    // Getters wait for the messages queued before them. REQUIRES: not on the logging queue or
    // this logger's queue (code there reads the stored values below). Setters return at once and
    // take effect in step with the message stream.
    // Save once this many messages are unsaved; 0 turns count-triggered saving off. Default 500.
    std::uint64_t saveThreshold();
    void setSaveThreshold(std::uint64_t threshold);
    // Save at the latest this many seconds after the first unsaved message; <= 0 turns the save
    // timer off. Default 60.
    double saveInterval();
    void setSaveInterval(double seconds);
    // Stored messages older than this many seconds are deleted; <= 0 turns deleting off. Default
    // 7 days.
    double maxAge();
    void setMaxAge(double seconds);
    // The period of the delete timer; <= 0 turns it off. Default 5 minutes.
    double deleteInterval();
    void setDeleteInterval(double seconds);
    // Every save also deletes, through db_saveAndDelete. Default off.
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool value);

    // Save or delete now; at once on the logger's queue, otherwise queued there.
    void savePendingLogEntries();
    void deleteOldLogEntries();

    void logMessage(const LDLogMessagePtr& message) override;
    void didAddLogger() override;
    void willRemoveLogger() override;
    void flush() override;

  protected:
    // Buffers or writes `message`; true when it now counts as unsaved.
    virtual bool db_log(const LDLogMessage& /*message*/) { return false; }
    // Writes the buffered messages.
    virtual void db_save() {}
    // Removes stored messages older than maxAge_.
    virtual void db_delete() {}
    // Writes the buffered messages, then removes old ones.
    virtual void db_saveAndDelete() {}

    // The settings, for code on the logger's queue.
    std::uint64_t saveThreshold_ = 500;
    double saveInterval_ = 60.0;
    double maxAge_ = 604800.0;
    double deleteInterval_ = 300.0;
    bool deleteOnEverySave_ = false;

  private:
    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void createSuspendedSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void destroyDeleteTimer();
    // Runs `action` of this logger on its queue, at once when already there.
    void onLoggerQueue(void (LDAbstractDatabaseLogger::*action)());
    Block weakly(void (LDAbstractDatabaseLogger::*action)());

    const std::shared_ptr<LDTimerSource> timers_;
    // Only touched on the logger's queue.
    std::uint64_t unsavedCount_ = 0;
    std::optional<Clock::time_point> unsavedTime_;
    std::unique_ptr<LDTimer> saveTimer_;
    bool saveTimerSuspended_ = false;
    std::optional<Clock::time_point> lastDeleteTime_;
    std::unique_ptr<LDTimer> deleteTimer_;
};

}  // namespace quarra
