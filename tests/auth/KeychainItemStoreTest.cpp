#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "auth/KeychainItemStore.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/Bundle.h"
#include "platform/SecretServiceKeychainStore.h"
#include "support/SecretServiceSession.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;

namespace {

// Every test runs on both stores: the 0600 file and a private Secret Service.
class KeychainItemStoreTest : public testing::TestWithParam<bool> {
  protected:
    bool onSecretService() const { return GetParam(); }
    void SetUp() override {
        Bundle::setMainBundle("com.example.host");
        if (onSecretService()) {
            SecretServiceSession& session = SecretServiceSession::shared();
            ASSERT_TRUE(session.ok()) << session.failure();
            // A keychain name of this test's own: tests in one process do not share items.
            Keychain::standard().setStore(keychainStoreOfThisTest("com.example.host"));
        }
    }
    void TearDown() override {
        if (onSecretService()) {
            EXPECT_EQ(SecretServiceSession::shared().unlock(), "");
            Keychain::standard().setStore(Keychain::standardStore());
        }
    }
    // Makes the keychain unreadable and returns what restores it: a torn file, or a locked
    // keyring whose unlock prompt is dismissed (the test bus has no prompter).
    std::function<void()> makeUnreadable() {
        if (onSecretService()) {
            EXPECT_EQ(SecretServiceSession::shared().lock(), "");
            return [] { EXPECT_EQ(SecretServiceSession::shared().unlock(), ""); };
        }
        const auto file = sandbox() / "data" / "keychains" / "com.example.host.json";
        std::string before = readFile(file);
        writeFile(file, before.substr(0, before.size() / 2));  // torn: not JSON any more
        std::string corrupt = readFile(file);
        return [file, before, corrupt] {
            EXPECT_EQ(readFile(file), corrupt) << "nothing was written meanwhile";
            writeFile(file, before);
        };
    }
    static std::string root() {
        return TVKQuarraConfigurationManager::sharedInstance().keychainIdentifierRoot();
    }
    static KeychainItem stored(const std::string& identifier) {
        KeychainQuery query;
        query.generic = identifier;
        auto found = Keychain::standard().copyMatching(query);
        EXPECT_TRUE(found && *found) << identifier;
        return found && *found ? **found : KeychainItem{};
    }
};

}  // namespace

TEST_P(KeychainItemStoreTest, MissingItemsReadAsNothing) {
    EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getPassword(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getOAuthState(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
}

TEST_P(KeychainItemStoreTest, ItemsCarryTheDocumentedIdentifiersServicesAndAccounts) {
    EXPECT_EQ(root(), "com.example.host-com.tovik.QuarraMobileSDK");
    EXPECT_EQ(KeychainItemStore::setSessionId("early"),
              nullptr);  // before any user name: no account
    EXPECT_EQ(stored(KeychainItemStore::sessionIdentifier()).account, "");

    EXPECT_EQ(KeychainItemStore::setUsername("alice"), nullptr);
    EXPECT_EQ(KeychainItemStore::setPassword("pw"), nullptr);
    EXPECT_EQ(KeychainItemStore::setSessionId("s-1"), nullptr);
    EXPECT_EQ(KeychainItemStore::setNumFailedUnlockAttempts(0), nullptr);
    EXPECT_EQ(KeychainItemStore::setPasscode("1234", "alice"), nullptr);
    EXPECT_EQ(KeychainItemStore::setPasscode("9876", "bob"), nullptr);

    KeychainItem basic = stored(root() + ".auth.basic");
    EXPECT_EQ(basic.service, root() + ".auth.basic");
    EXPECT_EQ(basic.account, "alice");
    EXPECT_EQ(toString(basic.data), "pw");
    EXPECT_EQ(stored(root() + ".auth.session").account, "alice");
    EXPECT_EQ(KeychainItemStore::getSessionId(), "s-1");
    KeychainItem failed = stored(root() + ".num_failed_unlock_attempts");
    EXPECT_EQ(toString(failed.data), "0");
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
    KeychainItem alicePasscode = stored(root() + ".passcode.alice");
    EXPECT_EQ(alicePasscode.service, root() + ".passcode");
    EXPECT_EQ(alicePasscode.account, "alice");
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1234");
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("bob"), "9876");
    EXPECT_EQ(KeychainItemStore::setNumFailedUnlockAttempts(3), nullptr);
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 3u);
}

TEST_P(KeychainItemStoreTest, OAuthStateRoundTripsAsBase64AndNothingDeletesIt) {
    Bytes state = {0, 0xFF, 'x', '\n'};
    EXPECT_EQ(KeychainItemStore::setOAuthState(state), nullptr);
    EXPECT_EQ(toString(stored(KeychainItemStore::OAuthIdentifer()).data), "AP94Cg==");
    EXPECT_EQ(KeychainItemStore::getOAuthState(), state);
    EXPECT_EQ(KeychainItemStore::setOAuthState(std::nullopt), nullptr);
    EXPECT_EQ(KeychainItemStore::getOAuthState(), std::nullopt);
    KeychainQuery query;
    query.generic = KeychainItemStore::OAuthIdentifer();
    EXPECT_EQ(Keychain::standard().copyMatching(query), std::nullopt);
}

TEST_P(KeychainItemStoreTest, ResetAuthDataKeepsPasscodesAndOtherItems) {
    EXPECT_EQ(KeychainItemStore::setUsername("alice", "pw"), nullptr);
    EXPECT_EQ(KeychainItemStore::setSessionId("s"), nullptr);
    EXPECT_EQ(KeychainItemStore::setOAuthState(Bytes{1}), nullptr);
    EXPECT_EQ(KeychainItemStore::setNumFailedUnlockAttempts(2), nullptr);
    EXPECT_EQ(KeychainItemStore::setPasscode("1234", "alice"), nullptr);
    KeychainItemStore other(root() + ".crypt.alice");
    EXPECT_EQ(other.setObject("key", KeychainAttribute::ValueData), nullptr);

    EXPECT_EQ(KeychainItemStore::resetAuthData(), nullptr);
    EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getOAuthState(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getNumFailedUnlockAttempts(), 0u);
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1234");
    EXPECT_EQ(toString(stored(root() + ".crypt.alice").data), "key");
}

TEST_P(KeychainItemStoreTest, UnreadableKeychainIsReportedAndNeverOverwritten) {
    EXPECT_EQ(KeychainItemStore::setUsername("alice", "pw"), nullptr);
    auto restore = makeUnreadable();

    // Every getter that a security decision rests on tells "could not read" from "none".
    EXPECT_TRUE(isKeychainError(KeychainItemStore::getUsername().error(), KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(KeychainItemStore::getPasscodeForUsername("alice").error(),
                                KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(KeychainItemStore::getNumFailedUnlockAttempts().error(),
                                KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(KeychainItemStore::resetAuthData(), KeychainReadFailedError));

    KeychainItemStore item(KeychainItemStore::basicAuthIdentifier());
    EXPECT_FALSE(item.exists());
    EXPECT_NE(item.readError(), nullptr);
    EXPECT_TRUE(isKeychainError(item.setObject("mallory", KeychainAttribute::Account),
                                KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(item.resetKeychainItem(), KeychainReadFailedError));
    EXPECT_NE(KeychainItemStore::setSessionId("s"), nullptr);
    EXPECT_TRUE(isKeychainError(KeychainItemStore::resetKeychainForNewInstall("old", root()),
                                KeychainReadFailedError));

    restore();
    EXPECT_EQ(KeychainItemStore::getUsername(), "alice");
    EXPECT_EQ(KeychainItemStore::getPassword(), "pw");
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
}

TEST_P(KeychainItemStoreTest, NewInstallResetRemovesOnlyTheSdksItems) {
    const std::string frameworkId = TVKQuarraConfigurationManager::sharedInstance().frameworkId();
    EXPECT_EQ(KeychainItemStore::setUsername("alice"), nullptr);
    EXPECT_EQ(KeychainItemStore::setPasscode("1234", "alice"), nullptr);
    EXPECT_EQ(
        KeychainItemStore(frameworkId + ".auth.basic").setObject("old", KeychainAttribute::Account),
        nullptr);
    KeychainItem hostItem;
    hostItem.service = "com.example.host.own";
    hostItem.generic = "com.example.host.own";
    hostItem.data = toBytes("keep");
    ASSERT_EQ(Keychain::standard().add(hostItem), nullptr);
    KeychainItem lookalike;
    lookalike.generic = frameworkId + "Other.x";  // shares the text, not the root
    ASSERT_EQ(Keychain::standard().add(lookalike), nullptr);

    ASSERT_EQ(KeychainItemStore::resetKeychainForNewInstall(frameworkId, root()), nullptr);
    auto left = Keychain::standard().copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(left);
    ASSERT_EQ(left->size(), 2u);
    EXPECT_EQ((*left)[0].generic, "com.example.host.own");
    EXPECT_EQ((*left)[1].generic, frameworkId + "Other.x");
    EXPECT_EQ(KeychainItemStore::resetKeychainForNewInstall(frameworkId, root()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(, KeychainItemStoreTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "SecretService" : "File"; });
