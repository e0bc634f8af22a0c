#include "log/TVKFileLogger.h"

#include <cstring>
#include <fstream>

#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "log/LDLog.h"
#include "log/LDLogFileManagerDefault.h"
#include "log/TVKLogFileFormatter.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Diagnostics.h"
#include "platform/Files.h"
#include "platform/URLError.h"
#include "platform/Utf8.h"
#include "quarra/Application.h"
#include "quarra/TVKErrors.h"

namespace quarra {
namespace {

constexpr size_t kTimestampLength = 23;  // "yyyy/MM/dd HH:mm:ss:SSS"

// A line that holds an entry begins with "dddd/dd/dd dd:dd:dd:ddd".
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

std::shared_ptr<LDLogFileManagerDefault> folderLogFileManager(const std::filesystem::path& folder) {
    auto manager = std::make_shared<LDLogFileManagerDefault>(folder);
    // The logger holds the folder under its own limit, the upload file included.
    manager->setMaximumNumberOfLogFiles(0);
    manager->setLogFilesDiskQuota(0);
    return manager;
}

// Whether the batch could not be made into a request: nothing was sent.
bool isUnsendable(const Error& error) {
    return error.domain() == HTURLRequestSerializationErrorDomain;
}

// Whether the server answered with a refusal: a failure to reach it is none, and neither is a
// batch that was never sent.
bool isRefusal(const Error& error) {
    return error.domain() != URLErrorDomain && error.domain() != TVKNetworkErrorDomain &&
           !isUnsendable(error);
}

// Whether the file at `path` begins with this release's header.
bool hasLogFileHeader(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string start(TVKFileLogger::LogFileHeader.size(), '\0');
    return in.read(start.data(), static_cast<std::streamsize>(start.size())) &&
           start == TVKFileLogger::LogFileHeader;
}

std::int64_t steadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TVKFileLogger::TVKFileLogger()
    : TVKFileLogger([] {
          std::filesystem::path folder =
              TVKQuarraConfigurationManager::sharedInstance().logDirectory();
          moveLogsFromLegacyDirToDir(folder);
          return folderLogFileManager(folder);
      }()) {}

TVKFileLogger::TVKFileLogger(LDLogFileManagerPtr logFileManager)
    : LDFileLogger(std::move(logFileManager)), directory_(this->logFileManager()->logsDirectory()) {
    logFormatter_ = std::make_shared<TVKLogFileFormatter>();
    setMaximumFileSize(MaximumLogFileSize);
    setRollingFrequency(MaximumLogFileAge);
    setDoNotReuseLogFiles(false);
}

TVKFileLogger::~TVKFileLogger() {
    if (foregroundObserver_)
        NotificationCenter::defaultCenter().removeObserver(foregroundObserver_);
    if (uploadFile_)
        std::fclose(uploadFile_);
}

void TVKFileLogger::didAddLoggerInQueue(const DispatchQueuePtr& queue) {
    LDFileLogger::didAddLoggerInQueue(queue);
    if (foregroundObserver_)
        return;
    // The observer holds the logger weakly: a logger that is gone is not woken.
    std::weak_ptr<TVKFileLogger> weak = self();
    foregroundObserver_ = NotificationCenter::defaultCenter().addObserver(
        ApplicationWillEnterForegroundNotification, [weak](const Notification&) {
            if (auto logger = weak.lock())
                logger->startUploadProcess();
        });
}

void TVKFileLogger::didLogMessage() {
    linesWritten_.fetch_add(1, std::memory_order_relaxed);
    LDFileLogger::didLogMessage();
}

bool TVKFileLogger::shouldArchiveRecentLogFileInfo(LDLogFileInfo& info) {
    return info.fileSize() > 0 && !hasLogFileHeader(info.filePath());
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

namespace {

// The "offset" file: the offset, then the refusals of the batch there, 8 bytes each in native
// order; a file of 8 bytes (an earlier version's) has no refusals.
std::uint64_t readOffsetWord(const std::filesystem::path& path, size_t index) {
    auto bytes = files::read(path);
    if (!bytes || bytes->size() <= index * 8)
        return 0;
    unsigned char raw[8] = {};
    std::memcpy(raw, bytes->data() + index * 8, std::min<size_t>(bytes->size() - index * 8, 8));
    std::uint64_t value;
    std::memcpy(&value, raw, sizeof value);
    return value;
}

}  // namespace

std::uint64_t TVKFileLogger::readFileOffset() const {
    return readOffsetWord(offsetFilePath(), 0);
}

std::uint64_t TVKFileLogger::readRefusals() const {
    return readOffsetWord(offsetFilePath(), 1);
}

bool TVKFileLogger::saveFileOffset(std::uint64_t offset, std::uint64_t refusals) const {
    char raw[2 * sizeof offset];
    std::memcpy(raw, &offset, sizeof offset);
    std::memcpy(raw + sizeof offset, &refusals, sizeof refusals);
    return files::writeAtomically(offsetFilePath(), std::string_view(raw, sizeof raw), 0600) ==
           nullptr;
}

void TVKFileLogger::startUploadProcess() {
    if (!TVKQuarraAuthManager::sharedInstance().currentUser())
        return;
    if (uploading_.exchange(true))
        return;
    liveFileTaken_ = false;
    uploadNextBatch();
}

void TVKFileLogger::startUploadProcessAfterRequest() {
    if (uploading_.load(std::memory_order_relaxed) ||
        linesWritten_.load(std::memory_order_relaxed) ==
            linesTaken_.load(std::memory_order_relaxed) ||
        steadyNow() < retryAfter_.load(std::memory_order_relaxed))
        return;
    startUploadProcess();
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
        // Nothing more in this file; the next one (the live file last) follows.
        closeAndRemoveUploadFile();
        if (liveFileTaken_)
            endUpload(true);
        else
            uploadNextBatch();
        return;
    }
    doUploadNextBatch(std::move(*entries), bytes);
}

void TVKFileLogger::openUploadFile() {
    if (uploadFile_)
        return;
    std::error_code error;
    if (!std::filesystem::exists(uploadFilePath(), error)) {
        moveOldestLogFileToUploadFilePath();
        return;
    }
    // Left by an upload that did not finish: it goes on from the saved offset.
    uploadFile_ = std::fopen(uploadFilePath().c_str(), "rbe");
    if (!uploadFile_) {
        endUpload(false);
        return;
    }
    if (offsetUnsaved_) {
        // The offset of this process is ahead of the file's: it is saved now or the upload waits,
        // so that a later process does not send the delivered entries again.
        if (!saveFileOffset(fileOffset_, refusals_)) {
            endUpload(false);
            return;
        }
        offsetUnsaved_ = false;
    } else {
        fileOffset_ = readFileOffset();
        refusals_ = readRefusals();
    }
    uploadForm_ = hasLogFileHeader(uploadFilePath()) ? TVKLogEntry::Form::Escaped
                                                      : TVKLogEntry::Form::Raw;
    if (fseeko(uploadFile_, static_cast<off_t>(fileOffset_), SEEK_SET) != 0)
        endUpload(false);
}

void TVKFileLogger::moveOldestLogFileToUploadFilePath() {
    auto sorted = logFileManager()->sortedLogFileInfos();
    LDLogFileInfoPtr oldest = sorted.empty() ? nullptr : sorted.back();
    LDLogFileInfoPtr current = sorted.empty() ? nullptr : sorted.front();
    if (!oldest || (oldest == current && !oldest->isArchived())) {
        if (liveFileTaken_) {
            endUpload(true);
            return;
        }
        // The live file is closed off and renamed in one step on the logger's queue: no line can
        // come between, every line before is in it, every line after goes to a new file.
        linesAtRoll_ = linesWritten_;
        liveFileTaken_ = true;
        oldest = detachCurrentLogFile();
    }
    std::error_code error;
    if (!oldest || !std::filesystem::exists(oldest->filePath(), error)) {
        endUpload(true);
        return;
    }
    std::filesystem::rename(oldest->filePath(), uploadFilePath(), error);
    if (error) {
        endUpload(false);
        return;
    }
    std::filesystem::remove(offsetFilePath(), error);
    fileOffset_ = 0;
    refusals_ = 0;
    offsetUnsaved_ = false;
    uploadNextBatch();
}

std::optional<std::vector<TVKLogEntry>> TVKFileLogger::readLogEntries(std::uint64_t limit,
                                                                      std::uint64_t* bytesRead) {
    const TVKLogEntry::Form form = uploadForm_;
    std::uint64_t consumed = 0;
    std::vector<TVKLogEntry> entries;
    // The previous release's entry being gathered: its first line and the lines that follow.
    std::string gathered;
    auto takeGathered = [&] {
        if (gathered.empty())
            return;
        // The log holds UTF-8; a damaged byte must not stop the upload, so it is replaced.
        TVKLogEntry entry(repairedUtf8(gathered), form);
        if (entry.isValid())
            entries.push_back(std::move(entry));
        gathered.clear();
    };
    char* buffer = nullptr;
    size_t capacity = 0;
    while (entries.size() < limit) {
        ssize_t length = getline(&buffer, &capacity, uploadFile_);
        if (length <= 0) {
            takeGathered();
            break;
        }
        std::string_view raw(buffer, static_cast<size_t>(length));
        const bool starts = startsWithTimestamp(raw);
        if (form == TVKLogEntry::Form::Escaped) {
            // One line is one entry: the formatter escapes line breaks inside a message. A line
            // that is no entry (the header, a damaged file) is passed over.
            consumed += static_cast<std::uint64_t>(length);
            if (starts) {
                gathered.assign(raw);
                takeGathered();
            }
            continue;
        }
        // The previous release's form: an entry ends where the next one starts, which is only
        // known once that line is read. The batch ends before it when it is full.
        if (starts) {
            takeGathered();
            if (entries.size() == limit) {
                if (fseeko(uploadFile_, -static_cast<off_t>(length), SEEK_CUR) != 0)
                    consumed += static_cast<std::uint64_t>(length);
                break;
            }
            gathered.assign(raw);
        } else if (!gathered.empty()) {
            gathered.append(raw);
        }
        consumed += static_cast<std::uint64_t>(length);
    }
    std::free(buffer);
    if (bytesRead)
        *bytesRead = consumed;
    if (entries.empty())
        return std::nullopt;
    return entries;
}

void TVKFileLogger::doUploadNextBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes) {
    TVKQuarraAuthManager::sharedInstance().isRemotelyAuthenticatedWithHandler(
        [self = self(), entries = std::move(entries), numBytes](
            bool authenticated, const TVKUserInternalPtr&, const ErrorPtr& error) mutable {
            auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
            if (!authenticated || error || !user || !user->currentQuarra()) {
                self->loggerQueue()->async([self] { self->endUpload(false); });
                return;
            }
            // The user of the session and the Quarra the entries go to: only their own entries
            // travel. Lines name the user by id once it is known, by name before.
            std::string quarraId = std::to_string(user->currentQuarra()->Id());
            std::string byName = TVKLogFileFormatter::redactSecuredFieldsFromFormattedMessage(
                TVKQuarraLoggerInternal::usernameField(user->username()));
            std::string byId = user->userId() != 0 ? std::to_string(user->userId()) : byName;
            std::vector<TVKLogEntry> own;
            own.reserve(entries.size());
            for (auto& entry : entries) {
                const Json& fields = *entry.clientFields();
                const Json& username = fields["username"];
                const bool thisUser = username == byId || username == byName;
                // A line written while nobody was signed in (no Quarra, no session) belongs to no
                // account: it goes with the next user's upload. One of a session without a Quarra
                // belongs to that session's user.
                const bool noAccount = fields["quarra_id"] == "0" && fields["session_id"] == "(null)";
                if ((fields["quarra_id"] == quarraId && thisUser) ||
                    (fields["quarra_id"] == "0" && (noAccount || thisUser)))
                    own.push_back(std::move(entry));
            }
            if (size_t foreign = entries.size() - own.size()) {
                self->droppedEntries_ += foreign;
                TVK_LOG_INFO("Dropped " + std::to_string(foreign) +
                             " log entries of another account from the upload");
            }
            self->postBatch(std::move(own), numBytes);
        });
}

void TVKFileLogger::postBatch(std::vector<TVKLogEntry> entries, std::uint64_t numBytes) {
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (entries.empty() || !user) {
        loggerQueue()->async(
            [self = self(), numBytes] { self->handleBatchResult(nullptr, numBytes); });
        return;
    }
    Json records = Json::array();
    for (auto& entry : entries) {
        if (auto record = entry.serverFields())
            records.push_back(std::move(*record));
    }
    TVKQuarraManager::sharedInstance().requestQuarraEndpointInternal(
        "client/log", user->currentQuarra(), TVKQuarraRequestMethodPOST, records,
        TVKQuarraParameterEncodingJSON,
        [self = self(), numBytes](const Json&, const ErrorPtr& error) {
            self->loggerQueue()->async(
                [self, error, numBytes] { self->handleBatchResult(error, numBytes); });
        });
}

void TVKFileLogger::handleBatchResult(const ErrorPtr& error, std::uint64_t numBytes) {
    if (!error) {
        if (deleteLogEntriesWithTotalBytes(numBytes))
            finalizeBatchUpload();
        return;
    }
    const Json& info = error->userInfo();
    auto message = info.find(TVKQuarraServerErrorMessageKey);
    // An entry the request cannot carry is found by halving the batch, like one too large.
    bool tooLarge = isUnsendable(*error) ||
                    (error->code() == TVKQuarraOperationNotAllowedErrorCode &&
                     message != info.end() && message->is_string() &&
                     message->get<std::string>() == PayloadLimitMessage);
    if (!tooLarge) {
        if (!isRefusal(*error)) {
            // Not delivered (no network): the batch waits for the next upload.
            endUpload(false);
            return;
        }
        refusals_ += 1;
        if (refusals_ < MaximumRefusals) {
            // Counted across processes: a batch refused in every run is skipped all the same.
            if (saveFileOffset(fileOffset_, refusals_))
                offsetUnsaved_ = false;
            else
                offsetUnsaved_ = true;
            endUpload(false);
            return;
        }
        std::uint64_t skipped = batchSize_;
        TVK_LOG_WARNING("Skipped a batch of up to " + std::to_string(skipped) +
                        " log entries the server refused " + std::to_string(refusals_) +
                        " times: " + error->description());
        droppedEntries_ += 1;
        if (deleteLogEntriesWithTotalBytes(numBytes))
            finalizeBatchUpload();
        return;
    }
    std::uint64_t size = batchSize_;
    if (size > 1) {
        batchSize_ = size / 2;
        if (fseeko(uploadFile_, static_cast<off_t>(fileOffset_), SEEK_SET) != 0) {
            endUpload(false);
            return;
        }
        finalizeBatchUpload();
        return;
    }
    // One entry alone is over the limit or cannot be sent: it can never be delivered.
    batchSize_ = DefaultBatchSize;
    droppedEntries_ += 1;
    if (deleteLogEntriesWithTotalBytes(numBytes))
        finalizeBatchUpload();
}

bool TVKFileLogger::deleteLogEntriesWithTotalBytes(std::uint64_t bytes) {
    fileOffset_ += bytes;
    refusals_ = 0;
    if (saveFileOffset(fileOffset_, 0)) {
        offsetUnsaved_ = false;
        return true;
    }
    // Going on would let a later process send these entries again: the upload stops here and the
    // next one saves the offset before it sends anything.
    offsetUnsaved_ = true;
    TVK_LOG_ERROR("The log upload stopped: its offset could not be saved");
    endUpload(false);
    return false;
}

void TVKFileLogger::finalizeBatchUpload() {
    if (isUploadFileEOF()) {
        closeAndRemoveUploadFile();
        if (liveFileTaken_) {
            endUpload(true);
            return;
        }
    }
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
    offsetUnsaved_ = false;
}

void TVKFileLogger::endUpload(bool delivered) {
    closeUploadFile();
    if (delivered) {
        linesTaken_ = linesAtRoll_;
        failures_ = 0;
        retryAfter_ = 0;
    } else {
        // 30 s after the first failure, doubling up to an hour.
        unsigned failures = std::min(failures_.fetch_add(1) + 1, 8u);
        auto wait = std::min<std::int64_t>(std::int64_t{30} << (failures - 1), 3600);
        retryAfter_ = steadyNow() + wait * 1'000'000'000;
    }
    uploading_ = false;
}

void TVKFileLogger::didRollLogFile() {
    enforceFolderLimit();
}

void TVKFileLogger::enforceFolderLimit() {
    std::uint64_t limit = logFolderLimit_;
    if (limit == 0)
        return;
    struct File {
        std::filesystem::path path;
        std::uint64_t size;
    };
    // Oldest first: the upload file, then the log files by age. Every file counts; the upload file
    // is not removed while an upload reads it, the others go first then.
    std::vector<File> files;
    std::error_code error;
    const bool uploadFileInUse = uploading_;
    if (std::filesystem::exists(uploadFilePath(), error))
        files.push_back({uploadFilePath(), std::filesystem::file_size(uploadFilePath(), error)});
    auto sorted = logFileManager()->sortedLogFileInfos();
    for (auto it = sorted.rbegin(); it != sorted.rend(); ++it)
        files.push_back({(*it)->filePath(), (*it)->fileSize()});
    std::uint64_t total = 0;
    for (const auto& file : files)
        total += file.size;
    // The newest file is the one being written: it stays.
    for (size_t i = 0; i + 1 < files.size() && total > limit; ++i) {
        const bool isUploadFile = files[i].path == uploadFilePath();
        if (isUploadFile && uploadFileInUse)
            continue;
        if (std::filesystem::remove(files[i].path, error)) {
            total -= files[i].size;
            if (isUploadFile)
                std::filesystem::remove(offsetFilePath(), error);
        }
    }
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
                if (auto text = files::read(sorted.front()->filePath())) {
                    // The lines only: the header is for the log's own reader.
                    std::string_view lines = *text;
                    if (lines.starts_with(LogFileHeader))
                        lines.remove_prefix(LogFileHeader.size());
                    bytes = toBytes(lines);
                }
            }
            DispatchQueue::global()->async(
                [handler = std::move(handler), bytes = std::move(bytes)] { handler(bytes); });
        });
    });
}

}  // namespace quarra
