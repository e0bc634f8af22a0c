#pragma once
// A logger that appends each formatted message to the current log file of its file manager, and
// rolls to a new file by size, by age, when the file is deleted or moved away under it, or on
// request. Everything that touches the current file runs on the logger's queue
// ("log.dispatch.fileLogger"); the members marked "logger's queue" must be called there.
//
// A line that cannot be written (full disk, unwritable folder) is dropped and counted; logging goes
// on and the code that logged never hears of it. A write that fails part way is cut back, so the
// file always ends where a line ends, and once lines can be written again the loss is reported.
#include <atomic>
#include <cstdint>

#include "log/LDAbstractLogger.h"
#include "log/LDLogFileManager.h"
#include "platform/DispatchSource.h"

namespace quarra {

class LDFileLogger : public LDAbstractLogger {
  public:
    static constexpr std::uint64_t DefaultMaximumFileSize = 1024 * 1024;
    static constexpr double DefaultRollingFrequency = 24 * 60 * 60;

    // A default file manager on its default folder.
    LDFileLogger();
    explicit LDFileLogger(LDLogFileManagerPtr logFileManager);
    ~LDFileLogger() override;

    const LDLogFileManagerPtr& logFileManager() const { return logFileManager_; }
    // 0: never by size.
    std::uint64_t maximumFileSize() const { return maximumFileSize_; }
    void setMaximumFileSize(std::uint64_t bytes);
    // Seconds; 0 or less: never by age.
    double rollingFrequency() const { return rollingFrequency_; }
    void setRollingFrequency(double seconds);
    // false: a new logger continues the newest unarchived file.
    bool doNotReuseLogFiles() const { return doNotReuseLogFiles_; }
    void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_ = value; }
    bool automaticallyAppendNewlineForCustomFormatters() const { return appendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { appendNewline_ = value; }

    // Logger's queue: the file being written, chosen (or created) when there is none; null when no
    // file can be made.
    LDLogFileInfoPtr currentLogFileInfo();
    // Logger's queue: the descriptor open for appending to the current file, -1 when it cannot be
    // opened (the next message tries again).
    int currentLogFileHandle();

    // Rolls on the logger's queue (at once when called there); then `completion`, if any, runs on
    // the global queue of default priority.
    void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
    void rollLogFileWithCompletionBlock(Block completion);
    // Logger's queue. Closes and archives the current file; nothing when no file is open.
    void rollLogFileNow();
    void maybeRollLogFileDueToAge();
    void maybeRollLogFileDueToSize();
    void scheduleTimerToRollLogFileDueToAge();
    // Whether the newest file, found at start, is to be archived instead of continued.
    virtual bool shouldArchiveRecentLogFileInfo(LDLogFileInfo& /*info*/) { return false; }
    virtual void willLogMessage() {}
    virtual void didLogMessage() { maybeRollLogFileDueToSize(); }

    void logMessage(const LDLogMessagePtr& message) override;
    void willLogMessages() override { inBatch_ = true; }
    void didLogMessages() override;
    void willRemoveLogger() override { rollLogFileNow(); }
    void flush() override;

    // Lines that could not be written since the logger was made.
    std::uint64_t droppedLines() const { return droppedLines_; }

  protected:
    // What a new log file begins with, written before its first line; none by default.
    virtual std::string_view fileHeader() const { return {}; }
    // Logger's queue: after the current file was closed and archived.
    virtual void didRollLogFile() {}
    // Logger's queue: closes off the file lines are written to (rolling it when it is open) so the
    // next line starts a new one, and returns it (its path as it is now); the newest log file when
    // none was chosen yet; null when there is no log file.
    LDLogFileInfoPtr detachCurrentLogFile();
    // Logger's queue: adds one line for the current file. Lines are written together while more
    // messages are queued right behind them, and at once when none is.
    void appendToCurrentFile(std::string_view line);
    // Logger's queue: writes the lines not written yet; false (and counted) when they could not be.
    bool writeBufferedLines();
    std::shared_ptr<LDFileLogger> sharedFileLogger() {
        return std::static_pointer_cast<LDFileLogger>(shared_from_this());
    }

  private:
    void closeCurrentFile();
    // Writes the buffered lines now when no message is right behind them, else after those.
    void writeSoon();
    // Runs `step` on the logger's queue after the messages queued so far.
    void afterMessagesQueuedNow(void (LDFileLogger::*step)());

    const LDLogFileManagerPtr logFileManager_;
    std::atomic<std::uint64_t> maximumFileSize_{DefaultMaximumFileSize};
    std::atomic<double> rollingFrequency_{DefaultRollingFrequency};
    std::atomic<bool> doNotReuseLogFiles_{false};
    std::atomic<bool> appendNewline_{true};
    std::atomic<std::uint64_t> droppedLines_{0};
    std::uint64_t droppedUnreported_ = 0;  // logger's queue only
    bool startsMidLine_ = false;  // a failed write left a part of a line that could not be cut
    // Logger's queue only.
    LDLogFileInfoPtr currentLogFileInfo_;
    int fd_ = -1;
    std::uint64_t position_ = 0;  // where the file ends once the buffered lines are written
    std::string buffer_;
    std::uint64_t bufferedLines_ = 0;
    bool writeScheduled_ = false;
    bool inBatch_ = false;  // the lines of a batch are written together at its end
    DispatchSourcePtr fileWatch_;
    DispatchSourcePtr rollingTimer_;
};

}  // namespace quarra
