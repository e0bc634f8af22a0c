#pragma once
// The secret store: generic-password items kept in the desktop's Secret Service
// (SecretServiceKeychainStore.h) or, where none answers, in one file per host, mode 0600 in a 0700
// folder, replaced atomically on every change and guarded by an advisory lock across processes
// (and a mutex across threads). Results tell "no such item" apart from "the store could not be read
// or written": code must never take a store it cannot read for an empty one.
//
// The storage sits behind KeychainStore so a test can swap in one that fails the next read or
// write. Every member is safe to call from any thread.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/KeychainErrors.h"
#include "quarra/Result.h"

namespace quarra {

struct KeychainItem {
    std::string service;
    std::string account;
    std::string generic;
    std::string label;
    std::string description;
    std::string accessGroup;
    Bytes data;

    bool operator==(const KeychainItem&) const = default;
};

// Selects items: every attribute that is set must be equal, and `where`, when given, must accept.
struct KeychainQuery {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> generic;
    std::optional<std::string> accessGroup;
    std::function<bool(const KeychainItem&)> where;

    bool matches(const KeychainItem& item) const;
};

// The attributes an update replaces; unset ones stay.
struct KeychainChanges {
    std::optional<std::string> service;
    std::optional<std::string> account;
    std::optional<std::string> generic;
    std::optional<std::string> label;
    std::optional<std::string> description;
    std::optional<std::string> accessGroup;
    std::optional<Bytes> data;
};

// True when `error` is the keychain's error `code` (false for null).
bool isKeychainError(const ErrorPtr& error, KeychainErrorCode code);

// Where the items live. `transact` gives `change` the stored items under exclusive access and
// writes them back when `change` returns true. KeychainReadFailedError: `change` was not called.
// KeychainWriteFailedError: the store is as it was before.
class KeychainStore {
  public:
    virtual ~KeychainStore() = default;
    [[nodiscard]] virtual ErrorPtr transact(
        const std::function<bool(std::vector<KeychainItem>&)>& change) = 0;
};

// Items as a JSON file; the lock file "<file>.lock" beside it carries the cross-process lock.
// How many times this process has written a keychain file. A reader that saw the same count has
// seen every change this process made since.
std::uint64_t keychainWriteCount();

class FileKeychainStore : public KeychainStore {
  public:
    explicit FileKeychainStore(std::filesystem::path file,
                               std::chrono::milliseconds lockTimeout = std::chrono::seconds(10));
    [[nodiscard]] ErrorPtr transact(
        const std::function<bool(std::vector<KeychainItem>&)>& change) override;
    const std::filesystem::path& file() const { return file_; }

  private:
    const std::filesystem::path file_;
    const std::chrono::milliseconds lockTimeout_;
    std::mutex mutex_;
};

class Keychain {
  public:
    // The host's keychain, made at first use with standardStore().
    static Keychain& standard();
    // The store this installation keeps its secrets in: the desktop's Secret Service once it has
    // answered for this host (the marker <data home>/keychains/<host bundle
    // identifier>.secret-service records that; a marker that cannot be looked at, or a link in its
    // place, counts as one), else the file <data home>/keychains/<host bundle identifier>.json once
    // it exists; for a new installation the Secret Service when one answers on the session bus,
    // else the file. An installation whose dependent data (setDependentData) holds anything while
    // it has neither marker nor file may have kept its keys in the Secret Service before the
    // marker existed: it gets the Secret Service, never a new file. A remembered Secret Service
    // that does not answer fails every call with ReadFailed ("The keyring is unavailable"), as a
    // file store would not. QUARRA_KEYCHAIN=file or QUARRA_KEYCHAIN=secret-service forces either;
    // any other value counts as unset. Forcing the file beside a marker gets a store that fails
    // every call with ReadFailed, saying so: the secrets are in the Secret Service.
    static std::shared_ptr<KeychainStore> standardStore();
    // Folders whose contents are encrypted with keys the standard keychain keeps. Set before the
    // standard keychain is first used.
    static void setDependentData(std::vector<std::filesystem::path> folders);

    explicit Keychain(std::shared_ptr<KeychainStore> store);
    Keychain(const Keychain&) = delete;
    Keychain& operator=(const Keychain&) = delete;

    // Replaces the storage (tests inject failures this way).
    void setStore(std::shared_ptr<KeychainStore> store);
    std::shared_ptr<KeychainStore> store() const;

    // Null when added; KeychainDuplicateItemError when an item with the same identity exists.
    [[nodiscard]] ErrorPtr add(const KeychainItem& item);
    // The first matching item; nullopt when there is none (which is no failure).
    Result<std::optional<KeychainItem>> copyMatching(const KeychainQuery& query);
    // Every matching item, in the order they were added; empty when there is none.
    Result<std::vector<KeychainItem>> copyAllMatching(const KeychainQuery& query);
    // Changes every matching item; the number changed (0: none matched).
    Result<std::size_t> update(const KeychainQuery& query, const KeychainChanges& changes);
    // Deletes every matching item; the number deleted (0: none matched).
    Result<std::size_t> remove(const KeychainQuery& query);

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<KeychainStore> store_;
};

}  // namespace quarra
