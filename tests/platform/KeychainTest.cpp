#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/Directories.h"
#include "platform/Files.h"
#include "platform/Keychain.h"
#include "platform/SecretServiceKeychainStore.h"
#include "quarra/Bundle.h"
#include "support/FailingKeychainStore.h"
#include "support/SecretServiceSession.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;

namespace {

KeychainItem item(std::string service, std::string account, std::string data) {
    KeychainItem i;
    i.service = std::move(service);
    i.account = std::move(account);
    i.generic = i.service;
    i.data = toBytes(data);
    return i;
}

KeychainQuery byService(std::string service) {
    KeychainQuery query;
    query.service = std::move(service);
    return query;
}

mode_t fileModeOf(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

}  // namespace

// The tests below run on both stores: the 0600 file and a private Secret Service.
enum class StoreKind { File, SecretService };

class KeychainStores : public testing::TestWithParam<StoreKind> {
  protected:
    void SetUp() override {
        if (GetParam() == StoreKind::SecretService) {
            SecretServiceSession& session = SecretServiceSession::shared();
            ASSERT_TRUE(session.ok()) << session.failure();
        }
    }
    void TearDown() override {
        if (GetParam() == StoreKind::SecretService) {
            EXPECT_EQ(SecretServiceSession::shared().unlock(), "");
        }
    }
    bool onFile() const { return GetParam() == StoreKind::File; }

    // A store over the same items each time: the file, or this test's own name in the keyring.
    std::shared_ptr<KeychainStore> makeStore(
        std::chrono::milliseconds lockTimeout = std::chrono::seconds(10)) {
        if (onFile())
            return std::make_shared<FileKeychainStore>(file, lockTimeout);
        return std::make_shared<SecretServiceKeychainStore>(name, file.string() + ".lock",
                                                            lockTimeout);
    }
    // What makes a store unreadable: a torn file; a locked keyring whose unlock prompt is
    // dismissed (the test bus has no prompter).
    void makeUnreadable() {
        if (onFile()) {
            writeFile(file, readFile(file).substr(0, 10));
        } else {
            ASSERT_EQ(SecretServiceSession::shared().lock(), "");
        }
    }

    TempDir dir;
    const std::filesystem::path file = dir / "keys" / "host.json";
    const std::string name = std::string("test.") +
                             testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
                             std::to_string(::getpid());
};

INSTANTIATE_TEST_SUITE_P(, KeychainStores,
                         testing::Values(StoreKind::File, StoreKind::SecretService),
                         [](const auto& info) {
                             return info.param == StoreKind::File ? "File" : "SecretService";
                         });

TEST_P(KeychainStores, ItemsAddFindUpdateAndDelete) {
    Keychain keychain(makeStore());

    EXPECT_EQ(keychain.copyMatching(byService("s")), std::nullopt);
    ASSERT_EQ(keychain.add(item("s", "alice", "secret")), nullptr);
    EXPECT_TRUE(
        isKeychainError(keychain.add(item("s", "alice", "again")), KeychainDuplicateItemError));
    ASSERT_EQ(keychain.add(item("s", "bob", "other")), nullptr);

    KeychainQuery alice = byService("s");
    alice.account = "alice";
    auto found = keychain.copyMatching(alice);
    ASSERT_TRUE(found && *found);
    EXPECT_EQ(toString((*found)->data), "secret");

    KeychainChanges changes;
    changes.data = toBytes(std::string("new\0bytes", 9));
    changes.label = "label";
    ASSERT_EQ(keychain.update(alice, changes), 1u);
    // A second object on the same store sees the change: nothing is cached in memory.
    Keychain reopened(makeStore());
    found = reopened.copyMatching(alice);
    ASSERT_TRUE(found && *found);
    EXPECT_EQ((*found)->data, toBytes(std::string("new\0bytes", 9)));
    EXPECT_EQ((*found)->label, "label");
    EXPECT_EQ((*found)->generic, "s");

    auto all = keychain.copyAllMatching(byService("s"));
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 2u);
    EXPECT_EQ((*all)[0].account, "alice") << "in the order they were added";
    EXPECT_EQ((*all)[1].account, "bob");
    KeychainQuery prefixed;
    prefixed.where = [](const KeychainItem& i) { return i.account.starts_with("b"); };
    ASSERT_EQ(keychain.remove(prefixed), 1u);
    EXPECT_EQ(keychain.remove(prefixed), 0u);
    EXPECT_EQ(keychain.update(prefixed, changes), 0u);
    all = keychain.copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 1u);

    // Changing what names an item moves it; nothing is left under the old name.
    KeychainChanges rename;
    rename.account = "carol";
    ASSERT_EQ(keychain.update(alice, rename), 1u);
    EXPECT_EQ(reopened.copyMatching(alice), std::nullopt);
    all = reopened.copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ((*all)[0].account, "carol");

    if (onFile()) {
        EXPECT_EQ(fileModeOf(file), 0600u);
        EXPECT_EQ(fileModeOf(file.parent_path()), 0700u);
    }
}

TEST_P(KeychainStores, UnreadableStoreIsAnErrorNeverNoItemAndIsNotWritten) {
    Keychain keychain(makeStore());
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);
    makeUnreadable();

    EXPECT_TRUE(
        isKeychainError(keychain.copyMatching(byService("s")).error(), KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(keychain.copyMatching(byService("missing")).error(),
                                KeychainReadFailedError));
    // A write must not replace what it could not read.
    EXPECT_TRUE(isKeychainError(keychain.add(item("t", "a", "v")), KeychainReadFailedError));
    EXPECT_TRUE(isKeychainError(keychain.remove(byService("s")).error(), KeychainReadFailedError));

    if (!onFile()) {
        ASSERT_EQ(SecretServiceSession::shared().unlock(), "");
        auto all = keychain.copyAllMatching(KeychainQuery{});
        ASSERT_TRUE(all);
        ASSERT_EQ(all->size(), 1u);
        EXPECT_EQ((*all)[0], item("s", "a", "v"));
    }
}

TEST(KeychainTest, CorruptFileIsAnErrorNeverNoItem) {
    TempDir dir;
    const auto file = dir / "host.json";
    Keychain keychain(std::make_shared<FileKeychainStore>(file));
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);

    for (const std::string& bad :
         {std::string("{broken"), std::string(R"({"items": [{"service": 5}]})"),
          std::string(R"({"items": [{"data": "%%%"}]})"), std::string("[]")}) {
        writeFile(file, bad);
        EXPECT_TRUE(
            isKeychainError(keychain.copyMatching(byService("s")).error(), KeychainReadFailedError))
            << bad;
        EXPECT_TRUE(isKeychainError(keychain.add(item("t", "a", "v")), KeychainReadFailedError));
        EXPECT_EQ(readFile(file), bad);
    }
    // A folder in place of the file cannot be read either.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_TRUE(
        isKeychainError(keychain.copyMatching(byService("s")).error(), KeychainReadFailedError));
}

TEST_P(KeychainStores, StoreLockedByAnotherHolderTimesOutAsReadFailure) {
    Keychain keychain(makeStore(std::chrono::milliseconds(100)));
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);

    int fd = ::open((file.string() + ".lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_TRUE(
        isKeychainError(keychain.copyMatching(byService("s")).error(), KeychainReadFailedError));
    ::close(fd);
    EXPECT_TRUE(keychain.copyMatching(byService("s")));
}

TEST_P(KeychainStores, WritersInSeveralThreadsAndProcessesLoseNoItem) {
    // The file store is shared with a child process. Keyring clients do not survive a fork, so
    // there a store object of its own per thread stands in for the other process: only the lock
    // file orders them.
    const int perWriter = onFile() ? 25 : 8;
    auto addMany = [&](const std::string& prefix) {
        Keychain keychain(makeStore());
        for (int i = 0; i < perWriter; ++i) {
            if (keychain.add(item(prefix + std::to_string(i), "", "x")))
                return false;
        }
        return true;
    };
    pid_t child = -1;
    if (onFile()) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(addMany("child") ? 0 : 1);
    }
    std::thread a([&] { EXPECT_TRUE(addMany("a")); });
    std::thread b([&] { EXPECT_TRUE(addMany("b")); });
    std::thread c([&] {
        if (!onFile()) {
            EXPECT_TRUE(addMany("c"));
        }
    });
    a.join();
    b.join();
    c.join();
    if (child > 0) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    Keychain keychain(makeStore());
    auto all = keychain.copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 3u * perWriter);
}

TEST(KeychainTest, SecretServiceItemsOfAnotherHostAreNotSeen) {
    ASSERT_TRUE(SecretServiceSession::shared().ok()) << SecretServiceSession::shared().failure();
    TempDir dir;
    Keychain mine(
        std::make_shared<SecretServiceKeychainStore>("com.example.mine", dir / "mine.lock"));
    Keychain theirs(
        std::make_shared<SecretServiceKeychainStore>("com.example.theirs", dir / "theirs.lock"));
    ASSERT_EQ(mine.add(item("s", "a", "mine")), nullptr);
    EXPECT_EQ(theirs.copyMatching(byService("s")), std::nullopt);
    ASSERT_EQ(theirs.add(item("s", "a", "theirs")), nullptr);
    EXPECT_EQ(theirs.remove(KeychainQuery{}), 1u);
    auto found = mine.copyMatching(byService("s"));
    ASSERT_TRUE(found && *found);
    EXPECT_EQ(toString((*found)->data), "mine");
}

TEST(KeychainTest, UnlockPromptLeftUnansweredIsAReadFailure) {
    SecretServiceSession& session = SecretServiceSession::shared();
    ASSERT_TRUE(session.ok()) << session.failure();
    TempDir dir;
    auto store = [&](std::chrono::milliseconds unlockTimeout) {
        return std::make_shared<SecretServiceKeychainStore>(
            "test.unanswered", dir / "lock", std::chrono::seconds(10), unlockTimeout);
    };
    Keychain keychain(store(std::chrono::seconds(60)));
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);
    ASSERT_EQ(session.lock(), "");
    {
        SecretServiceSession::SilentPrompter prompter;
        ASSERT_EQ(prompter.failure(), "");
        // Whatever the time-out, waiting on a prompt nobody answers ends as unreadable.
        Keychain impatient(store(std::chrono::milliseconds(300)));
        EXPECT_TRUE(isKeychainError(impatient.copyMatching(byService("missing")).error(),
                                    KeychainReadFailedError));
        EXPECT_TRUE(isKeychainError(impatient.add(item("t", "a", "v")), KeychainReadFailedError));
    }
    ASSERT_EQ(session.unlock(), "");
    auto all = keychain.copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), 1u);
    EXPECT_EQ((*all)[0], item("s", "a", "v"));
}

// A desktop session restarts a keyring daemon that crashed; a host that keeps running must find
// the new one, through reads and writes alike, without being restarted itself.
TEST(KeychainTest, AKeyringRestartedUnderARunningHostAnswersAgain) {
    SecretServiceSession& session = SecretServiceSession::shared();
    ASSERT_TRUE(session.ok()) << session.failure();
    TempDir dir;
    Keychain keychain(std::make_shared<SecretServiceKeychainStore>("test.restarted", dir / "lock"));
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);

    ASSERT_EQ(session.restartKeyring(), "");
    auto found = keychain.copyMatching(byService("s"));
    ASSERT_TRUE(found) << found.error()->description();
    ASSERT_TRUE(*found);
    EXPECT_EQ(toString((*found)->data), "v");

    ASSERT_EQ(session.restartKeyring(), "");
    ASSERT_EQ(keychain.add(item("t", "a", "w")), nullptr);
    auto all = keychain.copyAllMatching(KeychainQuery{});
    ASSERT_TRUE(all) << all.error()->description();
    EXPECT_EQ(all->size(), 2u);
    EXPECT_EQ(keychain.remove(KeychainQuery{}), 2u);
}

TEST(KeychainTest, StandardStoreIsTheSecretServiceWhenOneAnswersUnlessForced) {
    struct Case {
        const char* forced;  // QUARRA_KEYCHAIN, or none
        bool sessionBus;
        bool secretService;
    } cases[] = {
        {nullptr, true, true},          {nullptr, false, false},         {"file", true, false},
        {"secret-service", true, true}, {"secret-service", false, true}, {"other", true, true},
    };
    ASSERT_TRUE(SecretServiceSession::shared().ok()) << SecretServiceSession::shared().failure();
    const std::string address = getenv("DBUS_SESSION_BUS_ADDRESS");
    // The bus a desktop session keeps in its runtime folder must not count here.
    unsetenv("XDG_RUNTIME_DIR");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.forced ? c.forced : "(unset)") +
                     (c.sessionBus ? " with a bus" : " without a bus"));
        if (c.forced)
            setenv("QUARRA_KEYCHAIN", c.forced, 1);
        else
            unsetenv("QUARRA_KEYCHAIN");
        if (c.sessionBus)
            setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        else
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        auto store = Keychain::standardStore();
        EXPECT_EQ(std::dynamic_pointer_cast<SecretServiceKeychainStore>(store) != nullptr,
                  c.secretService);
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    setenv("QUARRA_KEYCHAIN", "file", 1);
}

TEST(KeychainTest, AnInstallationKeepsTheStoreThatHoldsItsSecrets) {
    ASSERT_TRUE(SecretServiceSession::shared().ok()) << SecretServiceSession::shared().failure();
    const std::string address = getenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("QUARRA_KEYCHAIN");
    auto busUp = [&](bool up) {
        if (up)
            setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        else
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
    };
    const auto folder = dataHomeDirectory() / "keychains";
    const std::string keyringHost = "com.example.keyring-" + std::to_string(getpid());
    const std::string fileHost = "com.example.file-" + std::to_string(getpid());

    // Once the Secret Service held the secrets, its absence is an error, never the file store.
    Bundle::setMainBundle(keyringHost);
    ASSERT_EQ(Keychain(Keychain::standardStore()).add(item("s", "a", "v")), nullptr);
    EXPECT_EQ(fileModeOf(folder / (keyringHost + ".secret-service")), 0600u);
    busUp(false);
    Keychain orphaned(Keychain::standardStore());
    auto read = orphaned.copyMatching(byService("s"));
    ASSERT_FALSE(read);
    EXPECT_TRUE(isKeychainError(read.error(), KeychainReadFailedError));
    EXPECT_NE(read.error()->localizedDescription().find("The keyring is unavailable"),
              std::string::npos);
    EXPECT_TRUE(isKeychainError(orphaned.add(item("t", "a", "v")), KeychainReadFailedError));
    EXPECT_FALSE(std::filesystem::exists(folder / (keyringHost + ".json")));
    busUp(true);
    auto back = Keychain(Keychain::standardStore()).copyMatching(byService("s"));
    ASSERT_TRUE(back && *back);
    EXPECT_EQ((*back)->data, toBytes("v"));

    // Once the file held them, a Secret Service that turns up later does not take over.
    Bundle::setMainBundle(fileHost);
    busUp(false);
    ASSERT_EQ(Keychain(Keychain::standardStore()).add(item("s", "a", "v")), nullptr);
    busUp(true);
    EXPECT_TRUE(std::dynamic_pointer_cast<FileKeychainStore>(Keychain::standardStore()));
    EXPECT_FALSE(std::filesystem::exists(folder / (fileHost + ".secret-service")));

    setenv("QUARRA_KEYCHAIN", "file", 1);
}

// Where the secrets may be elsewhere, no store starts afresh with a new file key: the choice
// stays with the Secret Service (which says it is unavailable until it answers), or is refused.
TEST(KeychainTest, NoNewFileKeyWhileTheSecretServiceMayHoldTheSecrets) {
    const char* bus = getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::optional<std::string> address = bus ? std::optional<std::string>(bus) : std::nullopt;
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");  // no Secret Service answers
    TempDir data;
    const auto folder = dataHomeDirectory() / "keychains";
    std::filesystem::create_directories(folder);
    auto danglingLink = [](const std::filesystem::path& marker) {
        std::filesystem::create_symlink(marker.string() + ".gone", marker);
    };
    auto plainMarker = [](const std::filesystem::path& marker) {
        writeFile(marker, "secret-service\n");
    };
    enum Outcome { NewFile, SecretService, Refused };
    struct Case {
        const char* name;
        const char* forced;
        std::function<void(const std::filesystem::path& marker)> arrange;
        bool dependentData;
        bool unreadableName;  // a host name too long for a file name: no path can be looked at
        Outcome outcome;
    } cases[] = {
        {"a new installation: the users' folder is empty", nullptr, nullptr, false, false, NewFile},
        {"the users' data without marker or file", nullptr, nullptr, true, false, SecretService},
        {"a dangling link as the marker", nullptr, danglingLink, false, false, SecretService},
        {"a marker that cannot be looked at", nullptr, nullptr, false, true, SecretService},
        {"the file forced beside a marker", "file", plainMarker, false, false, Refused},
        {"the file forced beside a dangling marker", "file", danglingLink, true, false, Refused},
        {"the file forced without a marker", "file", nullptr, true, false, NewFile},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string host = "com.example.choice-" + std::to_string(getpid()) + "-" +
                                 std::to_string(n++) +
                                 (c.unreadableName ? std::string(300, 'x') : std::string());
        Bundle::setMainBundle(host);
        const auto marker = folder / (host + ".secret-service");
        const auto file = folder / (host + ".json");
        if (c.arrange)
            c.arrange(marker);
        const auto users = data / std::to_string(n);
        std::filesystem::create_directories(users);
        if (c.dependentData)
            writeFile(users / "alice.sealed", "ciphertext");
        Keychain::setDependentData({users});
        if (c.forced)
            setenv("QUARRA_KEYCHAIN", c.forced, 1);
        else
            unsetenv("QUARRA_KEYCHAIN");

        auto store = Keychain::standardStore();
        EXPECT_EQ(std::dynamic_pointer_cast<FileKeychainStore>(store) != nullptr,
                  c.outcome == NewFile);
        EXPECT_EQ(std::dynamic_pointer_cast<SecretServiceKeychainStore>(store) != nullptr,
                  c.outcome == SecretService);
        Keychain keychain(store);
        auto read = keychain.copyMatching(byService("s"));
        if (c.outcome == NewFile) {
            EXPECT_TRUE(read);
            continue;
        }
        ASSERT_FALSE(read);
        EXPECT_TRUE(isKeychainError(read.error(), KeychainReadFailedError));
        const std::string said = read.error()->localizedDescription();
        // (A name too long for a file fails the lock file first.)
        if (!c.unreadableName) {
            EXPECT_NE(said.find("The keyring is unavailable"), std::string::npos) << said;
        }
        if (c.outcome == Refused) {
            EXPECT_NE(said.find("keeps its secrets in the Secret Service"), std::string::npos);
        }
        EXPECT_TRUE(isKeychainError(keychain.add(item("s", "a", "v")), KeychainReadFailedError));
        std::error_code unreadable;
        EXPECT_FALSE(std::filesystem::exists(file, unreadable));
    }
    Keychain::setDependentData({});
    if (address)
        setenv("DBUS_SESSION_BUS_ADDRESS", address->c_str(), 1);
    setenv("QUARRA_KEYCHAIN", "file", 1);
}

TEST_P(KeychainStores, StoreFailuresReachTheCallerAndChangeNothing) {
    Keychain keychain(makeStore());
    auto failing = std::make_shared<FailingKeychainStore>(keychain.store());
    keychain.setStore(failing);

    failing->failing = FailingKeychainStore::Writes;
    EXPECT_TRUE(isKeychainError(keychain.add(item("s", "a", "v")), KeychainWriteFailedError));
    failing->failing = FailingKeychainStore::None;
    EXPECT_EQ(keychain.copyMatching(byService("s")), std::nullopt);
    ASSERT_EQ(keychain.add(item("s", "a", "v")), nullptr);
    failing->failing = FailingKeychainStore::Everything;
    EXPECT_TRUE(
        isKeychainError(keychain.copyMatching(byService("s")).error(), KeychainReadFailedError));
    failing->failing = FailingKeychainStore::None;
    EXPECT_TRUE(keychain.copyMatching(byService("s")));
}

TEST(KeychainTest, ACopyOfTheSecretsThatAKilledWriteLeftIsGoneAtTheNextUse) {
    TempDir dir;
    const auto file = dir / "host.json";
    {
        Keychain keychain(std::make_shared<FileKeychainStore>(file));
        ASSERT_EQ(keychain.add(item("session", "alice", "old secret")), nullptr);
    }
    // The writer dies after the new version is written beside the file, before it replaces it.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        AtomicFile copy(file);
        (void)copy.write(R"({"version": 1, "items": [{"data": "bmV3IHNlY3JldA=="}]})");
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto copies = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            if (files::isPartialFile(entry.path()))
                names.push_back(entry.path().filename().string());
        }
        return names;
    };
    ASSERT_EQ(copies().size(), 1u);
    // The next launch's first look at its keychain.
    Keychain keychain(std::make_shared<FileKeychainStore>(file));
    auto found = keychain.copyMatching(byService("session"));
    ASSERT_TRUE(found);
    EXPECT_EQ(copies(), std::vector<std::string>());
}
