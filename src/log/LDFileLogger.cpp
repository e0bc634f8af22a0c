#include "log/LDFileLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "log/LDLog.h"
#include "log/LDLogFileFormatterDefault.h"
#include "log/LDLogFileManagerDefault.h"
#include "platform/Diagnostics.h"

namespace quarra {
namespace {

// Lines written by one system call at most, when messages come faster than they are written.
constexpr size_t kWriteBatchBytes = 64 * 1024;

// Failures are reported ten times per process, then silence: a broken disk must not turn
// every log line into console noise.
void reportWriteFailure(const std::string& what) {
    static std::atomic<int> reported{0};
    int count = ++reported;
    if (count > 10)
        return;
    reportDiagnostic(DiagnosticLevel::Error, "LDFileLogger.logMessage: " + what);
    if (count == 10)
        reportDiagnostic(DiagnosticLevel::Error,
                         "LDFileLogger.logMessage: Too many exceptions -- will not log any more of "
                         "them.");
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reportWriteFailure(std::strerror(errno));
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

LDFileLogger::LDFileLogger() : LDFileLogger(std::make_shared<LDLogFileManagerDefault>()) {}

LDFileLogger::LDFileLogger(LDLogFileManagerPtr logFileManager)
    : LDAbstractLogger("log.dispatch.fileLogger"), logFileManager_(std::move(logFileManager)) {
    logFormatter_ = std::make_shared<LDLogFileFormatterDefault>();
}

LDFileLogger::~LDFileLogger() {
    // Only to a file already open: nothing can be chosen or watched for an object going away.
    if (fd_ >= 0 && !buffer_.empty() && !writeAll(fd_, buffer_))
        droppedLines_ += bufferedLines_;
    if (fileWatch_)
        fileWatch_->cancel();
    if (rollingTimer_)
        rollingTimer_->cancel();
    if (fd_ >= 0)
        ::close(fd_);
}

void LDFileLogger::setMaximumFileSize(std::uint64_t bytes) {
    maximumFileSize_ = bytes;
    afterMessagesQueuedNow(&LDFileLogger::maybeRollLogFileDueToSize);
}

void LDFileLogger::setRollingFrequency(double seconds) {
    rollingFrequency_ = seconds;
    afterMessagesQueuedNow(&LDFileLogger::maybeRollLogFileDueToAge);
}

void LDFileLogger::afterMessagesQueuedNow(void (LDFileLogger::*step)()) {
    // Set while the logger is being made there is nothing to check yet.
    auto self = std::static_pointer_cast<LDFileLogger>(weak_from_this().lock());
    if (!self)
        return;
    LDLog::loggingQueue()->async([self, step] {
        self->loggerQueue()->async([self, step] { ((*self).*step)(); });
    });
}

LDLogFileInfoPtr LDFileLogger::currentLogFileInfo() {
    if (currentLogFileInfo_)
        return currentLogFileInfo_;
    auto sorted = logFileManager_->sortedLogFileInfos();
    if (!sorted.empty()) {
        LDLogFileInfoPtr newest = sorted.front();
        bool archive = false;
        if (!newest->isArchived()) {
            archive = shouldArchiveRecentLogFileInfo(*newest) ||
                      (maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_) ||
                      (rollingFrequency_ > 0 && newest->age() >= rollingFrequency_);
        }
        if (!doNotReuseLogFiles_ && !newest->isArchived() && !archive) {
            currentLogFileInfo_ = newest;
        } else if (archive) {
            newest->setIsArchived(true);
            if (logFileManager_->implementsDidArchiveLogFile())
                logFileManager_->didArchiveLogFile(newest->filePath());
        }
    }
    if (!currentLogFileInfo_) {
        if (auto path = logFileManager_->createNewLogFile())
            currentLogFileInfo_ = LDLogFileInfo::logFileWithPath(*path);
    }
    return currentLogFileInfo_;
}

int LDFileLogger::currentLogFileHandle() {
    if (fd_ >= 0)
        return fd_;
    LDLogFileInfoPtr info = currentLogFileInfo();
    if (!info)
        return -1;
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        // Gone since it was chosen: the next message chooses afresh.
        currentLogFileInfo_.reset();
        return -1;
    }
    struct stat st;
    std::uint64_t size = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    std::string_view header = fileHeader();
    if (size == 0 && !header.empty()) {
        if (!writeAll(fd, header)) {
            // Tried again with the next line; a part of the header must not stay.
            if (::ftruncate(fd, 0) != 0)
                reportWriteFailure(std::strerror(errno));
            ::close(fd);
            return -1;
        }
        size = header.size();
    }
    fd_ = fd;
    position_ = size + buffer_.size();
    scheduleTimerToRollLogFileDueToAge();
    std::weak_ptr<LDFileLogger> weak = sharedFileLogger();
    // An unwatched file is still written and still rolled by size and age; the logger has no one
    // to tell.
    fileWatch_ = DispatchSource::fileWatch(fd, info->filePath(),
                                           DispatchVnodeDelete | DispatchVnodeRename, loggerQueue())
                     .valueOr(nullptr);
    if (fileWatch_) {
        fileWatch_->setEventHandler([weak] {
            if (auto self = weak.lock())
                self->rollLogFileNow();
        });
        fileWatch_->resume();
    }
    return fd_;
}

void LDFileLogger::appendToCurrentFile(std::string_view line) {
    buffer_.append(line);
    ++bufferedLines_;
    position_ += line.size();
    if (buffer_.size() >= kWriteBatchBytes) {
        writeBufferedLines();
        return;
    }
    if (!inBatch_)
        writeSoon();
}

void LDFileLogger::didLogMessages() {
    inBatch_ = false;
    writeSoon();
}

void LDFileLogger::writeSoon() {
    if (buffer_.empty())
        return;
    if (!LDLog::sharedInstance().hasUndeliveredMessages()) {
        writeBufferedLines();
        return;
    }
    // The messages behind this one may all be for other loggers: a write queued behind them makes
    // sure the lines do not wait for the next message of this logger.
    if (!writeScheduled_) {
        writeScheduled_ = true;
        std::weak_ptr<LDFileLogger> weak = sharedFileLogger();
        LDLog::loggingQueue()->async([weak, queue = loggerQueue()] {
            queue->async([weak] {
                if (auto self = weak.lock()) {
                    self->writeScheduled_ = false;
                    self->writeBufferedLines();
                }
            });
        });
    }
}

bool LDFileLogger::writeBufferedLines() {
    if (buffer_.empty())
        return true;
    std::uint64_t lines = std::exchange(bufferedLines_, 0);
    int fd = currentLogFileHandle();
    if (fd < 0)
        reportWriteFailure("cannot open the log file");
    struct stat st;
    const off_t end = fd >= 0 && ::fstat(fd, &st) == 0 ? st.st_size : -1;
    // A part of a line left by a failed write that could not be cut back is ended first, so the
    // next line does not run on from it.
    if (fd >= 0 && startsMidLine_ && writeAll(fd, "\n"))
        startsMidLine_ = false;
    bool written = fd >= 0 && !startsMidLine_ && writeAll(fd, buffer_);
    if (!written) {
        droppedLines_ += lines;
        droppedUnreported_ += lines;
        // The file ends where its last whole line ends: what the failed write added is cut off.
        if (fd >= 0 && end >= 0 && ::fstat(fd, &st) == 0 && st.st_size > end &&
            ::ftruncate(fd, end) != 0)
            startsMidLine_ = true;
        position_ = (fd_ >= 0 && ::fstat(fd_, &st) == 0) ? static_cast<std::uint64_t>(st.st_size) : 0;
    } else if (droppedUnreported_ > 0) {
        // Reported through the log once it can be written again, so the loss shows in it.
        reportDiagnostic(DiagnosticLevel::Warning,
                         std::to_string(std::exchange(droppedUnreported_, 0)) +
                             " log lines were lost: the log file could not be written");
    }
    buffer_.clear();
    if (buffer_.capacity() > 4 * kWriteBatchBytes)
        buffer_.shrink_to_fit();
    return written;
}

void LDFileLogger::logMessage(const LDLogMessagePtr& message) {
    std::string text;
    bool formatted = false;
    if (logFormatter_) {
        auto result = logFormatter_->formatLogMessage(*message);
        if (!result)
            return;
        text = std::move(*result);
        formatted = true;
    } else {
        text = message->message();
    }
    if ((!formatted || appendNewline_) && (text.empty() || text.back() != '\n'))
        text += '\n';
    willLogMessage();
    appendToCurrentFile(text);
    didLogMessage();
}

void LDFileLogger::flush() {
    writeBufferedLines();
    if (fd_ >= 0)
        ::fdatasync(fd_);
}

void LDFileLogger::closeCurrentFile() {
    if (fileWatch_) {
        fileWatch_->cancel();
        fileWatch_.reset();
    }
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    // Closed without waiting for the disk: a rolled file is read back (or uploaded) through the
    // page cache, and a wait per roll would stall every line behind it. flush() is what waits.
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // The next file starts empty.
    position_ = buffer_.size();
}

void LDFileLogger::rollLogFileNow() {
    writeBufferedLines();
    if (fd_ < 0)
        return;
    closeCurrentFile();
    LDLogFileInfoPtr info = std::move(currentLogFileInfo_);
    currentLogFileInfo_.reset();
    std::error_code error;
    // A file deleted or moved away from under the logger has no name here to mark.
    if (info && std::filesystem::exists(info->filePath(), error)) {
        info->setIsArchived(true);
        if (logFileManager_->implementsDidRollAndArchiveLogFile())
            logFileManager_->didRollAndArchiveLogFile(info->filePath());
    }
    didRollLogFile();
}

LDLogFileInfoPtr LDFileLogger::detachCurrentLogFile() {
    writeBufferedLines();
    LDLogFileInfoPtr info = currentLogFileInfo_;
    if (fd_ >= 0)
        rollLogFileNow();
    currentLogFileInfo_.reset();
    if (!info) {
        auto sorted = logFileManager_->sortedLogFileInfos();
        if (!sorted.empty())
            info = sorted.front();
    }
    return info;
}

void LDFileLogger::rollLogFileWithCompletionBlock(Block completion) {
    auto roll = [self = sharedFileLogger(), completion = std::move(completion)] {
        self->rollLogFileNow();
        if (completion)
            DispatchQueue::global()->async(completion);
    };
    if (isOnInternalLoggerQueue()) {
        roll();
        return;
    }
    LDLog::loggingQueue()->async(
        [queue = loggerQueue(), roll = std::move(roll)] { queue->async(roll); });
}

void LDFileLogger::maybeRollLogFileDueToAge() {
    double frequency = rollingFrequency_;
    if (frequency > 0 && currentLogFileInfo_ && currentLogFileInfo_->age() >= frequency) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void LDFileLogger::maybeRollLogFileDueToSize() {
    std::uint64_t limit = maximumFileSize_;
    // Lines held back to be written together count as well: a burst rolls the file as it would
    // line by line.
    if (limit > 0 && (fd_ >= 0 || !buffer_.empty()) && position_ >= limit)
        rollLogFileNow();
}

void LDFileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) {
        rollingTimer_->cancel();
        rollingTimer_.reset();
    }
    double frequency = rollingFrequency_;
    if (!currentLogFileInfo_ || frequency <= 0)
        return;
    auto created = currentLogFileInfo_->creationDate();
    if (!created)
        return;
    double remaining = frequency - currentLogFileInfo_->age();
    auto delay = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(0.0, remaining)));
    rollingTimer_ = DispatchSource::timer(loggerQueue());
    std::weak_ptr<LDFileLogger> weak = sharedFileLogger();
    rollingTimer_->setEventHandler([weak] {
        if (auto self = weak.lock())
            self->maybeRollLogFileDueToAge();
    });
    rollingTimer_->setTimer(delay, std::nullopt, std::chrono::seconds(1));
    rollingTimer_->resume();
}

}  // namespace quarra
