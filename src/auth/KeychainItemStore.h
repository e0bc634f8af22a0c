#pragma once
// One keychain generic-password item, found by its identifier (the item's "generic" attribute),
// read into memory at construction and written back at every change. The static members name the
// SDK's own items and convert their values.
//
// Unlike a plain wrapper, this one never writes over what it could not read: when the item could
// not be looked up (store unreadable, corrupt or locked), readError() says so and every write is
// refused with the same error, so a stored secret is never replaced by empty defaults.
// Objects are used by one thread at a time; the keychain underneath is safe across threads and
// processes.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarra/Bytes.h"
#include "platform/Keychain.h"
#include "quarra/Result.h"

namespace quarra {

enum class KeychainAttribute {
    Service,
    Account,
    Generic,
    Label,
    Description,
    AccessGroup,
    ValueData
};

class KeychainItemStore {
  public:
    // Looks the item up. The access group is accepted for callers that name one and not used.
    explicit KeychainItemStore(std::string identifier,
                               std::optional<std::string> accessGroup = std::nullopt);
    KeychainItemStore(const KeychainItemStore&) = delete;
    KeychainItemStore& operator=(const KeychainItemStore&) = delete;

    // Stores `value` and writes the item at once; no write when the value is unchanged.
    [[nodiscard]] ErrorPtr setObject(const std::string& value, KeychainAttribute key);
    // Stores every value and writes the item once: all of them or, on failure, none.
    [[nodiscard]] ErrorPtr setObjects(
        const std::vector<std::pair<std::string, KeychainAttribute>>& values);
    // The value held; "" for attributes never set. The value data is the stored bytes as text.
    std::string objectForKey(KeychainAttribute key) const;
    // Deletes the item and starts over with empty account, label, description and value. Tried
    // even when the item could not be read: a deletion overwrites nothing worth keeping.
    [[nodiscard]] ErrorPtr resetKeychainItem();

    // True when the item was in the keychain at construction (or has been written since).
    bool exists() const { return exists_; }
    // Why the item could not be looked up; null when the lookup worked (found or not).
    const ErrorPtr& readError() const { return readError_; }

    // --- The SDK's items. Identifiers derive from the configuration manager's identifier root.
    static std::string basicAuthIdentifier();
    static std::string basicAuthIdentifier(const std::string& root);
    static std::string sessionIdentifier();
    static std::string sessionIdentifier(const std::string& root);
    static std::string OAuthIdentifer();
    static std::string OAuthIdentifer(const std::string& root);
    static std::string passcodeIdentifier();
    static std::string passcodeIdentifierForUsername(const std::string& username);
    static std::string numFailedUnlockAttemptsIdentifier();

    // Getters answer nullopt for a missing or empty value and an error when the keychain could
    // not be read. Setters return why the keychain refused
    // the write (null on success); a refused write changes nothing of the item.
    [[nodiscard]] static ErrorPtr setUsername(const std::string& username);
    static Result<std::optional<std::string>> getUsername();
    [[nodiscard]] static ErrorPtr setPassword(const std::string& password);
    static Result<std::optional<std::string>> getPassword();
    [[nodiscard]] static ErrorPtr setUsername(const std::string& username,
                                              const std::string& password);
    [[nodiscard]] static ErrorPtr setSessionId(const std::string& sessionId);
    static Result<std::optional<std::string>> getSessionId();
    // Nothing deletes the item.
    [[nodiscard]] static ErrorPtr setOAuthState(const std::optional<Bytes>& state);
    static Result<std::optional<Bytes>> getOAuthState();
    // Deletes the user-name, session, OAuth-state and failed-unlock items (passcodes and the
    // per-user key items stay). Tries every item; returns the first failure.
    [[nodiscard]] static ErrorPtr resetAuthData();

    [[nodiscard]] static ErrorPtr setPasscode(const std::string& passcode,
                                              const std::string& username);
    static Result<std::optional<std::string>> getPasscodeForUsername(const std::string& username);
    [[nodiscard]] static ErrorPtr resetPasscodeForUsername(const std::string& username);
    [[nodiscard]] static ErrorPtr setNumFailedUnlockAttempts(std::uint64_t count);
    // 0 when none is stored.
    static Result<std::uint64_t> getNumFailedUnlockAttempts();

    // The new-install wipe: deletes every item of this SDK, those under `keychainIdentifierRoot`
    // and those under the older root `frameworkId`, and nothing else of the host's keychain.
    [[nodiscard]] static ErrorPtr resetKeychainForNewInstall(
        const std::string& frameworkId, const std::string& keychainIdentifierRoot);

  private:
    // Sets the attribute in memory only; false when it already held `value`.
    bool assign(const std::string& value, KeychainAttribute key);
    [[nodiscard]] ErrorPtr writeToKeychain();

    const std::string identifier_;
    KeychainItem item_;
    bool exists_ = false;
    ErrorPtr readError_;
};

}  // namespace quarra
