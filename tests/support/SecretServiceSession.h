#pragma once
// A private Secret Service for tests: a session bus of the test's own (dbus-daemon with no service
// files, so nothing is ever activated on it: in particular no unlock prompter, so an unlock prompt
// fails at once as a dismissed one) and gnome-keyring-daemon on it with an unlocked login
// collection, both living in the sandbox. Started on first use, once per process, and ready when
// shared() returns: DBUS_SESSION_BUS_ADDRESS then points at it. The daemons end with the process.
#include <sys/types.h>

#include <memory>
#include <string>

namespace quarra {
class KeychainStore;
}

namespace quarra::test {

class SecretServiceSession {
  public:
    // Starts the session or reports why it could not (the message names the missing program).
    static SecretServiceSession& shared();

    bool ok() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    // Locks the default collection, as a screen lock would. Empty on success, else why not.
    std::string lock();
    // Unlocks it with the login password, without a prompt.
    std::string unlock();
    // Ends the keyring daemon and starts a new one on the same bus over the same keyring files,
    // as a desktop session does when its keyring crashed. Returns once the new one answers.
    std::string restartKeyring();

    // While it lives, the keyring's unlock prompts go to a prompter that takes every call and
    // answers none: a user who never answers.
    class SilentPrompter {
      public:
        SilentPrompter();
        ~SilentPrompter();
        SilentPrompter(const SilentPrompter&) = delete;
        SilentPrompter& operator=(const SilentPrompter&) = delete;
        // Empty once the prompter's name is owned, else why not.
        const std::string& failure() const { return failure_; }

      private:
        void* bus_ = nullptr;  // GDBusConnection
        std::string failure_;
    };

  private:
    SecretServiceSession();
    ~SecretServiceSession();
    std::string start();
    std::string startKeyring(const std::string& previousOwner);

    std::string address_;
    std::string failure_;
    pid_t bus_ = -1;
    pid_t keyring_ = -1;
};

// A keychain on the shared session named after `host`, the running test and the process, so tests
// in one process do not share items. Its cross-process lock file lies in the sandbox.
std::shared_ptr<KeychainStore> keychainStoreOfThisTest(const std::string& host);

}  // namespace quarra::test
