#pragma once
// The request engine's memory of its background uploads and downloads: one record per transfer,
// keyed by the background session's task identifier, kept in user defaults until the transfer's
// result has been delivered. A result that arrives after a relaunch is matched through it to the
// file, the destination and the user of its transfer, and each result is delivered once: a
// delivery first claims the record, and a claimed record is not handed out again.
//
// Each map is written whole to user defaults after every change; an empty map removes its key.
// Every member is safe to call from any thread.
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "platform/UserDefaults.h"

namespace quarra {

inline constexpr const char* TVKUploadInfoMultipartPathKey =
    "com.tovik.upload.info.multipartpath.key";
inline constexpr const char* TVKUploadInfoUsernameKey = "com.tovik.upload.info.username.key";
inline constexpr const char* TVKUploadInfoFilePathKey = "com.tovik.upload.info.filepath.key";
inline constexpr const char* TVKDownloadInfoUsernameKey = "com.tovik.download.info.username.key";
inline constexpr const char* TVKDownloadInfoFilePathKey = "com.tovik.download.info.filepath.key";
inline constexpr const char* TVKDownloadInfoEncryptKey = "com.tovik.download.info.encrypt.key";
inline constexpr const char* TVKDownloadInfoTempFilePathKey =
    "com.tovik.download.info.tempfilepath.key";

struct TVKPendingUpload {
    std::string multipartPath;  // the temporary multipart body
    std::string filePath;       // the file that was uploaded
    std::string username;
};

struct TVKPendingDownload {
    std::string filePath;  // the caller's destination
    bool encrypt = false;
    std::string username;
    std::string tempFilePath;  // where the finished download lies; empty before
};

class TVKPendingTransfers {
  public:
    // Records under "<frameworkId>.upload_task_info_key" and
    // "<frameworkId>.download_task_info_key".
    TVKPendingTransfers(const std::string& frameworkId, UserDefaults& defaults);
    TVKPendingTransfers(const TVKPendingTransfers&) = delete;
    TVKPendingTransfers& operator=(const TVKPendingTransfers&) = delete;

    // Load the maps written by this or an earlier process (records of another shape are skipped).
    void initPendingUploads();
    void initPendingDownloads();

    const std::string& userDefaultsUploadTaskInfoKey() const { return uploadKey_; }
    const std::string& userDefaultsDownloadTaskInfoKey() const { return downloadKey_; }

    // Put a record under `taskId` (replacing one an earlier process left there) and save.
    void addPendingUpload(std::uint64_t taskId, const std::string& multipartPath,
                          const std::string& filePath, const std::string& username);
    void addPendingDownload(std::uint64_t taskId, const std::string& filePath, bool encrypt,
                            const std::string& username);

    // Delete the record's file (body file, temporary download) and drop the record. A file that is
    // already gone counts as deleted. When it cannot be deleted the record stays (and stays
    // claimed) and the error is returned.
    [[nodiscard]] ErrorPtr removePendingUpload(std::uint64_t taskId);
    [[nodiscard]] ErrorPtr removePendingDownload(std::uint64_t taskId);

    // Where the finished download of `taskId` lies (none clears it); saved at once, so a crash
    // before delivery leaves no file that no record names. Nothing when there is no record.
    void setTempFilePath(const std::optional<std::string>& path, std::uint64_t taskId);

    std::optional<TVKPendingUpload> pendingUpload(std::uint64_t taskId) const;
    std::optional<TVKPendingDownload> pendingDownload(std::uint64_t taskId) const;
    std::optional<std::string> multipartPathForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> usernameForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> filePathForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> filePathForPendingDownload(std::uint64_t taskId) const;
    std::optional<std::string> usernameForPendingDownload(std::uint64_t taskId) const;
    std::optional<std::string> tempFilePathForPendingDownload(std::uint64_t taskId) const;
    // False when there is no record.
    bool encryptForPendingDownload(std::uint64_t taskId) const;

    // The record, claimed for one delivery; nothing when there is none or it is claimed already.
    std::optional<TVKPendingUpload> claimPendingUpload(std::uint64_t taskId);
    std::optional<TVKPendingDownload> claimPendingDownload(std::uint64_t taskId);

    // Downloads an earlier process had finished (their record named a temporary file when it was
    // loaded) but not delivered; each id is handed out once.
    std::vector<std::uint64_t> takeDownloadsFinishedEarlier();

    // Write a map to user defaults and synchronise them.
    [[nodiscard]] ErrorPtr savePendingUploads();
    [[nodiscard]] ErrorPtr savePendingDownloads();

  private:
    // REQUIRES: mutex_ held.
    [[nodiscard]] ErrorPtr saveLocked(const std::string& key, const Json& map);
    [[nodiscard]] ErrorPtr removeRecord(Json& map, std::set<std::uint64_t>& claimed,
                                        const std::string& key, std::uint64_t taskId,
                                        const char* fileKey, const char* what);
    const Json* record(const Json& map, std::uint64_t taskId) const;

    UserDefaults& defaults_;
    const std::string uploadKey_;
    const std::string downloadKey_;

    mutable std::mutex mutex_;
    Json uploads_ = Json::object();
    Json downloads_ = Json::object();
    std::set<std::uint64_t> claimedUploads_;
    std::set<std::uint64_t> claimedDownloads_;
    std::vector<std::uint64_t> finishedEarlier_;
};

}  // namespace quarra
