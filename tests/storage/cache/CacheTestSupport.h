#pragma once
// Helpers of the cache tests: a signed-in user as sign-in leaves it (the session's user, the user
// name in the keychain, the user's file key), and handler outcomes collected on the main queue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUserInternal.h"
#include "quarra/RunLoop.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra::test {

inline void signInCacheUser(const std::string& username, const std::vector<TVKQuarraPtr>& quarras) {
    ASSERT_EQ(KeychainItemStore::setUsername(username), nullptr);
    ASSERT_FALSE(
        TVKQuarraCryptManager::sharedInstance().generateFileEncryptionKeyForUsernameIfNeeded(
            username));
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        std::make_shared<TVKUserInternal>(username, quarras, quarras.at(0), 1));
}

inline void signOutCacheUser() {
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(nullptr);
    EXPECT_EQ(KeychainItemStore::resetAuthData(), nullptr);
}

// What one host handler delivered, and whether it ran on the main thread.
template <class Result>
struct Delivery {
    int calls = 0;
    bool onMain = false;
    Result result{};
    ErrorPtr error;

    auto handler() {
        return [this](const Result& r, const ErrorPtr& e) {
            ++calls;
            onMain = isMainThread();
            result = r;
            error = e;
        };
    }
    auto errorHandler() {
        return [this](const ErrorPtr& e) {
            ++calls;
            onMain = isMainThread();
            error = e;
        };
    }
    // The handler never runs inside the call: the main loop must be run to see it.
    ErrorPtr wait() {
        EXPECT_EQ(calls, 0);
        EXPECT_TRUE(runMainUntil([this] { return calls > 0; }, std::chrono::seconds(60)));
        EXPECT_EQ(calls, 1);
        EXPECT_TRUE(onMain);
        return error;
    }
};

struct NoResult {};

}  // namespace quarra::test
