#include <gtest/gtest.h>
#include <stdlib.h>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUserInternal.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "support/FailingKeychainStore.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;
namespace fs = std::filesystem;

namespace {

class ConfigurationTest : public testing::Test {
  protected:
    void SetUp() override { Bundle::setMainBundle("com.example.host"); }

    static fs::path appData() {
        return sandbox() / "data" / "com.example.host" / "Application Support" /
               "com.tovik.QuarraMobileSDK";
    }
    static KeychainItem sdkItem(const std::string& identifier) {
        KeychainItem item;
        item.generic = item.service = identifier;
        item.data = toBytes("secret");
        return item;
    }
    static std::vector<std::string> storedGenerics() {
        auto items = Keychain::standard().copyAllMatching(KeychainQuery{});
        EXPECT_TRUE(items);
        std::vector<std::string> generics;
        for (const auto& item : items.valueOr({}))
            generics.push_back(item.generic);
        return generics;
    }
    static std::shared_ptr<TVKUserInternal> alice() {
        auto q = std::make_shared<TVKQuarra>(42, "Main", "q.example.com");
        return std::make_shared<TVKUserInternal>("alice", std::vector{q}, q, 7);
    }
};

}  // namespace

TEST_F(ConfigurationTest, LaunchLaysOutIdentifiersAndFolders) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_EQ(config.frameworkId(), "com.tovik.QuarraMobileSDK");
    EXPECT_EQ(config.keychainIdentifierRoot(), "com.example.host-com.tovik.QuarraMobileSDK");
    EXPECT_EQ(config.applicationDataDirectory(), appData());
    for (const char* folder : {"users", "uploads", "downloads", "logs"}) {
        EXPECT_TRUE(fs::is_directory(appData() / folder)) << folder;
    }
    EXPECT_FALSE(fs::exists(appData() / "cache"));
    EXPECT_EQ(config.logDirectory(), appData() / "logs");

    auto quarra = TVKQuarra(42, "Main", "q.example.com");
    EXPECT_EQ(config.cacheDatabaseFileForQuarra(quarra, "alice", true),
              appData() / "cache" / "alice" / "quarra42_cache.db");
    EXPECT_TRUE(fs::is_directory(appData() / "cache" / "alice"));
    EXPECT_FALSE(fs::exists(appData() / "cache" / "alice" / "quarra42_cache.db"));
    EXPECT_EQ(config.cacheFileStoreDirectoryForUsername("bob", true),
              appData() / "cache" / "bob" / "cache_file_store");
    EXPECT_TRUE(fs::is_directory(appData() / "cache" / "bob" / "cache_file_store"));
    EXPECT_EQ(config.thumbnailURLForImageName("7.png", "carol"),
              appData() / "users" / "carol" / "thumbnails" / "7.png");
    EXPECT_FALSE(fs::exists(appData() / "users" / "carol"));
    EXPECT_EQ(config.thumbnailsDirectoryForUsername("carol", true),
              appData() / "users" / "carol" / "thumbnails");
    EXPECT_TRUE(fs::is_directory(appData() / "users" / "carol" / "thumbnails"));
}

TEST_F(ConfigurationTest, HostCanKeepLogsUnderDocuments) {
    Bundle::setMainBundle("com.example.host", {{"com.tovik.log.use_documents_dir", true}});
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_EQ(config.logDirectory(), documentsDirectory() / "logs");
    EXPECT_TRUE(fs::is_directory(documentsDirectory() / "logs"));
    EXPECT_TRUE(fs::is_directory(appData() / "uploads"));
    EXPECT_FALSE(fs::exists(appData() / "logs"));
}

TEST_F(ConfigurationTest, FirstLaunchWipesOnlyTheSdksKeychainItemsAndOnlyOnce) {
    const std::string root = "com.example.host-com.tovik.QuarraMobileSDK";
    ASSERT_EQ(Keychain::standard().add(sdkItem(root + ".auth.session")), nullptr);
    ASSERT_EQ(Keychain::standard().add(sdkItem(root + ".crypt.alice")), nullptr);
    ASSERT_EQ(Keychain::standard().add(sdkItem("com.tovik.QuarraMobileSDK.passcode.alice")),
              nullptr);  // older root
    ASSERT_EQ(Keychain::standard().add(sdkItem("com.example.host.own")), nullptr);

    TVKQuarraConfigurationManager first;
    EXPECT_EQ(storedGenerics(), std::vector<std::string>{"com.example.host.own"});
    EXPECT_TRUE(fs::exists(first.installMarkerFile()));

    ASSERT_EQ(Keychain::standard().add(sdkItem(root + ".crypt.alice")), nullptr);
    TVKQuarraConfigurationManager second;
    EXPECT_EQ(storedGenerics(),
              (std::vector<std::string>{"com.example.host.own", root + ".crypt.alice"}));
}

TEST_F(ConfigurationTest, FoldersFromBeforeTheMarkerAreAnUpgradeNotANewInstall) {
    fs::create_directories(appData() / "users" / "alice");
    ASSERT_EQ(
        Keychain::standard().add(sdkItem("com.example.host-com.tovik.QuarraMobileSDK.crypt.alice")),
        nullptr);
    TVKQuarraConfigurationManager config;
    EXPECT_EQ(storedGenerics().size(), 1u);
    EXPECT_TRUE(fs::exists(config.installMarkerFile()));
}

TEST_F(ConfigurationTest, FolderThatCannotBeCreatedNeverWipes) {
    writeFile(sandbox() / "data" / "com.example.host", "a file where the host folder belongs");
    ASSERT_EQ(
        Keychain::standard().add(sdkItem("com.example.host-com.tovik.QuarraMobileSDK.crypt.alice")),
        nullptr);
    for (int launch = 0; launch < 2; ++launch) {
        TVKQuarraConfigurationManager config;
        EXPECT_EQ(storedGenerics().size(), 1u) << launch;
    }
}

TEST_F(ConfigurationTest, NewInstallWipeRefusedByALockedKeyringIsRetriedAtTheNextLaunch) {
    const std::string root = "com.example.host-com.tovik.QuarraMobileSDK";
    ASSERT_EQ(Keychain::standard().add(sdkItem(root + ".auth.session")), nullptr);
    ASSERT_EQ(Keychain::standard().add(sdkItem("com.example.host.own")), nullptr);
    auto healthy = Keychain::standard().store();
    for (auto failing : {FailingKeychainStore::Everything, FailingKeychainStore::Writes}) {
        Keychain::standard().setStore(std::make_shared<FailingKeychainStore>(healthy, failing));
        TVKQuarraConfigurationManager locked;
        EXPECT_FALSE(fs::exists(locked.installMarkerFile())) << failing;
        Keychain::standard().setStore(healthy);
        EXPECT_EQ(storedGenerics().size(), 2u) << failing;
    }

    // The folders now exist, yet this is still the new install whose wipe is owed.
    TVKQuarraConfigurationManager unlocked;
    EXPECT_EQ(storedGenerics(), std::vector<std::string>{"com.example.host.own"});
    EXPECT_TRUE(fs::exists(unlocked.installMarkerFile()));
    EXPECT_FALSE(fs::exists(unlocked.wipePendingMarkerFile()));
}

TEST_F(ConfigurationTest, UserNamesThatLeaveTheirFolderAreRefused) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    const auto user = alice();
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "../x", "a/b", std::string("a\0b", 3)}) {
        ErrorPtr error = config.subdirectory("thumbnails", bad, true).error();
        ASSERT_NE(error, nullptr) << bad;
        EXPECT_EQ(error->domain(), TVKQuarraErrorDomain);
        EXPECT_EQ(error->code(), TVKInvalidUsernameErrorCode);
        EXPECT_FALSE(config.cacheDirectoryForUsername(bad, true)) << bad;
        EXPECT_NE(config.writeUser(*user, bad), nullptr) << bad;
        error = config.readUserForUsername(bad).error();
        ASSERT_NE(error, nullptr) << bad;
        EXPECT_EQ(error->code(), TVKInvalidUsernameErrorCode);
        EXPECT_NE(config.deleteTransientInfoForUsername(bad), nullptr) << bad;
    }
    EXPECT_FALSE(config.thumbnailURLForImageName("../../x", "alice"));
    EXPECT_FALSE(config.subdirectory("..", "alice", false));
    // Nothing was created outside (or inside) the SDK's folders.
    EXPECT_FALSE(fs::exists(appData() / "x"));
    EXPECT_FALSE(fs::exists(appData() / "users" / "a"));
}

TEST_F(ConfigurationTest, UserArchiveWritesReadsAndDeletes) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_EQ(KeychainItemStore::setSessionId("s"), nullptr);
    EXPECT_EQ(config.readUserForUsername("alice"), nullptr);  // missing is not an error
    ASSERT_EQ(config.writeUser(*alice(), "alice"), nullptr);
    auto read = config.readUserForUsername("alice");
    ASSERT_TRUE(read) << read.error()->description();
    ASSERT_TRUE(*read);
    EXPECT_TRUE((*read)->isEqual(*alice()));
    EXPECT_TRUE(fs::exists(appData() / "users" / "alice" / "thumbnails") == false);

    EXPECT_EQ(config.deleteTransientInfoForUsername("alice"), nullptr);
    EXPECT_FALSE(fs::exists(appData() / "users" / "alice" / "auth_user"));
    EXPECT_TRUE(fs::is_directory(appData() / "users" / "alice"));
    EXPECT_NE(config.deleteTransientInfoForUsername("alice"), nullptr);
}

TEST_F(ConfigurationTest, ArchiveWithTheLegacyQuarraClassNameReadsBack) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    Json document = KeyedArchiver::archivedDocument(*alice());
    document["$root"]["quarras"][0]["$class"] = "Quarra";
    document["$root"]["currentQuarra"]["$class"] = "Quarra";
    fs::create_directories(appData() / "users" / "alice");
    writeFile(appData() / "users" / "alice" / "auth_user", document.dump());
    auto read = config.readUserForUsername("alice").valueOr(nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->currentQuarra()->Id(), 42u);
    EXPECT_EQ(read->quarras()[0]->URL()->host(), "q.example.com");
}

TEST_F(ConfigurationTest, CorruptForeignOrUnreadableArchiveGivesAnErrorNotAUser) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    const auto file = appData() / "users" / "alice" / "auth_user";
    fs::create_directories(file.parent_path());
    Json quarraRoot = KeyedArchiver::archivedDocument(TVKQuarra(1, "x", "h"));
    Json wrongType = KeyedArchiver::archivedDocument(*alice());
    wrongType["$root"]["userId"] = "seven";
    for (const std::string& contents : std::vector<std::string>{
             std::string("\x89PNG\r\n"), std::string("{}"), std::string("[1,2]"), quarraRoot.dump(),
             wrongType.dump(),
             std::string(R"({"$archiver":"KeyedArchiver","$root":{"$class":"NSString"}})")}) {
        writeFile(file, contents);
        EXPECT_NE(config.readUserForUsername("alice").error(), nullptr) << contents;
    }
    fs::remove(file);
    fs::create_directory(file);  // unreadable as a file
    EXPECT_NE(config.readUserForUsername("alice").error(), nullptr);
}

TEST_F(ConfigurationTest, UsernamesListTheUsersFolder) {
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_EQ(config.usernames(), std::nullopt);
    ASSERT_EQ(config.writeUser(*alice(), "alice"), nullptr);
    ASSERT_TRUE(config.subdirectory("thumbnails", "bob", true));
    auto names = config.usernames();
    ASSERT_TRUE(names);
    std::sort(names->begin(), names->end());
    EXPECT_EQ(*names, (std::vector<std::string>{"alice", "bob"}));
    fs::remove_all(config.usersDirectory());
    writeFile(config.usersDirectory(), "");
    EXPECT_EQ(config.usernames(), std::nullopt);
}

TEST_F(ConfigurationTest, LaunchHookRestoresTheStoredUserAndMarksTheSdkInitialised) {
    {
        TVKQuarraConfigurationManager setup;  // an earlier run of the host signed alice in
        EXPECT_EQ(KeychainItemStore::setUsername("alice"), nullptr);
        EXPECT_EQ(KeychainItemStore::setSessionId("s"), nullptr);
        ASSERT_EQ(setup.writeUser(*alice(), "alice"), nullptr);
    }
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_FALSE(config.isSDKInitialized());
    EXPECT_EQ(TVKQuarraAuthManager::sharedInstance().authDNS(), "localhost");
    EXPECT_TRUE(TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions());
    EXPECT_TRUE(config.isSDKInitialized());
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    ASSERT_TRUE(user);
    EXPECT_TRUE(user->isEqual(*alice()));
    EXPECT_EQ(user->sessionId(), "s");
    EXPECT_EQ(config.currentUsername(), "alice");
    EXPECT_FALSE(
        TVKSDKApplicationDelegate::sharedInstance().openURL(*Url::parse("com.example:/x")));
}

TEST_F(ConfigurationTest, LaunchWithoutStoredUserOrWithACorruptArchiveSignsNobodyIn) {
    EXPECT_EQ(KeychainItemStore::setUsername("alice"), nullptr);
    fs::create_directories(appData() / "users" / "alice");
    writeFile(appData() / "users" / "alice" / "auth_user", "garbage");
    // The wipe must not remove alice's name: the folders predate this launch.
    EXPECT_TRUE(TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions());
    EXPECT_EQ(TVKQuarraAuthManager::sharedInstance().currentUser(), nullptr);
    EXPECT_EQ(TVKQuarraConfigurationManager::sharedInstance().currentUsername(), "alice");
    EXPECT_FALSE(TVKQuarraAuthManager::sharedInstance().isBiometricAuthenticationEnabled());
}
