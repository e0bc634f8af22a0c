#include "core/TVKPendingTransfers.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <random>
#include <utility>

#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"

namespace quarra {
namespace fs = std::filesystem;
namespace {

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t id = 0;
    auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (status != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return id;
}

// Only maps of records survive loading: anything else in the entry is of no use to a delivery.
Json loadMap(const Json& stored) {
    Json map = Json::object();
    if (!stored.is_object())
        return map;
    for (const auto& [key, value] : stored.items()) {
        if (value.is_object() && !key.empty())
            map[key] = value;
    }
    return map;
}

std::string text(const Json& record, const char* key) {
    auto it = record.find(key);
    return it == record.end() || !it->is_string() ? std::string() : it->get<std::string>();
}

// Records of earlier versions are keyed by their task; later ones name it in a field.
std::optional<std::uint64_t> taskIdOf(const std::string& key, const Json& record,
                                      const char* field) {
    auto it = record.find(field);
    if (it != record.end())
        return it->is_number_unsigned() ? std::optional(it->get<std::uint64_t>()) : std::nullopt;
    return number(key);
}

std::string keyOf(const Json& map, std::uint64_t taskId, const char* field) {
    for (const auto& [key, record] : map.items()) {
        if (taskIdOf(key, record, field) == taskId)
            return key;
    }
    return {};
}

TVKPendingUpload uploadOf(const std::string& key, const Json& r) {
    return {key, taskIdOf(key, r, TVKUploadInfoTaskIdKey), text(r, TVKUploadInfoMultipartPathKey),
            text(r, TVKUploadInfoFilePathKey), text(r, TVKUploadInfoUsernameKey)};
}

TVKPendingDownload downloadOf(const std::string& key, const Json& r) {
    auto encrypt = r.find(TVKDownloadInfoEncryptKey);
    return {key,
            taskIdOf(key, r, TVKDownloadInfoTaskIdKey),
            text(r, TVKDownloadInfoFilePathKey),
            encrypt != r.end() && encrypt->is_boolean() && encrypt->get<bool>(),
            text(r, TVKDownloadInfoUsernameKey),
            text(r, TVKDownloadInfoTempFilePathKey)};
}

ErrorPtr removeFile(const std::string& path) {
    if (path.empty())
        return nullptr;
    std::error_code ec;
    fs::remove(path, ec);
    if (ec && ec.value() != ENOENT)
        return posixError(ec.value(), "cannot remove " + path);
    return nullptr;
}

std::mutex stepHookMutex;
std::atomic<bool> stepHookSet{false};
std::function<void(std::string_view)>& stepHook() {
    static auto* hook = new std::function<void(std::string_view)>();
    return *hook;
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
    uploads_ = loadMap(defaults_.objectForKey(uploadKey_));
    TVK_LOG_DEBUG("Initializing pending upload tasks:" + uploads_.dump());
}

void TVKPendingTransfers::initPendingDownloads() {
    std::lock_guard lock(mutex_);
    downloads_ = loadMap(defaults_.objectForKey(downloadKey_));
    finishedEarlier_.clear();
    for (const auto& [key, record] : downloads_.items()) {
        auto taskId = taskIdOf(key, record, TVKDownloadInfoTaskIdKey);
        if (taskId && !text(record, TVKDownloadInfoTempFilePathKey).empty())
            finishedEarlier_.push_back(*taskId);
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

Result<std::string> TVKPendingTransfers::addLocked(Json& map, const std::string& key,
                                                   const char* prefix, Json record) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::string id;
    do {
        id = prefix + std::to_string(random());
    } while (map.contains(id));
    map[id] = std::move(record);
    if (ErrorPtr error = saveLocked(key, map)) {
        map.erase(id);
        (void)saveLocked(key, map);
        return error;
    }
    return id;
}

Result<std::string> TVKPendingTransfers::addRequestedUpload(const std::string& multipartPath,
                                                            const std::string& filePath,
                                                            const std::string& username) {
    std::lock_guard lock(mutex_);
    return addLocked(uploads_, uploadKey_, "upload-",
                     {{TVKUploadInfoMultipartPathKey, multipartPath},
                      {TVKUploadInfoUsernameKey, username},
                      {TVKUploadInfoFilePathKey, filePath}});
}

Result<std::string> TVKPendingTransfers::addRequestedDownload(const std::string& filePath,
                                                              bool encrypt,
                                                              const std::string& username) {
    std::lock_guard lock(mutex_);
    return addLocked(downloads_, downloadKey_, "download-",
                     {{TVKDownloadInfoUsernameKey, username},
                      {TVKDownloadInfoFilePathKey, filePath},
                      {TVKDownloadInfoEncryptKey, encrypt}});
}

ErrorPtr TVKPendingTransfers::setTaskLocked(Json& map, const std::string& key,
                                            const std::string& id, const char* taskField,
                                            const char* userField, std::uint64_t taskId,
                                            const std::string& username) {
    auto it = map.find(id);
    if (it == map.end())
        return nullptr;
    // A record an earlier process left under the same task is of a transfer long gone.
    for (std::string other = keyOf(map, taskId, taskField); !other.empty() && other != id;
         other = keyOf(map, taskId, taskField))
        map.erase(other);
    it = map.find(id);
    (*it)[taskField] = taskId;
    (*it)[userField] = username;
    return saveLocked(key, map);
}

ErrorPtr TVKPendingTransfers::setUploadTask(const std::string& key, std::uint64_t taskId,
                                            const std::string& username) {
    std::lock_guard lock(mutex_);
    return setTaskLocked(uploads_, uploadKey_, key, TVKUploadInfoTaskIdKey,
                         TVKUploadInfoUsernameKey, taskId, username);
}

ErrorPtr TVKPendingTransfers::setDownloadTask(const std::string& key, std::uint64_t taskId,
                                              const std::string& username) {
    std::string replaced;
    {
        std::lock_guard lock(mutex_);
        auto it = downloads_.find(key);
        if (it == downloads_.end())
            return nullptr;
        replaced = text(*it, TVKDownloadInfoTempFilePathKey);
        it->erase(TVKDownloadInfoTempFilePathKey);
        claimedDownloads_.erase(key);
        // Unsaved, the record on disk may still name the earlier file: it stays for the sweep.
        if (ErrorPtr error = setTaskLocked(downloads_, downloadKey_, key, TVKDownloadInfoTaskIdKey,
                                           TVKDownloadInfoUsernameKey, taskId, username))
            return error;
    }
    (void)removeFile(replaced);
    return nullptr;
}

void TVKPendingTransfers::releaseDownloadTask(std::uint64_t taskId) {
    std::string released;
    {
        std::lock_guard lock(mutex_);
        auto it = downloads_.find(keyOfDownload(taskId));
        if (it == downloads_.end())
            return;
        released = text(*it, TVKDownloadInfoTempFilePathKey);
        it->erase(TVKDownloadInfoTempFilePathKey);
        (*it)[TVKDownloadInfoTaskIdKey] = nullptr;
        (void)saveLocked(downloadKey_, downloads_);
    }
    (void)removeFile(released);
}

std::string TVKPendingTransfers::keyOfUpload(std::uint64_t taskId) const {
    return keyOf(uploads_, taskId, TVKUploadInfoTaskIdKey);
}

std::string TVKPendingTransfers::keyOfDownload(std::uint64_t taskId) const {
    return keyOf(downloads_, taskId, TVKDownloadInfoTaskIdKey);
}

ErrorPtr TVKPendingTransfers::removeRecord(Json& map, std::set<std::string>& claimed,
                                           const std::string& key, const std::string& id,
                                           const char* fileKey, const char* what,
                                           const char* step) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        auto it = map.find(id);
        if (it == map.end())
            return nullptr;
        path = text(*it, fileKey);
        Json record = std::move(*it);
        map.erase(id);
        // Unsaved, the record on disk still names the file, and a later launch delivers it again
        // from there: it stays, claimed, so that this process does not.
        if (ErrorPtr error = saveLocked(key, map)) {
            map[id] = std::move(record);
            return error;
        }
        claimed.erase(id);
    }
    // The file goes after its record: a crash in between leaves a file that no record names,
    // which the next launch sweeps, never a record whose file is gone.
    transferStep(step);
    TVK_LOG_DEBUG(std::string("Removed ") + what + " " + id + "  removing file at:" + path);
    return removeFile(path);
}

ErrorPtr TVKPendingTransfers::removePendingUpload(const std::string& key) {
    return removeRecord(uploads_, claimedUploads_, uploadKey_, key, TVKUploadInfoMultipartPathKey,
                        "upload", "upload.recordRemoved");
}

ErrorPtr TVKPendingTransfers::removePendingDownload(const std::string& key) {
    return removeRecord(downloads_, claimedDownloads_, downloadKey_, key,
                        TVKDownloadInfoTempFilePathKey, "download", "download.recordRemoved");
}

void TVKPendingTransfers::setTempFilePath(const std::optional<std::string>& path,
                                          std::uint64_t taskId) {
    std::lock_guard lock(mutex_);
    auto it = downloads_.find(keyOfDownload(taskId));
    if (it == downloads_.end())
        return;
    if (path && !path->empty())
        (*it)[TVKDownloadInfoTempFilePathKey] = *path;
    else
        it->erase(TVKDownloadInfoTempFilePathKey);
    (void)saveLocked(downloadKey_, downloads_);
}

bool TVKPendingTransfers::hasUpload(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return uploads_.contains(key);
}

bool TVKPendingTransfers::hasDownload(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return downloads_.contains(key);
}

std::optional<TVKPendingUpload> TVKPendingTransfers::pendingUpload(std::uint64_t taskId) const {
    std::lock_guard lock(mutex_);
    std::string key = keyOfUpload(taskId);
    return key.empty() ? std::nullopt : std::optional(uploadOf(key, uploads_.at(key)));
}

std::optional<TVKPendingDownload> TVKPendingTransfers::pendingDownload(std::uint64_t taskId) const {
    std::lock_guard lock(mutex_);
    std::string key = keyOfDownload(taskId);
    return key.empty() ? std::nullopt : std::optional(downloadOf(key, downloads_.at(key)));
}

// clang-format off
std::optional<std::string> TVKPendingTransfers::multipartPathForPendingUpload(std::uint64_t id) const {
    auto r = pendingUpload(id); return r ? std::optional(r->multipartPath) : std::nullopt; }
std::optional<std::string> TVKPendingTransfers::usernameForPendingUpload(std::uint64_t id) const {
    auto r = pendingUpload(id); return r ? std::optional(r->username) : std::nullopt; }
std::optional<std::string> TVKPendingTransfers::filePathForPendingUpload(std::uint64_t id) const {
    auto r = pendingUpload(id); return r ? std::optional(r->filePath) : std::nullopt; }
std::optional<std::string> TVKPendingTransfers::filePathForPendingDownload(std::uint64_t id) const {
    auto r = pendingDownload(id); return r ? std::optional(r->filePath) : std::nullopt; }
std::optional<std::string> TVKPendingTransfers::usernameForPendingDownload(std::uint64_t id) const {
    auto r = pendingDownload(id); return r ? std::optional(r->username) : std::nullopt; }
bool TVKPendingTransfers::encryptForPendingDownload(std::uint64_t id) const {
    auto r = pendingDownload(id); return r && r->encrypt; }
// clang-format on

std::optional<std::string> TVKPendingTransfers::tempFilePathForPendingDownload(
    std::uint64_t taskId) const {
    auto download = pendingDownload(taskId);
    if (!download || download->tempFilePath.empty())
        return std::nullopt;
    return download->tempFilePath;
}

std::optional<TVKPendingUpload> TVKPendingTransfers::claimRequestedUpload(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = uploads_.find(key);
    if (it == uploads_.end() || !claimedUploads_.insert(key).second)
        return std::nullopt;
    return uploadOf(key, *it);
}

std::optional<TVKPendingDownload> TVKPendingTransfers::claimRequestedDownload(
    const std::string& key) {
    std::lock_guard lock(mutex_);
    auto it = downloads_.find(key);
    if (it == downloads_.end() || !claimedDownloads_.insert(key).second)
        return std::nullopt;
    return downloadOf(key, *it);
}

std::optional<TVKPendingUpload> TVKPendingTransfers::claimPendingUpload(std::uint64_t taskId) {
    std::string key;
    {
        std::lock_guard lock(mutex_);
        key = keyOfUpload(taskId);
    }
    return key.empty() ? std::nullopt : claimRequestedUpload(key);
}

std::optional<TVKPendingDownload> TVKPendingTransfers::claimPendingDownload(std::uint64_t taskId) {
    std::string key;
    {
        std::lock_guard lock(mutex_);
        key = keyOfDownload(taskId);
    }
    return key.empty() ? std::nullopt : claimRequestedDownload(key);
}

std::vector<TVKPendingUpload> TVKPendingTransfers::claimUploadsWithoutTask(
    const std::set<std::uint64_t>& tasks) {
    std::lock_guard lock(mutex_);
    std::vector<TVKPendingUpload> orphans;
    for (const auto& [key, record] : uploads_.items()) {
        auto taskId = taskIdOf(key, record, TVKUploadInfoTaskIdKey);
        if ((!taskId || !tasks.count(*taskId)) && claimedUploads_.insert(key).second)
            orphans.push_back(uploadOf(key, record));
    }
    return orphans;
}

std::vector<TVKPendingDownload> TVKPendingTransfers::claimDownloadsWithoutTask(
    const std::set<std::uint64_t>& tasks) {
    std::lock_guard lock(mutex_);
    std::vector<TVKPendingDownload> orphans;
    for (const auto& [key, record] : downloads_.items()) {
        auto taskId = taskIdOf(key, record, TVKDownloadInfoTaskIdKey);
        if ((!taskId || !tasks.count(*taskId)) &&
            text(record, TVKDownloadInfoTempFilePathKey).empty() &&
            claimedDownloads_.insert(key).second)
            orphans.push_back(downloadOf(key, record));
    }
    return orphans;
}

std::set<fs::path> TVKPendingTransfers::filesNamed() const {
    std::lock_guard lock(mutex_);
    std::set<fs::path> named;
    for (const auto& [key, record] : uploads_.items())
        named.insert(text(record, TVKUploadInfoMultipartPathKey));
    for (const auto& [key, record] : downloads_.items())
        named.insert(text(record, TVKDownloadInfoTempFilePathKey));
    return named;
}

std::set<fs::path> TVKPendingTransfers::downloadDestinations(const UserDefaults& defaults,
                                                             const std::string& frameworkId) {
    std::set<fs::path> destinations;
    Json map = loadMap(defaults.objectForKey(frameworkId + ".download_task_info_key"));
    for (const auto& [key, record] : map.items()) {
        std::string path = text(record, TVKDownloadInfoFilePathKey);
        if (!path.empty())
            destinations.insert(fs::path(path).lexically_normal());
    }
    return destinations;
}

std::vector<std::uint64_t> TVKPendingTransfers::takeDownloadsFinishedEarlier() {
    std::lock_guard lock(mutex_);
    return std::exchange(finishedEarlier_, {});
}

}  // namespace quarra
