#pragma once
// Small persistent settings of the host: one JSON object per host in
// <host data folder>/Preferences.json. Every change is written through at once (atomically, so a
// crash keeps either the old or the new file); a failed write is kept in memory and retried by the
// next change or synchronize(). Every member is safe to call from any thread.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"

namespace quarra {

class UserDefaults {
  public:
    static UserDefaults& standard();

    // Settings kept in `file`; a missing file starts empty. A file that is not a JSON object is
    // moved aside to "<file>.corrupt" at the first write instead of being lost.
    explicit UserDefaults(std::filesystem::path file);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The value, null when missing.
    Json objectForKey(const std::string& key) const;
    // A null value removes the key.
    void setObject(const Json& value, const std::string& key);
    void removeObjectForKey(const std::string& key);

    // Typed reads answer nothing (or false, 0) when the key is missing or holds another type.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // The object under `key`, when it is one.
    std::optional<Json> dictionaryForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    void setString(const std::string& value, const std::string& key) { setObject(value, key); }
    void setBool(bool value, const std::string& key) { setObject(value, key); }
    void setInteger(std::int64_t value, const std::string& key) { setObject(value, key); }

    // Writes unsaved changes; null when everything is on disk.
    [[nodiscard]] ErrorPtr synchronize();

    const std::filesystem::path& file() const { return file_; }

  private:
    ErrorPtr saveLocked();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    Json values_ = Json::object();
    bool dirty_ = false;
    bool corrupt_ = false;
};

}  // namespace quarra
