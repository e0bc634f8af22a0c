#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "platform/Keychain.h"
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

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

}  // namespace

TEST(KeychainTest, ItemsAddFindUpdateAndDeleteInAPrivateFile) {
    TempDir dir;
    const auto file = dir / "keys" / "host.json";
    Keychain keychain(std::make_shared<FileKeychainStore>(file));

    EXPECT_TRUE(keychain.copyMatching(byService("s"), nullptr).notFound());
    ASSERT_TRUE(keychain.add(item("s", "alice", "secret")).ok());
    EXPECT_EQ(keychain.add(item("s", "alice", "again")).status, KeychainStatus::DuplicateItem);
    ASSERT_TRUE(keychain.add(item("s", "bob", "other")).ok());

    KeychainQuery alice = byService("s");
    alice.account = "alice";
    KeychainItem found;
    ASSERT_TRUE(keychain.copyMatching(alice, &found).ok());
    EXPECT_EQ(toString(found.data), "secret");

    KeychainChanges changes;
    changes.data = toBytes(std::string("new\0bytes", 9));
    changes.label = "label";
    ASSERT_TRUE(keychain.update(alice, changes).ok());
    // A second object on the same file sees the change: nothing is cached in memory.
    Keychain reopened(std::make_shared<FileKeychainStore>(file));
    ASSERT_TRUE(reopened.copyMatching(alice, &found).ok());
    EXPECT_EQ(found.data, toBytes(std::string("new\0bytes", 9)));
    EXPECT_EQ(found.label, "label");

    std::vector<KeychainItem> all;
    ASSERT_TRUE(keychain.copyAllMatching(byService("s"), &all).ok());
    EXPECT_EQ(all.size(), 2u);
    KeychainQuery prefixed;
    prefixed.where = [](const KeychainItem& i) { return i.account.starts_with("b"); };
    ASSERT_TRUE(keychain.remove(prefixed).ok());
    EXPECT_TRUE(keychain.remove(prefixed).notFound());
    EXPECT_TRUE(keychain.update(prefixed, changes).notFound());
    ASSERT_TRUE(keychain.copyAllMatching(KeychainQuery{}, &all).ok());
    EXPECT_EQ(all.size(), 1u);

    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
}

TEST(KeychainTest, CorruptOrUnreadableStoreIsAnErrorNeverNoItem) {
    TempDir dir;
    const auto file = dir / "host.json";
    Keychain keychain(std::make_shared<FileKeychainStore>(file));
    ASSERT_TRUE(keychain.add(item("s", "a", "v")).ok());

    for (const std::string& bad :
         {std::string("{broken"), std::string(R"({"items": [{"service": 5}]})"),
          std::string(R"({"items": [{"data": "%%%"}]})"), std::string("[]")}) {
        writeFile(file, bad);
        KeychainResult result = keychain.copyMatching(byService("s"), nullptr);
        EXPECT_EQ(result.status, KeychainStatus::ReadFailed) << bad;
        ASSERT_NE(result.error, nullptr);
        EXPECT_EQ(result.error->domain(), KeychainErrorDomain);
        // A write must not replace what it could not read.
        EXPECT_EQ(keychain.add(item("t", "a", "v")).status, KeychainStatus::ReadFailed);
        EXPECT_EQ(readFile(file), bad);
    }
    // A folder in place of the file cannot be read either.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(keychain.copyMatching(byService("s"), nullptr).status, KeychainStatus::ReadFailed);
}

TEST(KeychainTest, StoreLockedByAnotherHolderTimesOutAsReadFailure) {
    TempDir dir;
    const auto file = dir / "host.json";
    Keychain keychain(std::make_shared<FileKeychainStore>(file, std::chrono::milliseconds(100)));
    ASSERT_TRUE(keychain.add(item("s", "a", "v")).ok());

    int fd = ::open((file.string() + ".lock").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(keychain.copyMatching(byService("s"), nullptr).status, KeychainStatus::ReadFailed);
    ::close(fd);
    EXPECT_TRUE(keychain.copyMatching(byService("s"), nullptr).ok());
}

TEST(KeychainTest, WritersInSeveralThreadsAndProcessesLoseNoItem) {
    TempDir dir;
    const auto file = dir / "host.json";
    auto addMany = [&](const std::string& prefix) {
        Keychain keychain(std::make_shared<FileKeychainStore>(file));
        for (int i = 0; i < 25; ++i) {
            if (!keychain.add(item(prefix + std::to_string(i), "", "x")).ok())
                return false;
        }
        return true;
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(addMany("child") ? 0 : 1);
    std::thread a([&] { EXPECT_TRUE(addMany("a")); });
    std::thread b([&] { EXPECT_TRUE(addMany("b")); });
    a.join();
    b.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::vector<KeychainItem> all;
    Keychain keychain(std::make_shared<FileKeychainStore>(file));
    ASSERT_TRUE(keychain.copyAllMatching(KeychainQuery{}, &all).ok());
    EXPECT_EQ(all.size(), 75u);
}

namespace {

// Forwards to a real store, failing the next read or write on request.
class FaultyStore : public KeychainStore {
  public:
    explicit FaultyStore(std::shared_ptr<KeychainStore> inner) : inner_(std::move(inner)) {}
    bool failNextRead = false;
    bool failNextWrite = false;

    KeychainResult transact(
        const std::function<bool(std::vector<KeychainItem>&)>& change) override {
        if (std::exchange(failNextRead, false)) {
            return {KeychainStatus::ReadFailed, Error::make(KeychainErrorDomain, 1, "injected")};
        }
        if (!std::exchange(failNextWrite, false))
            return inner_->transact(change);
        bool wanted = false;
        KeychainResult result = inner_->transact([&](std::vector<KeychainItem>& items) {
            wanted = change(items);
            return false;
        });
        if (result.ok() && wanted) {
            return {KeychainStatus::WriteFailed, Error::make(KeychainErrorDomain, 2, "injected")};
        }
        return result;
    }

  private:
    std::shared_ptr<KeychainStore> inner_;
};

}  // namespace

TEST(KeychainTest, InjectedStoreFailsTheNextReadOrWriteOnly) {
    TempDir dir;
    Keychain keychain(std::make_shared<FileKeychainStore>(dir / "host.json"));
    auto faulty = std::make_shared<FaultyStore>(keychain.store());
    keychain.setStore(faulty);

    faulty->failNextWrite = true;
    EXPECT_EQ(keychain.add(item("s", "a", "v")).status, KeychainStatus::WriteFailed);
    EXPECT_TRUE(keychain.copyMatching(byService("s"), nullptr).notFound());
    ASSERT_TRUE(keychain.add(item("s", "a", "v")).ok());
    faulty->failNextRead = true;
    EXPECT_EQ(keychain.copyMatching(byService("s"), nullptr).status, KeychainStatus::ReadFailed);
    EXPECT_TRUE(keychain.copyMatching(byService("s"), nullptr).ok());
}
