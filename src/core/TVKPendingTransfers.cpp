#include "core/TVKPendingTransfers.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <utility>

#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"

namespace quarra {
namespace {

// Only maps of records survive loading: anything else in the entry is of no use to a delivery.
Json loadMap(const Json& stored) {
    Json map = Json::object();
    if (!stored.is_object())
        return map;
    for (const auto& [key, value] : stored.items()) {
        std::uint64_t id = 0;
        auto [end, status] = std::from_chars(key.data(), key.data() + key.size(), id);
        if (value.is_object() && status == std::errc() && end == key.data() + key.size())
            map[key] = value;
    }
    return map;
}

std::optional<std::string> field(const Json* record, const char* key) {
    if (!record)
        return std::nullopt;
    auto it = record->find(key);
    if (it == record->end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::string text(const Json* record, const char* key) {
    return field(record, key).value_or(std::string());
}

ErrorPtr removeFile(const std::string& path) {
    if (path.empty())
        return nullptr;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec && ec.value() != ENOENT)
        return posixError(ec.value(), "cannot remove " + path);
    return nullptr;
}

}  // namespace

TVKPendingTransfers::TVKPendingTransfers(const std::string& frameworkId, UserDefaults& defaults)
    : defaults_(defaults),
      uploadKey_(frameworkId + ".upload_task_info_key"),
      downloadKey_(frameworkId + ".download_task_info_key") {}

void TVKPendingTransfers::initPendingUploads() {
    std::lock_guard lock(mutex_);
    uploads_ = loadMap(defaults_.objectForKey(uploadKey_));
    TVK_LOG_DEBUG("Initializing pending upload tasks:" + uploads_.dump());
}

void TVKPendingTransfers::initPendingDownloads() {
    std::lock_guard lock(mutex_);
    downloads_ = loadMap(defaults_.objectForKey(downloadKey_));
    finishedEarlier_.clear();
    for (const auto& [key, record] : downloads_.items()) {
        if (!text(&record, TVKDownloadInfoTempFilePathKey).empty())
            finishedEarlier_.push_back(std::strtoull(key.c_str(), nullptr, 10));
    }
    TVK_LOG_DEBUG("Initializing pending download tasks:" + downloads_.dump());
}

ErrorPtr TVKPendingTransfers::saveLocked(const std::string& key, const Json& map) {
    if (map.empty())
        defaults_.removeObjectForKey(key);
    else
        defaults_.setObject(map, key);
    ErrorPtr error = defaults_.synchronize();
    if (error)
        TVK_LOG_ERROR("Cannot save pending transfers:" + error->description());
    TVK_LOG_DEBUG(std::string(&key == &uploadKey_ ? "Updated pending upload tasks to:"
                                                  : "Updated pending download tasks to:") +
                  map.dump());
    return error;
}

ErrorPtr TVKPendingTransfers::savePendingUploads() {
    std::lock_guard lock(mutex_);
    return saveLocked(uploadKey_, uploads_);
}

ErrorPtr TVKPendingTransfers::savePendingDownloads() {
    std::lock_guard lock(mutex_);
    return saveLocked(downloadKey_, downloads_);
}

void TVKPendingTransfers::addPendingUpload(std::uint64_t taskId, const std::string& multipartPath,
                                           const std::string& filePath,
                                           const std::string& username) {
    std::lock_guard lock(mutex_);
    uploads_[std::to_string(taskId)] = {{TVKUploadInfoMultipartPathKey, multipartPath},
                                        {TVKUploadInfoUsernameKey, username},
                                        {TVKUploadInfoFilePathKey, filePath}};
    claimedUploads_.erase(taskId);
    // A failed save is logged inside; the transfer goes on and is delivered in this process.
    (void)saveLocked(uploadKey_, uploads_);
}

void TVKPendingTransfers::addPendingDownload(std::uint64_t taskId, const std::string& filePath,
                                             bool encrypt, const std::string& username) {
    std::lock_guard lock(mutex_);
    downloads_[std::to_string(taskId)] = {{TVKDownloadInfoUsernameKey, username},
                                          {TVKDownloadInfoFilePathKey, filePath},
                                          {TVKDownloadInfoEncryptKey, encrypt}};
    claimedDownloads_.erase(taskId);
    (void)saveLocked(downloadKey_, downloads_);
}

ErrorPtr TVKPendingTransfers::removeRecord(Json& map, std::set<std::uint64_t>& claimed,
                                           const std::string& key, std::uint64_t taskId,
                                           const char* fileKey, const char* what) {
    std::lock_guard lock(mutex_);
    std::string id = std::to_string(taskId);
    auto it = map.find(id);
    if (it == map.end())
        return nullptr;
    std::string path = text(&*it, fileKey);
    TVK_LOG_DEBUG(std::string(what) + id + "  removing file at:" + path);
    if (ErrorPtr error = removeFile(path))
        return error;
    map.erase(id);
    claimed.erase(taskId);
    (void)saveLocked(key, map);
    return nullptr;
}

ErrorPtr TVKPendingTransfers::removePendingUpload(std::uint64_t taskId) {
    return removeRecord(uploads_, claimedUploads_, uploadKey_, taskId,
                        TVKUploadInfoMultipartPathKey, "Finished upload task:");
}

ErrorPtr TVKPendingTransfers::removePendingDownload(std::uint64_t taskId) {
    return removeRecord(downloads_, claimedDownloads_, downloadKey_, taskId,
                        TVKDownloadInfoTempFilePathKey, "Removing download task:");
}

void TVKPendingTransfers::setTempFilePath(const std::optional<std::string>& path,
                                          std::uint64_t taskId) {
    std::lock_guard lock(mutex_);
    auto it = downloads_.find(std::to_string(taskId));
    if (it == downloads_.end())
        return;
    if (path && !path->empty())
        (*it)[TVKDownloadInfoTempFilePathKey] = *path;
    else
        it->erase(TVKDownloadInfoTempFilePathKey);
    (void)saveLocked(downloadKey_, downloads_);
}

const Json* TVKPendingTransfers::record(const Json& map, std::uint64_t taskId) const {
    auto it = map.find(std::to_string(taskId));
    return it == map.end() ? nullptr : &*it;
}

std::optional<TVKPendingUpload> TVKPendingTransfers::pendingUpload(std::uint64_t taskId) const {
    std::lock_guard lock(mutex_);
    const Json* r = record(uploads_, taskId);
    if (!r)
        return std::nullopt;
    return TVKPendingUpload{text(r, TVKUploadInfoMultipartPathKey),
                            text(r, TVKUploadInfoFilePathKey), text(r, TVKUploadInfoUsernameKey)};
}

std::optional<TVKPendingDownload> TVKPendingTransfers::pendingDownload(std::uint64_t taskId) const {
    std::lock_guard lock(mutex_);
    const Json* r = record(downloads_, taskId);
    if (!r)
        return std::nullopt;
    auto encrypt = r->find(TVKDownloadInfoEncryptKey);
    return TVKPendingDownload{text(r, TVKDownloadInfoFilePathKey),
                              encrypt != r->end() && encrypt->is_boolean() && encrypt->get<bool>(),
                              text(r, TVKDownloadInfoUsernameKey),
                              text(r, TVKDownloadInfoTempFilePathKey)};
}

std::optional<TVKPendingUpload> TVKPendingTransfers::claimPendingUpload(std::uint64_t taskId) {
    auto upload = pendingUpload(taskId);
    std::lock_guard lock(mutex_);
    if (!upload || !claimedUploads_.insert(taskId).second)
        return std::nullopt;
    return upload;
}

std::optional<TVKPendingDownload> TVKPendingTransfers::claimPendingDownload(std::uint64_t taskId) {
    auto download = pendingDownload(taskId);
    std::lock_guard lock(mutex_);
    if (!download || !claimedDownloads_.insert(taskId).second)
        return std::nullopt;
    return download;
}

// clang-format off
std::optional<std::string> TVKPendingTransfers::multipartPathForPendingUpload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(uploads_, id), TVKUploadInfoMultipartPathKey); }
std::optional<std::string> TVKPendingTransfers::usernameForPendingUpload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(uploads_, id), TVKUploadInfoUsernameKey); }
std::optional<std::string> TVKPendingTransfers::filePathForPendingUpload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(uploads_, id), TVKUploadInfoFilePathKey); }
std::optional<std::string> TVKPendingTransfers::filePathForPendingDownload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(downloads_, id), TVKDownloadInfoFilePathKey); }
std::optional<std::string> TVKPendingTransfers::usernameForPendingDownload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(downloads_, id), TVKDownloadInfoUsernameKey); }
std::optional<std::string> TVKPendingTransfers::tempFilePathForPendingDownload(std::uint64_t id) const {
    std::lock_guard lock(mutex_); return field(record(downloads_, id), TVKDownloadInfoTempFilePathKey); }
// clang-format on

std::vector<std::uint64_t> TVKPendingTransfers::takeDownloadsFinishedEarlier() {
    std::lock_guard lock(mutex_);
    return std::exchange(finishedEarlier_, {});
}

bool TVKPendingTransfers::encryptForPendingDownload(std::uint64_t taskId) const {
    auto download = pendingDownload(taskId);
    return download && download->encrypt;
}

}  // namespace quarra
