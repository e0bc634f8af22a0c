#pragma once
// The SDK's only logger: every message becomes a redacted line in one log file in the SDK's log
// folder, a file that rolls only when an upload begins. An upload moves the log file aside as
// "upload.log", reads it back in entries and posts them in batches to the current Quarra's
// "client/log", keeping in "offset" (8 bytes, native order) how far the server has taken them, so
// an interrupted upload resumes there, also in a later process.
//
// Only a batch the server accepted counts as delivered: any other outcome keeps it for the next
// upload. A batch the server finds too large is sent again in halves; a single entry it still
// refuses is skipped. Lines written while an upload runs go to the next one; none is sent twice.
//
// startUploadProcess() and logDataWithCompletionHandler() may be called from any thread and return
// at once.
#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "log/LDFileLogger.h"
#include "log/TVKLogEntry.h"
#include "quarra/Bytes.h"
#include "quarra/NotificationCenter.h"

namespace quarra {

class TVKFileLogger : public LDFileLogger {
  public:
    static constexpr std::uint64_t DefaultBatchSize = 1000;
    // The server's message for a request body above its limit.
    static constexpr const char* PayloadLimitMessage = "payload length exceeds 2MB limit";

    // Files in the configuration manager's log folder.
    TVKFileLogger();
    explicit TVKFileLogger(LDLogFileManagerPtr logFileManager);
    ~TVKFileLogger() override;

    // Moves what the default log folder holds into `directory`; failures are ignored.
    static void moveLogsFromLegacyDirToDir(const std::filesystem::path& directory);

    // Starts an upload when none runs and a user is signed in; otherwise does nothing.
    void startUploadProcess();
    // `handler` gets the current log file's bytes, none when there is no log file, on a global
    // queue (so it may log, or ask again, without waiting on the logger).
    void logDataWithCompletionHandler(std::function<void(std::optional<Bytes>)> handler);

    bool isUploading() const { return uploading_; }
    void setUploading(bool uploading) { uploading_ = uploading; }
    std::uint64_t batchSize() const { return batchSize_; }
    void setBatchSize(std::uint64_t size) { batchSize_ = size == 0 ? 1 : size; }

    std::filesystem::path uploadFilePath() const;
    std::filesystem::path offsetFilePath() const;
    // 0 without an "offset" file; missing bytes of a short file count as zero.
    std::uint64_t readFileOffset() const;
    // False when the file could not be written.
    bool saveFileOffset(std::uint64_t offset) const;

    // Entries of the upload file from its position: at most `limit` valid ones; `bytesRead` is how
    // far they reach (a line that starts one entry too many is left for the next batch). None at
    // the end of the file. REQUIRES: the upload file is open.
    std::optional<std::vector<TVKLogEntry>> readLogEntries(std::uint64_t limit,
                                                           std::uint64_t* bytesRead);

  private:
    void uploadNextBatch();
    void batchStep();
    void openUploadFile();
    void rollAndMoveLogFileToUploadFilePath();
    void doUploadNextBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes);
    void handleBatchResult(const ErrorPtr& error, std::uint64_t numBytes);
    void deleteLogEntriesWithTotalBytes(std::uint64_t bytes);
    void finalizeBatchUpload();
    bool isUploadFileEOF();
    void closeUploadFile();
    void closeAndRemoveUploadFile();
    // The end of an upload, however it ended.
    void endUpload(bool removeFiles);
    std::shared_ptr<TVKFileLogger> self() {
        return std::static_pointer_cast<TVKFileLogger>(shared_from_this());
    }

    const std::filesystem::path directory_;
    std::atomic<bool> uploading_{false};
    std::atomic<std::uint64_t> batchSize_{DefaultBatchSize};
    // Touched by one upload step at a time: the steps hand over to each other.
    std::FILE* uploadFile_ = nullptr;
    std::uint64_t fileOffset_ = 0;
    ObserverToken foregroundObserver_ = 0;
};

}  // namespace quarra
