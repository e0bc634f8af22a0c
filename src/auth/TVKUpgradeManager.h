#pragma once
// Migrates what earlier SDK versions left on the device (files under the users folder, keychain
// items, user defaults) to the layout this version expects. Runs at launch, before the SDK starts.
//
// Tasks are keyed by the SDK version that introduced them; the last version whose tasks all
// succeeded is remembered in user defaults, so each version's tasks run once. A task that fails is
// not recorded and runs again at the next launch: every task can be run again after a partial run,
// and none deletes an old keychain item before its value is stored under the new identifier and
// read back from there.
//
// A process-wide singleton; its members are called from the launch hook's thread.
#include <compare>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/TVKErrors.h"

namespace quarra {

class TVKUpgradeManager {
  public:
    using Task = ErrorPtr (TVKUpgradeManager::*)();
    struct VersionTasks {
        std::string version;
        std::vector<Task> tasks;  // run in this order
    };

    // User-defaults key of the last version whose tasks have all run.
    static constexpr const char* kPreviousVersionKey =
        "com.tovik.quarra_mobile_sdk.previous_version_key";
    // What a device without the key is taken to have run.
    static constexpr const char* kOldestVersion = "18.1.0";

    static TVKUpgradeManager& sharedInstance();

    TVKUpgradeManager(const TVKUpgradeManager&) = delete;
    TVKUpgradeManager& operator=(const TVKUpgradeManager&) = delete;

    // Runs every pending task to completion before returning, versions in ascending order. The
    // first failing task ends the run: its version is not recorded, and neither it nor any later
    // version counts as done, so the next launch tries again from there.
    void performUpgradeTasksIfNecessary();

    // The stored version, or kOldestVersion when none (or no version text) is stored.
    std::string previousVersion() const;
    void updatePreviousVersion(const std::string& version);

    // Compares dotted version texts part by part as numbers ("18.10" after "18.9"); missing parts
    // count as 0 ("18.2" equals "18.2.0"). Nothing when either is not such a text.
    static std::optional<std::strong_ordering> compareVersions(const std::string& a,
                                                               const std::string& b);

    const std::vector<VersionTasks>& versionTaskMap() const { return versionTaskMap_; }

    // --- The tasks. Each returns why it could not finish (null when it did); run again after a
    // failure, it picks up what is left.

    // Removes the state of the old single-user format, signing the user out. Old items of the
    // signed-in user go before the one that names the user, so a run cut short finds the user
    // again next time.
    [[nodiscard]] ErrorPtr upgradeUserFormat();
    // Moves every user's passcode, encrypted user name and file-encryption key from the old
    // identifier root to the current one. An old item is deleted only once its value reads back
    // from the new item; a new item that already holds another value is newer and is kept, and
    // the old one is then left as it is.
    [[nodiscard]] ErrorPtr updateKeychainScopes();

  private:
    TVKUpgradeManager();

    std::vector<VersionTasks> versionTaskMap_;
    DispatchQueuePtr taskQueue_;
};

}  // namespace quarra
