#pragma once
// Helpers of the crypt tests. The signed-in user is the user name kept in the keychain, as sign-in
// stores it.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "auth/KeychainItemStore.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra::test {

inline void signIn(const std::string& username) {
    EXPECT_EQ(KeychainItemStore::setUsername(username), nullptr);
    EXPECT_EQ(TVKQuarraCryptManager::sharedInstance().generateFileEncryptionKeyForUsernameIfNeeded(
                  username),
              nullptr);
}

inline void signOut() {
    EXPECT_EQ(KeychainItemStore::resetAuthData(), nullptr);
}

// Plain content that repeats in no block, so misplaced bytes show in a round trip.
inline std::string pattern(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>(i * 13 + i / 509);
    }
    return data;
}

}  // namespace quarra::test
