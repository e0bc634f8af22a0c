#include "auth/TVKUpgradeManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "quarra/Bundle.h"
#include "platform/UserDefaults.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"
#include "support/FailingKeychainStore.h"
#include "support/SecretServiceSession.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;
namespace fs = std::filesystem;

namespace {

TVKUpgradeManager& upgrades() {
    return TVKUpgradeManager::sharedInstance();
}

TVKQuarraConfigurationManager& config() {
    return TVKQuarraConfigurationManager::sharedInstance();
}

using FailingStore = test::FailingKeychainStore;

// Old and current items on a real keychain store, behind a store that fails on request.
class UpgradeFixture : public testing::Test {
  protected:
    void SetUp() override { setUpKeychain(false); }
    void setUpKeychain(bool onSecretService) {
        Bundle::setMainBundle("com.example.host");
        if (onSecretService) {
            SecretServiceSession& session = SecretServiceSession::shared();
            ASSERT_TRUE(session.ok()) << session.failure();
            Keychain::standard().setStore(keychainStoreOfThisTest("com.example.host"));
        }
        failing = std::make_shared<FailingStore>(Keychain::standard().store());
        Keychain::standard().setStore(failing);
    }

    static const std::string& oldRoot() { return config().frameworkId(); }
    static const std::string& root() { return config().keychainIdentifierRoot(); }

    // An item as versions before 18.2.0 stored it.
    static void addOld(const std::string& suffix, const std::string& account,
                       const std::string& value) {
        KeychainItem item;
        item.generic = item.service = oldRoot() + suffix;
        item.account = account;
        item.data = toBytes(value);
        ASSERT_EQ(Keychain::standard().add(item), nullptr) << suffix;
    }
    // Alice signed in with the old layout; bob signed in earlier and still has a passcode.
    void oldLayout() {
        addOld(".auth.basic", "alice", "alice-password");
        addOld(".auth.session", "alice", "session-1");
        addOld(".auth.oauth.state", "alice", "oauth-state");
        addOld(".num_failed_unlock_attempts", "alice", "2");
        addOld(".passcode.alice", "alice", "1234");
        addOld(".passcode.bob", "bob", "9876");
        addOld(".encrypted_username.alice", "alice", "A1B2C3");
        addOld(".crypt.alice", "alice", kFileKey);
        for (const char* name : {"alice", "bob"}) {
            fs::create_directories(config().usersDirectory() / name);
            writeFile(config().usersDirectory() / name / "quarras", "old");
            writeFile(config().usersDirectory() / name / "currentQuarra", "old");
            writeFile(config().usersDirectory() / name / "auth_user", "kept");
        }
        UserDefaults::standard().setBool(true, biometricChoiceKey());
    }
    static std::string biometricChoiceKey() {
        return TVKQuarraAuthManager::sharedInstance()
            .userDefaultsBiometricAuthenticationUserSelectedKey();
    }
    static bool hasItem(const std::string& identifier) {
        KeychainQuery query;
        query.generic = identifier;
        auto found = Keychain::standard().copyMatching(query);
        return found && found->has_value();
    }
    static std::vector<std::string> oldItems() {
        auto items = Keychain::standard().copyAllMatching(KeychainQuery{});
        EXPECT_TRUE(items.ok());
        std::vector<std::string> old;
        for (const auto& item : items.valueOr({})) {
            if (item.generic.starts_with(oldRoot() + "."))
                old.push_back(item.generic);
        }
        return old;
    }
    static std::optional<std::string> storedVersion() {
        return UserDefaults::standard().stringForKey(TVKUpgradeManager::kPreviousVersionKey);
    }
    static std::optional<std::string> fileKey() {
        auto key = KeychainItemStoreCrypt::getFileEncryptionKeyForUsername("alice");
        EXPECT_EQ(key.error(), nullptr);
        return key.valueOr(std::nullopt);
    }
    // Everything of the old layout has gone where it belongs.
    void expectMigrated() {
        EXPECT_EQ(storedVersion(), "18.2.0");
        EXPECT_EQ(oldItems(), std::vector<std::string>{});
        EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1234");
        EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("bob"), "9876");
        EXPECT_EQ(KeychainItemStoreCrypt::getEncryptedUsernameForUsername("alice"), "A1B2C3");
        EXPECT_EQ(fileKey(), kFileKey);
        KeychainQuery query;
        query.generic = KeychainItemStoreCrypt::fileEncryptionIdentifierForUsername("alice");
        auto found = Keychain::standard().copyMatching(query);
        ASSERT_TRUE(found && found->has_value());
        EXPECT_EQ((*found)->service, root() + ".crypt");
        EXPECT_EQ((*found)->account, "alice");
        EXPECT_FALSE(*KeychainItemStore::getUsername());
        EXPECT_FALSE(*KeychainItemStore::getSessionId());
        EXPECT_FALSE(UserDefaults::standard().boolForKey(biometricChoiceKey()));
        // Only the signed-in user's files of the old format go.
        const fs::path alice = config().usersDirectory() / "alice";
        const fs::path bob = config().usersDirectory() / "bob";
        EXPECT_FALSE(fs::exists(alice / "quarras"));
        EXPECT_FALSE(fs::exists(alice / "currentQuarra"));
        EXPECT_TRUE(fs::exists(alice / "auth_user"));
        EXPECT_TRUE(fs::exists(bob / "quarras"));
    }

    static constexpr const char* kFileKey = "b2xkLWZpbGUta2V5LW9mLWFsaWNl";
    std::shared_ptr<FailingStore> failing;
};

// Every test runs on both stores: the 0600 file and a private Secret Service.
class UpgradeTest : public UpgradeFixture, public testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { setUpKeychain(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(, UpgradeTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "SecretService" : "File"; });

// Whichever keychain transaction fails, the user's keys stay reachable, the version is recorded
// only once everything has moved, and the next launch finishes the work. The failure is injected
// above the store, so the file store alone serves. The steps are shared out among four processes
// (the one with parameter k fails step k + 1, then k + 5, ...) to keep each one short.
class UpgradeFaultTest : public UpgradeFixture, public testing::WithParamInterface<int> {
  public:
    static constexpr int kShares = 4;
};
INSTANTIATE_TEST_SUITE_P(, UpgradeFaultTest, testing::Range(0, UpgradeFaultTest::kShares));

}  // namespace

TEST(UpgradeVersions, CompareNumericallyPartByPart) {
    using std::strong_ordering;
    struct Case {
        const char* a;
        const char* b;
        std::optional<strong_ordering> order;
    };
    const Case cases[] = {
        {"18.10", "18.9", strong_ordering::greater},
        {"18.10.0", "18.2.0", strong_ordering::greater},
        {"18.2.0", "18.2.0", strong_ordering::equal},
        {"18.2", "18.2.0", strong_ordering::equal},
        {"18.2.0.1", "18.2", strong_ordering::greater},
        {"9.9.9", "18.1.0", strong_ordering::less},
        {"18.01", "18.1", strong_ordering::equal},
        {"19", "18.99.99", strong_ordering::greater},
        {"", "18.2.0", std::nullopt},
        {"18.x", "18.2.0", std::nullopt},
        {"18..2", "18.2.0", std::nullopt},
        {"18.2.", "18.2.0", std::nullopt},
        {"v18.2", "18.2.0", std::nullopt},
        {"-1", "18.2.0", std::nullopt},
        {"18.2 ", "18.2.0", std::nullopt},
        {"99999999999999999999999", "18.2.0", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TVKUpgradeManager::compareVersions(c.a, c.b), c.order) << c.a << " vs " << c.b;
        if (c.order) {
            EXPECT_EQ(TVKUpgradeManager::compareVersions(c.b, c.a), 0 <=> *c.order)
                << c.b << " vs " << c.a;
        }
    }
}

TEST(UpgradeVersions, PreviousVersionDefaultsToTheOldestWhenMissingOrNotAVersion) {
    Bundle::setMainBundle("com.example.host");
    EXPECT_EQ(upgrades().previousVersion(), "18.1.0");
    upgrades().updatePreviousVersion("18.2.0");
    EXPECT_EQ(upgrades().previousVersion(), "18.2.0");
    UserDefaults::standard().setObject(Json(18), TVKUpgradeManager::kPreviousVersionKey);
    EXPECT_EQ(upgrades().previousVersion(), "18.1.0");
    UserDefaults::standard().setString("latest", TVKUpgradeManager::kPreviousVersionKey);
    EXPECT_EQ(upgrades().previousVersion(), "18.1.0");
}

TEST_P(UpgradeTest, LaunchAfterAnOldVersionSignsTheOldUserOutAndMovesPerUserItems) {
    oldLayout();
    // Single sign-on state of the current layout does not outlive the old user either.
    ASSERT_EQ(KeychainItemStore::setOAuthState(toBytes("not an archive")), nullptr);

    ASSERT_TRUE(TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions());
    expectMigrated();
    EXPECT_FALSE(*KeychainItemStore::getOAuthState());
    EXPECT_EQ(TVKQuarraAuthManager::sharedInstance().currentUser(), nullptr);

    // Done once: an item left under the old root later is not touched again.
    addOld(".passcode.carol", "carol", "5555");
    upgrades().performUpgradeTasksIfNecessary();
    EXPECT_TRUE(hasItem(oldRoot() + ".passcode.carol"));
}

TEST_P(UpgradeTest, InstallWithoutOldItemsKeepsTheSignedInUserOfTheCurrentLayout) {
    // An install of this layout that never stored a version: nothing of it may be lost.
    ASSERT_EQ(KeychainItemStore::setUsername("alice", "pw"), nullptr);
    ASSERT_EQ(KeychainItemStore::setSessionId("s-1"), nullptr);
    ASSERT_EQ(KeychainItemStore::setPasscode("1234", "alice"), nullptr);
    ASSERT_EQ(KeychainItemStoreCrypt::setFileEncryptionKeyForUsername("alice"), nullptr);
    const auto key = fileKey();
    fs::create_directories(config().usersDirectory() / "alice");
    writeFile(config().usersDirectory() / "alice" / "quarras", "a file of that name");
    UserDefaults::standard().setBool(true, biometricChoiceKey());

    upgrades().performUpgradeTasksIfNecessary();
    EXPECT_EQ(storedVersion(), "18.2.0");
    EXPECT_EQ(KeychainItemStore::getUsername(), "alice");
    EXPECT_EQ(KeychainItemStore::getPassword(), "pw");
    EXPECT_EQ(KeychainItemStore::getSessionId(), "s-1");
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1234");
    EXPECT_EQ(fileKey(), key);
    EXPECT_TRUE(fs::exists(config().usersDirectory() / "alice" / "quarras"));
    EXPECT_TRUE(UserDefaults::standard().boolForKey(biometricChoiceKey()));
}

TEST_P(UpgradeTest, VersionsAlreadyRunAreSkippedComparedAsNumbers) {
    for (const char* version : {"18.2.0", "18.10.0"}) {
        oldLayout();
        upgrades().updatePreviousVersion(version);
        upgrades().performUpgradeTasksIfNecessary();
        // "18.10.0" is later than "18.2.0", though not as text.
        EXPECT_EQ(storedVersion(), version);
        EXPECT_EQ(oldItems().size(), 8u) << version;
        EXPECT_TRUE(fs::exists(config().usersDirectory() / "alice" / "quarras"));
        EXPECT_TRUE(Keychain::standard().remove(KeychainQuery{}).ok());
    }
}

TEST_P(UpgradeFaultTest, KeychainFailingAtAnyStepLosesNothingAndIsRetriedAtTheNextLaunch) {
    oldLayout();
    upgrades().performUpgradeTasksIfNecessary();
    const int transactions = failing->count;
    ASSERT_GT(transactions, 10);

    for (int failAt = GetParam() + 1; failAt <= transactions; failAt += kShares) {
        SCOPED_TRACE("failing transaction " + std::to_string(failAt));
        ASSERT_TRUE(Keychain::standard().remove(KeychainQuery{}).ok());
        UserDefaults::standard().removeObjectForKey(TVKUpgradeManager::kPreviousVersionKey);
        oldLayout();
        failing->count = 0;
        failing->failAt = failAt;
        upgrades().performUpgradeTasksIfNecessary();
        failing->failAt = 0;

        // Every secret of a user is still under one of the two roots.
        for (const auto& [old, current] :
             {std::pair{".crypt.alice",
                        KeychainItemStoreCrypt::fileEncryptionIdentifierForUsername("alice")},
              {".passcode.alice", KeychainItemStore::passcodeIdentifierForUsername("alice")},
              {".passcode.bob", KeychainItemStore::passcodeIdentifierForUsername("bob")},
              {".encrypted_username.alice",
               KeychainItemStoreCrypt::encryptedUsernameIdentifierForUsername("alice")}}) {
            KeychainItemStore oldItem(oldRoot() + old);
            KeychainItemStore newItem(current);
            EXPECT_TRUE(!oldItem.objectForKey(KeychainAttribute::ValueData).empty() ||
                        !newItem.objectForKey(KeychainAttribute::ValueData).empty())
                << old;
        }
        if (storedVersion()) {
            expectMigrated();
            continue;
        }
        upgrades().performUpgradeTasksIfNecessary();
        expectMigrated();
    }
}

TEST_P(UpgradeTest, KeyWrittenByThisVersionAfterACutShortRunIsNeverReplaced) {
    // The first launch moved nothing; alice then signed in and got a key of this layout.
    addOld(".crypt.alice", "alice", kFileKey);
    fs::create_directories(config().usersDirectory() / "alice");
    ASSERT_EQ(KeychainItemStoreCrypt::setFileEncryptionKeyForUsername("alice"), nullptr);
    const auto current = fileKey();
    ASSERT_NE(current, kFileKey);

    upgrades().performUpgradeTasksIfNecessary();
    EXPECT_EQ(storedVersion(), "18.2.0");
    EXPECT_EQ(fileKey(), current);
    // The older key still opens the files it encrypted.
    KeychainItemStore old(oldRoot() + ".crypt.alice");
    EXPECT_EQ(old.objectForKey(KeychainAttribute::ValueData), kFileKey);
}

TEST_P(UpgradeTest, OldUserNameThatWouldLeaveTheUsersFolderRemovesNoFile) {
    addOld(".auth.basic", "..", "pw");
    addOld(".auth.session", "..", "s");
    // users/../quarras would be the SDK's own folder.
    writeFile(config().usersDirectory() / ".." / "quarras", "not the user's");

    upgrades().performUpgradeTasksIfNecessary();
    EXPECT_TRUE(fs::exists(config().usersDirectory() / ".." / "quarras"));
    EXPECT_EQ(oldItems(), std::vector<std::string>{});
    EXPECT_EQ(storedVersion(), "18.2.0");
}
