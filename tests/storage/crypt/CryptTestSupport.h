#pragma once
// Helpers of the crypt tests. Signed in as sign-in leaves it: the user name kept in the keychain
// and the session's user of that name.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUserInternal.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra::test {

inline void setSessionUser(const std::string& username) {
    auto quarra = std::make_shared<TVKQuarra>(1, "Q", "q.example.com");
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        std::make_shared<TVKUserInternal>(username, std::vector<TVKQuarraPtr>{quarra}, quarra, 1));
}

inline void signIn(const std::string& username) {
    setSessionUser(username);
    EXPECT_EQ(KeychainItemStore::setUsername(username), nullptr);
    EXPECT_EQ(TVKQuarraCryptManager::sharedInstance().generateFileEncryptionKeyForUsernameIfNeeded(
                  username),
              nullptr);
}

inline void signOut() {
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(nullptr);
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
