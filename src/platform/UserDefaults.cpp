#include "platform/UserDefaults.h"

#include <errno.h>

#include <chrono>

#include "platform/Directories.h"
#include "platform/FileLock.h"
#include "platform/Files.h"

namespace quarra {
namespace {

// Another process holds the file only for one read and one write.
constexpr std::chrono::seconds kPreferencesLockTimeout{10};

}  // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults* instance = new UserDefaults(hostDataDirectory() / "Preferences.json");
    return *instance;
}

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    auto text = files::read(file_);
    if (!text)
        return;
    Json values = parseJson(*text).valueOr(Json());
    if (values.is_object()) {
        values_ = std::move(values);
    } else {
        corrupt_ = true;
    }
}

Json UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? Json() : *it;
}

void UserDefaults::setObject(const Json& value, const std::string& key) {
    std::lock_guard lock(mutex_);
    if (value.is_null()) {
        if (values_.erase(key) == 0)
            return;
    } else {
        auto it = values_.find(key);
        if (it != values_.end() && *it == value)
            return;
        values_[key] = value;
    }
    changed_.insert(key);
    (void)saveLocked();
}

void UserDefaults::removeObjectForKey(const std::string& key) {
    setObject(Json(), key);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    Json value = objectForKey(key);
    if (!value.is_string())
        return std::nullopt;
    return value.get<std::string>();
}

std::optional<Json> UserDefaults::dictionaryForKey(const std::string& key) const {
    Json value = objectForKey(key);
    if (!value.is_object())
        return std::nullopt;
    return value;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    Json value = objectForKey(key);
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number())
        return value.get<double>() != 0;
    return false;
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
    Json value = objectForKey(key);
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    return 0;
}

ErrorPtr UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    return changed_.empty() ? nullptr : saveLocked();
}

ErrorPtr UserDefaults::reload() {
    std::lock_guard lock(mutex_);
    FileLock fileLock;
    auto merged = mergedWithFileLocked(fileLock);
    if (!merged)
        return merged.error();
    values_ = std::move(*merged);
    return nullptr;
}

ErrorPtr UserDefaults::removeLeftoverPartialFiles() {
    std::lock_guard lock(mutex_);
    FileLock fileLock;
    if (ErrorPtr error = fileLock.acquire(file_.string() + ".lock", kPreferencesLockTimeout))
        return error;
    // Every writer holds the file lock while its temporary exists: one found now is a dead one's.
    (void)files::removePartialFiles(file_.parent_path(), file_.filename().string());
    return nullptr;
}

Result<Json> UserDefaults::mergedWithFileLocked(FileLock& fileLock) {
    if (ErrorPtr error = fileLock.acquire(file_.string() + ".lock", kPreferencesLockTimeout))
        return error;
    Json merged = values_;
    if (auto text = files::read(file_)) {
        Json stored = parseJson(*text).valueOr(Json());
        if (stored.is_object()) {
            merged = std::move(stored);
        } else {
            corrupt_ = true;
        }
    } else if (text.error()->code() != ENOENT) {
        // Unreadable is not empty: writing now would drop every key another process saved.
        return text.error();
    } else {
        merged = Json::object();
    }
    for (const std::string& key : changed_) {
        auto ours = values_.find(key);
        if (ours == values_.end())
            merged.erase(key);
        else
            merged[key] = *ours;
    }
    return merged;
}

ErrorPtr UserDefaults::saveLocked() {
    if (ErrorPtr error = files::createDirectories(file_.parent_path()))
        return error;
    FileLock fileLock;
    auto merged = mergedWithFileLocked(fileLock);
    if (!merged)
        return merged.error();
    if (corrupt_) {
        std::error_code ec;
        std::filesystem::rename(file_, file_.string() + ".corrupt", ec);
        corrupt_ = false;
    }
    ErrorPtr error = files::writeAtomically(file_, merged->dump(2));
    if (error)
        return error;
    values_ = std::move(*merged);
    changed_.clear();
    return nullptr;
}

}  // namespace quarra
