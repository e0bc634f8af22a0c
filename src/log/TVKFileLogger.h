#pragma once
// The SDK's only logger: every message becomes a redacted line in the log files of the SDK's log
// folder. The live file rolls by size and by age; the folder as a whole is held under a limit, the
// oldest file going first. An upload moves the oldest log file aside as "upload.log" (the live one
// last), reads it back line by line and posts the entries in batches to the current Quarra's
// "client/log", keeping in "offset" how far the server has taken them, so an interrupted upload
// resumes there, also in a later process.
//
// Lines belong to the account that was signed in when they were written: an upload sends only the
// entries of the signed-in user on the current Quarra, and drops the others (another user's, or
// those written while nobody was signed in) when they come up. They are never sent under another
// account's session or to another server.
//
// Each log file begins with LogFileHeader, which says its lines are in this release's form (one
// escaped line per entry). A file without it was written by the previous release and is read as
// that release wrote it; such a file is never continued.
//
// Only a batch the server accepted counts as delivered. A transport failure keeps the batch for the
// next upload; a batch the server refuses is tried again, at most MaximumRefusals times in all
// (also across processes), and then skipped, and the skip is logged. A batch the server finds too
// large, or one that cannot be made into a request, is sent again in halves; a single entry that
// still cannot go is skipped alone.
//
// startUploadProcess() and logDataWithCompletionHandler() may be called from any thread and return
// at once.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "log/LDFileLogger.h"
#include "log/TVKLogEntry.h"
#include <string_view>
#include "quarra/Bytes.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

class TVKFileLogger : public LDFileLogger {
  public:
    static constexpr std::uint64_t DefaultBatchSize = 1000;
    // The server's message for a request body above its limit.
    static constexpr const char* PayloadLimitMessage = "payload length exceeds 2MB limit";
    // The live file rolls at this size or age whatever the upload does.
    static constexpr std::uint64_t MaximumLogFileSize = 1024 * 1024;
    static constexpr double MaximumLogFileAge = 24 * 60 * 60;
    // The log files and the upload file together; the oldest goes first above it.
    static constexpr std::uint64_t DefaultLogFolderLimit = 8 * 1024 * 1024;
    // The first line of every log file this release writes.
    static constexpr std::string_view LogFileHeader = "# Quarra log: one escaped line per entry\n";
    // Answers of the server refusing one batch before the batch is skipped.
    static constexpr std::uint64_t MaximumRefusals = 3;

    // Files in the configuration manager's log folder.
    TVKFileLogger();
    explicit TVKFileLogger(LDLogFileManagerPtr logFileManager);
    ~TVKFileLogger() override;

    // Moves what the default log folder holds into `directory`; failures are ignored.
    static void moveLogsFromLegacyDirToDir(const std::filesystem::path& directory);

    // Starts an upload when none runs and a user is signed in; otherwise does nothing.
    void startUploadProcess();
    // The trigger that follows a request: starts an upload only when lines were written since the
    // last upload that delivered everything, and not while the last failed one is backing off.
    void startUploadProcessAfterRequest();
    // `handler` gets the current log file's bytes, none when there is no log file, on a global
    // queue (so it may log, or ask again, without waiting on the logger).
    void logDataWithCompletionHandler(std::function<void(std::optional<Bytes>)> handler);

    bool isUploading() const { return uploading_; }
    void setUploading(bool uploading) { uploading_ = uploading; }
    std::uint64_t batchSize() const { return batchSize_; }
    void setBatchSize(std::uint64_t size) { batchSize_ = size == 0 ? 1 : size; }
    std::uint64_t logFolderLimit() const { return logFolderLimit_; }
    // Applies from the next roll of the live file.
    void setLogFolderLimit(std::uint64_t bytes) { logFolderLimit_ = bytes; }
    // Entries not sent because they belong to another account or were refused for good.
    std::uint64_t droppedEntries() const { return droppedEntries_; }

    std::filesystem::path uploadFilePath() const;
    std::filesystem::path offsetFilePath() const;
    // 0 without an "offset" file; missing bytes of a short file count as zero.
    std::uint64_t readFileOffset() const;
    // False when the file could not be written. `refusals` counts the server's refusals of the
    // batch that starts at `offset`.
    bool saveFileOffset(std::uint64_t offset, std::uint64_t refusals = 0) const;
    std::uint64_t readRefusals() const;

    // Entries of the upload file from its position, one per line: at most `limit` valid ones;
    // `bytesRead` is how far they reach. Lines that are no entry are passed over. None at the end
    // of the file. REQUIRES: the upload file is open.
    std::optional<std::vector<TVKLogEntry>> readLogEntries(std::uint64_t limit,
                                                           std::uint64_t* bytesRead);

    void didAddLoggerInQueue(const DispatchQueuePtr& queue) override;
    void didLogMessage() override;
    // A file in another form is not continued: its lines would be read in the wrong form.
    bool shouldArchiveRecentLogFileInfo(LDLogFileInfo& info) override;

  protected:
    std::string_view fileHeader() const override { return LogFileHeader; }
    void didRollLogFile() override;

  private:
    void uploadNextBatch();
    void batchStep();
    void openUploadFile();
    void moveOldestLogFileToUploadFilePath();
    void doUploadNextBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes);
    void postBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes);
    void handleBatchResult(const ErrorPtr& error, std::uint64_t numBytes);
    bool deleteLogEntriesWithTotalBytes(std::uint64_t bytes);
    void finalizeBatchUpload();
    bool isUploadFileEOF();
    void closeUploadFile();
    void closeAndRemoveUploadFile();
    // The end of an upload, however it ended: `delivered` when everything up to the live file's
    // roll was taken (or dropped) for good, else the upload backs off before a request may start
    // the next.
    void endUpload(bool delivered);
    void enforceFolderLimit();
    std::shared_ptr<TVKFileLogger> self() {
        return std::static_pointer_cast<TVKFileLogger>(shared_from_this());
    }

    const std::filesystem::path directory_;
    std::atomic<bool> uploading_{false};
    std::atomic<std::uint64_t> batchSize_{DefaultBatchSize};
    std::atomic<std::uint64_t> logFolderLimit_{DefaultLogFolderLimit};
    std::atomic<std::uint64_t> droppedEntries_{0};
    // Lines written, and how many of them an upload has taken for good. Lines left by an earlier
    // process count as one, so the first request after start sends them.
    std::atomic<std::uint64_t> linesWritten_{1};
    std::atomic<std::uint64_t> linesTaken_{0};
    // Failed uploads in a row, and when a request may start the next.
    std::atomic<unsigned> failures_{0};
    std::atomic<std::int64_t> retryAfter_{0};  // steady clock, nanoseconds
    // Touched by one upload step at a time: the steps hand over to each other.
    std::FILE* uploadFile_ = nullptr;
    TVKLogEntry::Form uploadForm_ = TVKLogEntry::Form::Escaped;
    std::uint64_t fileOffset_ = 0;
    std::uint64_t refusals_ = 0;
    bool offsetUnsaved_ = false;  // fileOffset_ is ahead of the "offset" file
    bool liveFileTaken_ = false;  // this upload has rolled the live file already
    std::uint64_t linesAtRoll_ = 0;
    ObserverToken foregroundObserver_ = 0;  // set on the logger's queue
};

}  // namespace quarra
