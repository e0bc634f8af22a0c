#pragma once
// Signing users in and out for the crypt tests: the signed-in user is the user name kept in the
// keychain, as sign-in stores it.
#include <string>

#include "auth/KeychainItemStore.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra::test {

inline void signIn(const std::string& username) {
    KeychainItemStore::setUsername(username);
    TVKQuarraCryptManager::sharedInstance().generateFileEncryptionKeyForUsernameIfNeeded(username);
}

inline void signOut() {
    KeychainItemStore::resetAuthData();
}

}  // namespace quarra::test
