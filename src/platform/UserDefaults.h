#pragma once
// Small persistent settings of the host: one JSON object per host in
// <host data folder>/Preferences.json. Every change is written through at once (atomically, so a
// crash keeps either the old or the new file); a failed write is kept in memory and retried by the
// next change or synchronize(). Several processes of the host may share the file: a save re-reads
// it under a lock (<file>.lock) and writes over only the keys this process changed, so a key
// another process wrote is never dropped. Every member is safe to call from any thread.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"

namespace quarra {

class FileLock;

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
    // Takes in what other processes saved since (unsaved changes of this process stay); null
    // when the file was read or is missing.
    [[nodiscard]] ErrorPtr reload();
    // Removes the temporary files a process killed while saving left beside the file.
    [[nodiscard]] ErrorPtr removeLeftoverPartialFiles();

    const std::filesystem::path& file() const { return file_; }

  private:
    ErrorPtr saveLocked();
    // Takes the file lock into `fileLock`, then reads the file's object and puts this process's
    // unsaved changes over it. REQUIRES: mutex_ held.
    Result<Json> mergedWithFileLocked(FileLock& fileLock);

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    Json values_ = Json::object();
    std::set<std::string> changed_;  // keys changed here and not yet saved
    bool corrupt_ = false;
};

}  // namespace quarra
