#pragma once
// The keychain's error domain and codes: a secret (the session, a passcode, a file key) could not
// be read or stored.

namespace quarra {

// Domain of the keychain's errors.
inline constexpr const char* KeychainErrorDomain = "quarra.keychain";
enum KeychainErrorCode : long {
    // Another item has the same service, account and access group.
    KeychainDuplicateItemError = 2,
    // The store exists but could not be read: unreadable, corrupt, or locked past the time-out.
    KeychainReadFailedError = 3,
    // The store could not be written; it is as it was before.
    KeychainWriteFailedError = 4,
};

}  // namespace quarra
