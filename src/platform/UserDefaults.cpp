#include "platform/UserDefaults.h"
#include "quarra/Result.h"

#include "platform/Directories.h"
#include "platform/Files.h"

namespace quarra {

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
    dirty_ = true;
    saveLocked();
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
    return dirty_ ? saveLocked() : nullptr;
}

ErrorPtr UserDefaults::saveLocked() {
    if (ErrorPtr error = files::createDirectories(file_.parent_path()))
        return error;
    if (corrupt_) {
        std::error_code ec;
        std::filesystem::rename(file_, file_.string() + ".corrupt", ec);
        corrupt_ = false;
    }
    ErrorPtr error = files::writeAtomically(file_, values_.dump(2));
    if (!error)
        dirty_ = false;
    return error;
}

}  // namespace quarra
