#pragma once
// Keychain items in the desktop's Secret Service (GNOME Keyring, KWallet) through libsecret. Each
// item is one secret item of the service's default collection: the data is its secret, the
// keychain's name, service, account, access group, generic attribute, label and description are
// its attributes, and the label (or the service) is what the desktop's keyring manager shows.
//
// Results keep the keychain's rule: "no such item" only when the collection was searched. A
// collection that stays locked (the unlock prompt refused, dismissed or left unanswered past the
// time-out), a service that does not answer and a secret that cannot be loaded are ReadFailed.
// Read-modify-write cycles are serialised across threads and, through a lock file, processes.
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/Keychain.h"

namespace quarra {

class SecretServiceKeychainStore : public KeychainStore {
  public:
    // Items of `keychainName` only (the host's bundle identifier for the standard keychain), so
    // hosts sharing a login keyring never see each other's items. `lockFile` serialises processes;
    // a holder that keeps it past `lockTimeout`, or an unlock prompt left unanswered past
    // `unlockTimeout`, fails the call with ReadFailed. `marker`, when given, is the file (mode
    // 0600) that records, before the service's items are first handed out, that the installation
    // keeps its secrets here: a service that later does not answer is then an error the caller
    // sees, never a reason to look elsewhere (see Keychain::standardStore).
    SecretServiceKeychainStore(std::string keychainName, std::filesystem::path lockFile,
                               std::chrono::milliseconds lockTimeout = std::chrono::seconds(10),
                               std::chrono::milliseconds unlockTimeout = std::chrono::seconds(60),
                               std::filesystem::path marker = {});

    // True when a Secret Service answers on the session bus now. Never starts one.
    static bool available();

    [[nodiscard]] ErrorPtr transact(
        const std::function<bool(std::vector<KeychainItem>&)>& change) override;

    const std::string& keychainName() const { return keychainName_; }
    const std::filesystem::path& marker() const { return marker_; }

  private:
    const std::string keychainName_;
    const std::filesystem::path lockFile_;
    const std::chrono::milliseconds lockTimeout_;
    const std::chrono::milliseconds unlockTimeout_;
    const std::filesystem::path marker_;
    std::mutex mutex_;
    bool marked_ = false;  // under mutex_
};

}  // namespace quarra
