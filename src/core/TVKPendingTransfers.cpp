#include "core/TVKPendingTransfers.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <random>
#include <utility>

#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

// Only maps of records survive loading: anything else in the entry is of no use to a delivery.
// Download records are keyed by their task; an upload's key is its own (its task is a field).
Json loadMap(const Json& stored, bool numericKeys) {
    Json map = Json::object();
    if (!stored.is_object())
        return map;
    for (const auto& [key, value] : stored.items()) {
        std::uint64_t id = 0;
        auto [end, status] = std::from_chars(key.data(), key.data() + key.size(), id);
        bool numeric = status == std::errc() && end == key.data() + key.size();
        if (value.is_object() && !key.empty() && (numeric || !numericKeys))
            map[key] = value;
    }
    return map;
}

std::mutex stepHookMutex;
std::function<void(std::string_view)>& stepHook() {
    static auto* hook = new std::function<void(std::string_view)>();
    return *hook;
}
std::atomic<bool> stepHookSet{false};

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

std::optional<std::uint64_t> taskIdOf(const std::string& key, const Json& record) {
    auto it = record.find(TVKUploadInfoTaskIdKey);
    if (it != record.end())
        return it->is_number_unsigned() ? std::optional(it->get<std::uint64_t>()) : std::nullopt;
    // Records of earlier versions are keyed by their task.
    std::uint64_t id = 0;
    auto [end, status] = std::from_chars(key.data(), key.data() + key.size(), id);
    return status == std::errc() && end == key.data() + key.size() ? std::optional(id)
                                                                   : std::nullopt;
}

TVKPendingUpload uploadOf(const std::string& key, const Json& r) {
    return TVKPendingUpload{key, taskIdOf(key, r), text(&r, TVKUploadInfoMultipartPathKey),
                            text(&r, TVKUploadInfoFilePathKey), text(&r, TVKUploadInfoUsernameKey)};
}

}  // namespace

void setTransferStepHook(std::function<void(std::string_view)> hook) {
    std::lock_guard lock(stepHookMutex);
    stepHookSet = static_cast<bool>(hook);
    stepHook() = std::move(hook);
}

void transferStep(std::string_view step) {
    if (!stepHookSet.load())
        return;
    std::function<void(std::string_view)> hook;
    {
        std::lock_guard lock(stepHookMutex);
        hook = stepHook();
    }
    if (hook)
        hook(step);
}

TVKPendingTransfers::TVKPendingTransfers(const std::string& frameworkId, UserDefaults& defaults)
    : defaults_(defaults),
      uploadKey_(frameworkId + ".upload_task_info_key"),
      downloadKey_(frameworkId + ".download_task_info_key") {}

void TVKPendingTransfers::initPendingUploads() {
    std::lock_guard lock(mutex_);
    uploads_ = loadMap(defaults_.objectForKey(uploadKey_), false);
    TVK_LOG_DEBUG("Initializing pending upload tasks:" + uploads_.dump());
}

void TVKPendingTransfers::initPendingDownloads() {
    std::lock_guard lock(mutex_);
    downloads_ = loadMap(defaults_.objectForKey(downloadKey_), true);
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

std::string TVKPendingTransfers::addRequestedUpload(const std::string& multipartPath,
                                                    const std::string& filePath,
                                                    const std::string& username) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::lock_guard lock(mutex_);
    std::string key;
    do {
        key = "upload-" + std::to_string(random());
    } while (uploads_.contains(key));
    uploads_[key] = {{TVKUploadInfoMultipartPathKey, multipartPath},
                     {TVKUploadInfoUsernameKey, username},
                     {TVKUploadInfoFilePathKey, filePath}};
    // A failed save is logged inside; the transfer goes on and is delivered in this process.
    (void)saveLocked(uploadKey_, uploads_);
    return key;
}

void TVKPendingTransfers::setUploadTask(const std::string& key, std::uint64_t taskId,
                                        const std::string& username) {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key);
    if (it == uploads_.end())
        return;
    // A record an earlier process left under the same task is of a transfer long gone.
    for (std::string other = uploadKey(taskId); !other.empty() && other != key;
         other = uploadKey(taskId))
        uploads_.erase(other);
    (*it)[TVKUploadInfoTaskIdKey] = taskId;
    (*it)[TVKUploadInfoUsernameKey] = username;
    (void)saveLocked(uploadKey_, uploads_);
}

std::string TVKPendingTransfers::uploadKey(std::uint64_t taskId) const {
    for (const auto& [key, record] : uploads_.items()) {
        if (taskIdOf(key, record) == taskId)
            return key;
    }
    return {};
}

void TVKPendingTransfers::addPendingDownload(std::uint64_t taskId, const std::string& filePath,
                                             bool encrypt, const std::string& username) {
    std::lock_guard lock(mutex_);
    downloads_[std::to_string(taskId)] = {{TVKDownloadInfoUsernameKey, username},
                                          {TVKDownloadInfoFilePathKey, filePath},
                                          {TVKDownloadInfoEncryptKey, encrypt}};
    claimedDownloads_.erase(std::to_string(taskId));
    (void)saveLocked(downloadKey_, downloads_);
}

ErrorPtr TVKPendingTransfers::removeRecord(Json& map, std::set<std::string>& claimed,
                                           const std::string& key, const std::string& id,
                                           const char* fileKey, const char* what) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        auto it = map.find(id);
        if (it == map.end())
            return nullptr;
        path = text(&*it, fileKey);
        map.erase(id);
        claimed.erase(id);
        (void)saveLocked(key, map);
    }
    // The file goes after its record: a crash in between leaves a file that no record names,
    // which the next launch sweeps, never a record whose file is gone.
    transferStep(std::string(what) + ".recordRemoved");
    TVK_LOG_DEBUG(std::string(what) + " " + id + "  removing file at:" + path);
    return removeFile(path);
}

ErrorPtr TVKPendingTransfers::removePendingUpload(const std::string& key) {
    return removeRecord(uploads_, claimedUploads_, uploadKey_, key, TVKUploadInfoMultipartPathKey,
                        "upload");
}

ErrorPtr TVKPendingTransfers::removePendingDownload(std::uint64_t taskId) {
    return removeRecord(downloads_, claimedDownloads_, downloadKey_, std::to_string(taskId),
                        TVKDownloadInfoTempFilePathKey, "download");
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
    std::string key = uploadKey(taskId);
    if (key.empty())
        return std::nullopt;
    return uploadOf(key, uploads_.at(key));
}

bool TVKPendingTransfers::hasUpload(std::uint64_t taskId) const {
    std::lock_guard lock(mutex_);
    return !uploadKey(taskId).empty();
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
    std::lock_guard lock(mutex_);
    std::string key = uploadKey(taskId);
    if (key.empty() || !claimedUploads_.insert(key).second)
        return std::nullopt;
    return uploadOf(key, uploads_.at(key));
}

std::optional<TVKPendingUpload> TVKPendingTransfers::claimRequestedUpload(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key);
    if (it == uploads_.end() || !claimedUploads_.insert(key).second)
        return std::nullopt;
    return uploadOf(key, *it);
}

std::optional<TVKPendingDownload> TVKPendingTransfers::claimPendingDownload(std::uint64_t taskId) {
    auto download = pendingDownload(taskId);
    std::lock_guard lock(mutex_);
    if (!download || !claimedDownloads_.insert(std::to_string(taskId)).second)
        return std::nullopt;
    return download;
}

std::vector<TVKPendingUpload> TVKPendingTransfers::claimUploadsWithoutTask(
    const std::set<std::uint64_t>& tasks) {
    std::lock_guard lock(mutex_);
    std::vector<TVKPendingUpload> orphans;
    for (const auto& [key, record] : uploads_.items()) {
        auto taskId = taskIdOf(key, record);
        if ((!taskId || !tasks.count(*taskId)) && claimedUploads_.insert(key).second)
            orphans.push_back(uploadOf(key, record));
    }
    return orphans;
}

std::vector<std::uint64_t> TVKPendingTransfers::claimFailedDownloadsWithoutTask(
    const std::set<std::uint64_t>& tasks) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> failed;
    for (const auto& [key, record] : downloads_.items()) {
        std::uint64_t id = std::strtoull(key.c_str(), nullptr, 10);
        if (!tasks.count(id) && text(&record, TVKDownloadInfoTempFilePathKey).empty() &&
            claimedDownloads_.insert(key).second)
            failed.push_back(id);
    }
    return failed;
}

std::set<fs::path> TVKPendingTransfers::filesNamed() const {
    std::lock_guard lock(mutex_);
    std::set<fs::path> named;
    for (const auto& [key, record] : uploads_.items())
        named.insert(text(&record, TVKUploadInfoMultipartPathKey));
    for (const auto& [key, record] : downloads_.items())
        named.insert(text(&record, TVKDownloadInfoTempFilePathKey));
    return named;
}

// clang-format off
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
