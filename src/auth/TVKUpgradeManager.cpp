#include "auth/TVKUpgradeManager.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <system_error>

#include "auth/KeychainItemStore.h"
#include "auth/TVKOAuthManager.h"
#include "auth/ui/TVKLoginViewController.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"
#include "platform/UserDefaults.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;

TVKQuarraConfigurationManager& configuration() {
    return TVKQuarraConfigurationManager::sharedInstance();
}

// Earlier versions named their items after the SDK's own identifier alone.
const std::string& oldRoot() {
    return configuration().frameworkId();
}

std::optional<std::vector<std::uint64_t>> parseVersion(const std::string& text) {
    std::vector<std::uint64_t> parts;
    const char* position = text.data();
    const char* const end = text.data() + text.size();
    while (true) {
        std::uint64_t part = 0;
        auto [next, ec] = std::from_chars(position, end, part);
        if (ec != std::errc() || next == position)
            return std::nullopt;
        parts.push_back(part);
        if (next == end)
            return parts;
        if (*next != '.')
            return std::nullopt;
        position = next + 1;
    }
}

// Removes a file of the old user format; a file that is already gone is no failure.
void removeObsoleteFile(const std::string& fileName, const std::string& username) {
    auto path = configuration().subdirectory(fileName, username, false);
    if (!path) {
        TVK_LOG_ERROR("Error upgrading user format: unexpected error removing obsolete " +
                      fileName + " file" + path.error()->description());
        return;
    }
    std::error_code ec;
    fs::remove(*path, ec);
    if (ec) {
        TVK_LOG_ERROR("Error upgrading user format: unexpected error removing obsolete " +
                      fileName + " file" + posixError(ec.value(), path->string())->description());
    }
}

// Moves the value of the item `oldIdentifier` to the item `newIdentifier`, which `write` stores.
// The old item goes only once the new one reads back with the value; an empty old item just goes.
ErrorPtr moveItem(const std::string& what, const std::string& oldIdentifier,
                  const std::string& newIdentifier,
                  const std::function<ErrorPtr(const std::string& value)>& write) {
    KeychainItemStore old(oldIdentifier);
    if (old.readError())
        return old.readError();
    const std::string value = old.objectForKey(KeychainAttribute::ValueData);
    if (!value.empty()) {
        KeychainItemStore current(newIdentifier);
        if (current.readError())
            return current.readError();
        const std::string held = current.objectForKey(KeychainAttribute::ValueData);
        if (!held.empty() && held != value) {
            // Written by this version after an earlier run was cut short: it is the one in use.
            TVK_LOG_ERROR("Upgrade task: kept the current " + what + " under " + newIdentifier +
                          "; the older one stays under " + oldIdentifier);
            return nullptr;
        }
        if (held.empty()) {
            if (ErrorPtr error = write(value))
                return error;
            KeychainItemStore written(newIdentifier);
            if (written.readError())
                return written.readError();
            if (written.objectForKey(KeychainAttribute::ValueData) != value) {
                return Error::make(TVKUpgradeErrorDomain, TVKUpgradeReadBackErrorCode,
                                   "The " + what + " did not read back from " + newIdentifier);
            }
        }
    }
    return old.resetKeychainItem();
}

}  // namespace

TVKUpgradeManager& TVKUpgradeManager::sharedInstance() {
    static TVKUpgradeManager* instance = new TVKUpgradeManager();
    return *instance;
}

TVKUpgradeManager::TVKUpgradeManager()
    : versionTaskMap_{{"18.2.0",
                       {&TVKUpgradeManager::upgradeUserFormat,
                        &TVKUpgradeManager::updateKeychainScopes}}},
      taskQueue_(DispatchQueue::serial("com.tovik.quarra_mobile_sdk.upgrade_task_queue")) {}

std::optional<std::strong_ordering> TVKUpgradeManager::compareVersions(const std::string& a,
                                                                       const std::string& b) {
    auto left = parseVersion(a);
    auto right = parseVersion(b);
    if (!left || !right)
        return std::nullopt;
    std::size_t length = std::max(left->size(), right->size());
    left->resize(length, 0);
    right->resize(length, 0);
    return *left <=> *right;
}

std::string TVKUpgradeManager::previousVersion() const {
    auto stored = UserDefaults::standard().stringForKey(kPreviousVersionKey);
    if (!stored)
        return kOldestVersion;
    if (!compareVersions(*stored, *stored)) {
        TVK_LOG_ERROR("Upgrade: the stored previous version is not a version: " + *stored);
        return kOldestVersion;
    }
    return *stored;
}

void TVKUpgradeManager::updatePreviousVersion(const std::string& version) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setString(version, kPreviousVersionKey);
    // Not saved, the version's tasks run again at the next launch, which they allow.
    if (ErrorPtr error = defaults.synchronize())
        TVK_LOG_ERROR("Upgrade: could not save the previous version: " + error->description());
}

void TVKUpgradeManager::performUpgradeTasksIfNecessary() {
    const std::string previous = previousVersion();
    std::vector<const VersionTasks*> pending;
    for (const VersionTasks& entry : versionTaskMap_) {
        if (compareVersions(entry.version, previous) == std::strong_ordering::greater)
            pending.push_back(&entry);
    }
    std::sort(pending.begin(), pending.end(), [](const VersionTasks* a, const VersionTasks* b) {
        return compareVersions(a->version, b->version) == std::strong_ordering::less;
    });
    for (const VersionTasks* entry : pending) {
        for (Task task : entry->tasks) {
            ErrorPtr error = taskQueue_->syncResult([&] { return (this->*task)(); });
            if (error) {
                // Later versions may build on this one's layout, so they wait for it too.
                TVK_LOG_ERROR(
                    "Upgrade to " + entry->version +
                    " did not finish and runs again at the next launch: " + error->description());
                return;
            }
        }
        updatePreviousVersion(entry->version);
    }
}

ErrorPtr TVKUpgradeManager::upgradeUserFormat() {
    TVK_LOG_DEBUG("Beginning upgrade task: removing obsolete persisted user state");
    KeychainItemStore basic(KeychainItemStore::basicAuthIdentifier(oldRoot()));
    if (basic.readError())
        return basic.readError();
    const std::string name = basic.objectForKey(KeychainAttribute::Account);
    if (name.empty()) {
        TVK_LOG_DEBUG(
            "Upgrade task complete: upgradeUserFormat--user logged out, no persisted user state");
        return nullptr;
    }
    removeObsoleteFile("quarras", name);
    removeObsoleteFile("currentQuarra", name);
    for (const std::string& identifier : {KeychainItemStore::sessionIdentifier(oldRoot()),
                                          KeychainItemStore::OAuthIdentifer(oldRoot()),
                                          oldRoot() + ".num_failed_unlock_attempts"}) {
        if (ErrorPtr error = KeychainItemStore(identifier).resetKeychainItem())
            return error;
    }
    TVKOAuthManager::sharedInstance().clearAuthState();
    if (ErrorPtr error = TVKLoginViewController::resetDefaults())
        return error;
    // Last: the user's name, which a run cut short needs to find the user again.
    if (ErrorPtr error = basic.resetKeychainItem())
        return error;
    TVK_LOG_DEBUG("Upgrade task complete: upgradeUserFormat--previous user state removed");
    return nullptr;
}

ErrorPtr TVKUpgradeManager::updateKeychainScopes() {
    TVK_LOG_DEBUG("Beginning upgrade task: modifying per user keychain scopes");
    auto usernames = configuration().usernames();
    if (!usernames) {
        // Nothing listed: an empty or missing folder, or one that could not be read.
        std::error_code ec;
        bool empty = fs::is_empty(configuration().usersDirectory(), ec);
        if (ec ? ec != std::errc::no_such_file_or_directory : !empty) {
            return Error::make(
                TVKUpgradeErrorDomain, TVKUpgradeUsersUnlistableErrorCode,
                "The users folder could not be listed",
                ec ? posixError(ec.value(), configuration().usersDirectory().string()) : nullptr);
        }
        usernames.emplace();
    }
    // One stuck item does not hold back the others; the task fails with the first failure.
    ErrorPtr first;
    auto note = [&first](ErrorPtr error) {
        if (error && !first)
            first = std::move(error);
    };
    for (const std::string& username : *usernames) {
        TVK_LOG_DEBUG("Updating scopes for user:" + username);
        note(moveItem("passcode", oldRoot() + ".passcode." + username,
                      KeychainItemStore::passcodeIdentifierForUsername(username),
                      [&](const std::string& value) {
                          return KeychainItemStore::setPasscode(value, username);
                      }));
        note(moveItem("encrypted user name", oldRoot() + ".encrypted_username." + username,
                      KeychainItemStoreCrypt::encryptedUsernameIdentifierForUsername(username),
                      [&](const std::string& value) {
                          return KeychainItemStoreCrypt::setEncryptedUsername(value, username);
                      }));
        const std::string keyIdentifier =
            KeychainItemStoreCrypt::fileEncryptionIdentifierForUsername(username);
        note(moveItem("file-encryption key", oldRoot() + ".crypt." + username, keyIdentifier,
                      [&](const std::string& value) {
                          return KeychainItemStore(keyIdentifier)
                              .setObjects({{KeychainItemStoreCrypt::fileEncryptionIdentifier(),
                                            KeychainAttribute::Service},
                                           {username, KeychainAttribute::Account},
                                           {value, KeychainAttribute::ValueData}});
                      }));
    }
    if (first)
        return first;
    TVK_LOG_DEBUG("Upgrade task complete: updateKeychainScopes--per user keychain scopes updated");
    return nullptr;
}

}  // namespace quarra
