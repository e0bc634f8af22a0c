#include "log/TVKFileLogger.h"

#include <cstring>

#include "auth/TVKQuarraAuthManager.h"
#include "platform/Diagnostics.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "log/LDLog.h"
#include "log/LDLogFileManagerDefault.h"
#include "log/TVKLogFileFormatter.h"
#include "quarra/Application.h"
#include "platform/Files.h"
#include "sso/SSOUtf8.h"

namespace quarra {
namespace {

constexpr size_t kTimestampLength = 23;  // "yyyy/MM/dd HH:mm:ss:SSS"

// A line that starts a new entry begins with "dddd/dd/dd dd:dd:dd:ddd".
bool startsWithTimestamp(std::string_view line) {
    static constexpr std::string_view shape = "dddd/dd/dd dd:dd:dd:ddd";
    if (line.size() < kTimestampLength)
        return false;
    for (size_t i = 0; i < kTimestampLength; ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    return true;
}

std::shared_ptr<LDLogFileManagerDefault> singleFileManager(const std::filesystem::path& folder) {
    auto manager = std::make_shared<LDLogFileManagerDefault>(folder);
    // Creating a new log file deletes every older one.
    manager->setMaximumNumberOfLogFiles(1);
    return manager;
}

}  // namespace

TVKFileLogger::TVKFileLogger()
    : TVKFileLogger([] {
          std::filesystem::path folder =
              TVKQuarraConfigurationManager::sharedInstance().logDirectory();
          moveLogsFromLegacyDirToDir(folder);
          return singleFileManager(folder);
      }()) {}

TVKFileLogger::TVKFileLogger(LDLogFileManagerPtr logFileManager)
    : LDFileLogger(std::move(logFileManager)), directory_(this->logFileManager()->logsDirectory()) {
    logFormatter_ = std::make_shared<TVKLogFileFormatter>();
    // The file rolls only when an upload begins.
    setMaximumFileSize(0);
    setRollingFrequency(0);
    setDoNotReuseLogFiles(false);
    foregroundObserver_ = NotificationCenter::defaultCenter().addObserver(
        ApplicationWillEnterForegroundNotification,
        [this](const Notification&) { startUploadProcess(); });
}

TVKFileLogger::~TVKFileLogger() {
    NotificationCenter::defaultCenter().removeObserver(foregroundObserver_);
    if (uploadFile_)
        std::fclose(uploadFile_);
}

void TVKFileLogger::moveLogsFromLegacyDirToDir(const std::filesystem::path& directory) {
    std::filesystem::path legacy = LDLogFileManagerDefault::defaultLogsDirectory();
    std::error_code error;
    if (legacy == directory || !std::filesystem::is_directory(legacy, error))
        return;
    for (const auto& entry : std::filesystem::directory_iterator(legacy, error)) {
        std::filesystem::path target = directory / entry.path().filename();
        reportDiagnostic(DiagnosticLevel::Info,
                         "Moving existing log file from legacy location:" + entry.path().string() +
                             " to location:" + target.string());
        std::error_code ignored;
        std::filesystem::rename(entry.path(), target, ignored);
    }
}

std::filesystem::path TVKFileLogger::uploadFilePath() const {
    return directory_ / "upload.log";
}

std::filesystem::path TVKFileLogger::offsetFilePath() const {
    return directory_ / "offset";
}

std::uint64_t TVKFileLogger::readFileOffset() const {
    auto bytes = files::read(offsetFilePath());
    if (!bytes)
        return 0;
    unsigned char raw[8] = {};
    std::memcpy(raw, bytes->data(), std::min<size_t>(bytes->size(), sizeof raw));
    std::uint64_t offset;
    std::memcpy(&offset, raw, sizeof offset);
    return offset;
}

bool TVKFileLogger::saveFileOffset(std::uint64_t offset) const {
    char raw[sizeof offset];
    std::memcpy(raw, &offset, sizeof offset);
    return files::writeAtomically(offsetFilePath(), std::string_view(raw, sizeof raw), 0600) ==
           nullptr;
}

void TVKFileLogger::startUploadProcess() {
    if (!TVKQuarraAuthManager::sharedInstance().currentUser())
        return;
    if (uploading_.exchange(true))
        return;
    uploadNextBatch();
}

void TVKFileLogger::uploadNextBatch() {
    // Through the logging queue, so every line logged before now is in the file first.
    LDLog::loggingQueue()->async([self = self()] {
        self->loggerQueue()->async([self] { self->batchStep(); });
    });
}

void TVKFileLogger::batchStep() {
    openUploadFile();
    if (!uploadFile_)
        return;
    std::uint64_t bytes = 0;
    auto entries = readLogEntries(batchSize_, &bytes);
    if (!entries) {
        endUpload(true);
        return;
    }
    doUploadNextBatch(std::move(*entries), bytes);
}

void TVKFileLogger::openUploadFile() {
    if (uploadFile_)
        return;
    std::error_code error;
    if (!std::filesystem::exists(uploadFilePath(), error)) {
        rollAndMoveLogFileToUploadFilePath();
        return;
    }
    // Left by an upload that did not finish: it goes on from the saved offset.
    uploadFile_ = std::fopen(uploadFilePath().c_str(), "rbe");
    if (!uploadFile_) {
        endUpload(false);
        return;
    }
    fileOffset_ = readFileOffset();
    if (fseeko(uploadFile_, static_cast<off_t>(fileOffset_), SEEK_SET) != 0) {
        endUpload(false);
    }
}

void TVKFileLogger::rollAndMoveLogFileToUploadFilePath() {
    // The log file is closed off and renamed in one step on the logger's queue: no line can come
    // between, every line before is in it, every line after goes to a new file.
    LDLogFileInfoPtr info = detachCurrentLogFile();
    std::error_code error;
    if (!info || !std::filesystem::exists(info->filePath(), error)) {
        endUpload(false);
        return;
    }
    std::filesystem::rename(info->filePath(), uploadFilePath(), error);
    if (error) {
        endUpload(false);
        return;
    }
    std::filesystem::remove(offsetFilePath(), error);
    uploadNextBatch();
}

std::optional<std::vector<TVKLogEntry>> TVKFileLogger::readLogEntries(std::uint64_t limit,
                                                                      std::uint64_t* bytesRead) {
    std::uint64_t consumed = 0;
    std::optional<std::string> current;
    std::vector<TVKLogEntry> entries;
    char* buffer = nullptr;
    size_t capacity = 0;
    auto keep = [&](std::string text) {
        TVKLogEntry entry(std::move(text));
        if (entry.isValid())
            entries.push_back(std::move(entry));
    };
    for (;;) {
        ssize_t length = getline(&buffer, &capacity, uploadFile_);
        if (length <= 0)
            break;
        consumed += static_cast<std::uint64_t>(length);
        std::string_view raw(buffer, static_cast<size_t>(length));
        if (startsWithTimestamp(raw)) {
            if (current)
                keep(std::move(*current));
            current.reset();
            if (entries.size() >= limit) {
                // This line starts the next batch.
                consumed -= static_cast<std::uint64_t>(length);
                fseeko(uploadFile_, -static_cast<off_t>(length), SEEK_CUR);
                break;
            }
            // The log holds UTF-8; a damaged byte must not stop the upload, so it is replaced.
            current = repairedUtf8(raw);
        } else if (current) {
            *current += repairedUtf8(raw);
        }
    }
    std::free(buffer);
    if (current)
        keep(std::move(*current));
    if (bytesRead)
        *bytesRead = consumed;
    if (entries.empty())
        return std::nullopt;
    return entries;
}

void TVKFileLogger::doUploadNextBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes) {
    auto records = std::make_shared<Json>(Json::array());
    for (auto& entry : entries) {
        if (auto record = entry.serverFields())
            records->push_back(std::move(*record));
    }
    TVKQuarraAuthManager::sharedInstance().isRemotelyAuthenticatedWithHandler(
        [self = self(), records, numBytes](bool authenticated, const TVKUserInternalPtr&,
                                           const ErrorPtr& error) {
            auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
            if (!authenticated || error || !user || !user->currentQuarra()) {
                self->endUpload(false);
                return;
            }
            TVKQuarraManager::sharedInstance().requestQuarraEndpointInternal(
                "client/log", user->currentQuarra(), TVKQuarraRequestMethodPOST, *records,
                TVKQuarraParameterEncodingJSON,
                [self, numBytes](const Json&, const ErrorPtr& error) {
                    self->handleBatchResult(error, numBytes);
                });
        });
}

void TVKFileLogger::handleBatchResult(const ErrorPtr& error, std::uint64_t numBytes) {
    if (!error) {
        deleteLogEntriesWithTotalBytes(numBytes);
        finalizeBatchUpload();
        return;
    }
    const Json& info = error->userInfo();
    auto message = info.find(TVKQuarraServerErrorMessageKey);
    bool tooLarge = error->code() == TVKQuarraOperationNotAllowedErrorCode &&
                    message != info.end() && message->is_string() &&
                    message->get<std::string>() == PayloadLimitMessage;
    if (!tooLarge) {
        // Not delivered (no network, a server failure): the batch waits for the next upload.
        endUpload(false);
        return;
    }
    std::uint64_t size = batchSize_;
    if (size > 1) {
        batchSize_ = size / 2;
        if (fseeko(uploadFile_, static_cast<off_t>(fileOffset_), SEEK_SET) != 0) {
            endUpload(false);
            return;
        }
    } else {
        // One entry alone is over the limit: it can never be delivered.
        deleteLogEntriesWithTotalBytes(numBytes);
        batchSize_ = DefaultBatchSize;
    }
    finalizeBatchUpload();
}

void TVKFileLogger::deleteLogEntriesWithTotalBytes(std::uint64_t bytes) {
    fileOffset_ += bytes;
    saveFileOffset(fileOffset_);
}

void TVKFileLogger::finalizeBatchUpload() {
    if (isUploadFileEOF())
        endUpload(true);
    else
        uploadNextBatch();
}

bool TVKFileLogger::isUploadFileEOF() {
    if (!uploadFile_)
        return true;
    int c = std::fgetc(uploadFile_);
    if (c == EOF)
        return true;
    std::ungetc(c, uploadFile_);
    return false;
}

void TVKFileLogger::closeUploadFile() {
    if (uploadFile_) {
        std::fclose(uploadFile_);
        uploadFile_ = nullptr;
    }
}

void TVKFileLogger::closeAndRemoveUploadFile() {
    closeUploadFile();
    std::error_code ignored;
    std::filesystem::remove(uploadFilePath(), ignored);
    std::filesystem::remove(offsetFilePath(), ignored);
}

void TVKFileLogger::endUpload(bool removeFiles) {
    if (removeFiles)
        closeAndRemoveUploadFile();
    else
        closeUploadFile();
    uploading_ = false;
}

void TVKFileLogger::logDataWithCompletionHandler(
    std::function<void(std::optional<Bytes>)> handler) {
    if (!handler)
        return;
    LDLog::loggingQueue()->async([self = self(), handler = std::move(handler)]() mutable {
        self->loggerQueue()->async([self, handler = std::move(handler)]() mutable {
            self->writeBufferedLines();
            std::optional<Bytes> bytes;
            auto sorted = self->logFileManager()->sortedLogFileInfos();
            if (!sorted.empty() && !sorted.front()->isArchived()) {
                if (auto text = files::read(sorted.front()->filePath()))
                    bytes = toBytes(*text);
            }
            DispatchQueue::global()->async(
                [handler = std::move(handler), bytes = std::move(bytes)] { handler(bytes); });
        });
    });
}

}  // namespace quarra
