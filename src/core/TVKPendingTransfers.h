#pragma once
// The request engine's memory of its background uploads and downloads, kept in user defaults until
// the host has heard each result. A transfer is recorded when the host asks for it, before it signs
// in, writes a body or makes a task, and gets its task identifier once the background session took
// it. A result that arrives after a relaunch is matched through the record to the file, the
// destination and the user of its transfer. A delivery first claims the record, and a claimed
// record is not handed out again; the record goes only after the host's handler has returned, and
// the file it names goes after it. A crash in between delivers the result again at the next launch
// (with the same file and destination), never loses it.
//
// Each map is written whole to user defaults after every change; an empty map removes its key.
// Every member is safe to call from any thread.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "platform/UserDefaults.h"

namespace quarra {

inline constexpr const char* TVKUploadInfoMultipartPathKey =
    "com.tovik.upload.info.multipartpath.key";
inline constexpr const char* TVKUploadInfoUsernameKey = "com.tovik.upload.info.username.key";
inline constexpr const char* TVKUploadInfoFilePathKey = "com.tovik.upload.info.filepath.key";
inline constexpr const char* TVKUploadInfoTaskIdKey = "com.tovik.upload.info.taskid.key";
inline constexpr const char* TVKDownloadInfoUsernameKey = "com.tovik.download.info.username.key";
inline constexpr const char* TVKDownloadInfoFilePathKey = "com.tovik.download.info.filepath.key";
inline constexpr const char* TVKDownloadInfoEncryptKey = "com.tovik.download.info.encrypt.key";
inline constexpr const char* TVKDownloadInfoTempFilePathKey =
    "com.tovik.download.info.tempfilepath.key";
inline constexpr const char* TVKDownloadInfoTaskIdKey = "com.tovik.download.info.taskid.key";

// Where a transfer's delivery stands; a test stops the process at one to show that a crash there
// loses nothing. The hook is for tests only and runs on whichever thread reached the step.
void setTransferStepHook(std::function<void(std::string_view step)> hook);
void transferStep(std::string_view step);

struct TVKPendingUpload {
    std::string key;                      // the record's own
    std::optional<std::uint64_t> taskId;  // none before the background session took it
    std::string multipartPath;            // the temporary multipart body
    std::string filePath;                 // the file that was uploaded
    std::string username;
};

struct TVKPendingDownload {
    std::string key;
    std::optional<std::uint64_t> taskId;
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

    // Record a transfer the host asked for and save; the record's key. A record that cannot be
    // saved is dropped again and the save's error returned: a transfer a crash could lose is
    // never started.
    Result<std::string> addRequestedUpload(const std::string& multipartPath,
                                           const std::string& filePath,
                                           const std::string& username);
    Result<std::string> addRequestedDownload(const std::string& filePath, bool encrypt,
                                             const std::string& username);
    // The background session took the transfer under `taskId` (a download's earlier task, one
    // that ended with an invalid session, is replaced: its file goes). The save's error, when the
    // task could not be saved with the record: the task must then not run.
    [[nodiscard]] ErrorPtr setUploadTask(const std::string& key, std::uint64_t taskId,
                                         const std::string& username);
    [[nodiscard]] ErrorPtr setDownloadTask(const std::string& key, std::uint64_t taskId,
                                           const std::string& username);

    // The task of a download that will be sent again (its session was invalid) is no longer its
    // own: the record forgets it and its file.
    void releaseDownloadTask(std::uint64_t taskId);

    // Drop the record, save, and then delete its file (body file, temporary download); a file that
    // is already gone counts as deleted. A file that cannot be deleted is left to the sweep at the
    // next launch, and the error is returned. When the removal cannot be saved the file stays, as
    // the record on disk still names it (a later launch delivers the same result again): the
    // record stays, claimed, and the save's error is returned.
    [[nodiscard]] ErrorPtr removePendingUpload(const std::string& key);
    [[nodiscard]] ErrorPtr removePendingDownload(const std::string& key);

    // Where the finished download of `taskId` lies (none clears it); saved at once, so a crash
    // before delivery leaves no file that no record names. Nothing when there is no record.
    void setTempFilePath(const std::optional<std::string>& path, std::uint64_t taskId);

    // Whether the record of `key` is still kept.
    bool hasUpload(const std::string& key) const;
    bool hasDownload(const std::string& key) const;
    std::optional<TVKPendingUpload> pendingUpload(std::uint64_t taskId) const;
    std::optional<TVKPendingDownload> pendingDownload(std::uint64_t taskId) const;
    // The record's fields; none (false) when there is no record.
    std::optional<std::string> multipartPathForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> usernameForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> filePathForPendingUpload(std::uint64_t taskId) const;
    std::optional<std::string> filePathForPendingDownload(std::uint64_t taskId) const;
    std::optional<std::string> usernameForPendingDownload(std::uint64_t taskId) const;
    std::optional<std::string> tempFilePathForPendingDownload(std::uint64_t taskId) const;
    bool encryptForPendingDownload(std::uint64_t taskId) const;

    // The record, claimed for one delivery; nothing when there is none or it is claimed already.
    std::optional<TVKPendingUpload> claimPendingUpload(std::uint64_t taskId);
    std::optional<TVKPendingUpload> claimRequestedUpload(const std::string& key);
    std::optional<TVKPendingDownload> claimPendingDownload(std::uint64_t taskId);
    std::optional<TVKPendingDownload> claimRequestedDownload(const std::string& key);

    // Records an earlier process left without a task the background session still has (`tasks`):
    // their transfer never went out, or its task is gone. Downloads with a finished file are not
    // among them (see takeDownloadsFinishedEarlier). Each is claimed for one delivery.
    std::vector<TVKPendingUpload> claimUploadsWithoutTask(const std::set<std::uint64_t>& tasks);
    std::vector<TVKPendingDownload> claimDownloadsWithoutTask(const std::set<std::uint64_t>& tasks);
    // Every file a record names (body files, temporary downloads).
    std::set<std::filesystem::path> filesNamed() const;
    // The destinations of the downloads recorded in `defaults` under `frameworkId`: files a
    // delivery may still write or that its handler has not yet had the chance to take.
    static std::set<std::filesystem::path> downloadDestinations(const UserDefaults& defaults,
                                                                const std::string& frameworkId);

    // Downloads an earlier process had finished (their record named a temporary file when it was
    // loaded) but not delivered; each id is handed out once.
    std::vector<std::uint64_t> takeDownloadsFinishedEarlier();

    // Write a map to user defaults and synchronise them.
    [[nodiscard]] ErrorPtr savePendingUploads();
    [[nodiscard]] ErrorPtr savePendingDownloads();

  private:
    // REQUIRES: mutex_ held.
    [[nodiscard]] ErrorPtr saveLocked(const std::string& key, const Json& map);
    Result<std::string> addLocked(Json& map, const std::string& key, const char* prefix,
                                  Json record);
    [[nodiscard]] ErrorPtr setTaskLocked(Json& map, const std::string& key, const std::string& id,
                                         const char* taskField, const char* userField,
                                         std::uint64_t taskId, const std::string& username);
    [[nodiscard]] ErrorPtr removeRecord(Json& map, std::set<std::string>& claimed,
                                        const std::string& key, const std::string& id,
                                        const char* fileKey, const char* what, const char* step);
    // The key of the record of `taskId`; empty when there is none.
    std::string keyOfUpload(std::uint64_t taskId) const;
    std::string keyOfDownload(std::uint64_t taskId) const;

    UserDefaults& defaults_;
    const std::string uploadKey_;
    const std::string downloadKey_;

    mutable std::mutex mutex_;
    Json uploads_ = Json::object();
    Json downloads_ = Json::object();
    std::set<std::string> claimedUploads_;
    std::set<std::string> claimedDownloads_;
    std::vector<std::uint64_t> finishedEarlier_;
};

}  // namespace quarra
