#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;

TEST(UserDefaultsTest, ValuesSurviveAReloadAndTypedReadsRefuseOtherTypes) {
    TempDir dir;
    {
        UserDefaults defaults(dir / "prefs.json");
        defaults.setString("alice", "user");
        defaults.setBool(true, "flag");
        defaults.setInteger(1LL << 40, "big");
        defaults.setObject(Json{{"k", "v"}}, "dict");
        defaults.setString("gone", "temp");
        defaults.removeObjectForKey("temp");
    }
    UserDefaults defaults(dir / "prefs.json");
    EXPECT_EQ(defaults.stringForKey("user"), "alice");
    EXPECT_TRUE(defaults.boolForKey("flag"));
    EXPECT_EQ(defaults.integerForKey("big"), 1LL << 40);
    EXPECT_EQ(defaults.dictionaryForKey("dict"), (Json{{"k", "v"}}));
    EXPECT_TRUE(defaults.objectForKey("temp").is_null());
    // Wrong types answer "none", never throw.
    EXPECT_EQ(defaults.stringForKey("flag"), std::nullopt);
    EXPECT_EQ(defaults.dictionaryForKey("user"), std::nullopt);
    EXPECT_EQ(defaults.integerForKey("user"), 0);
    EXPECT_FALSE(defaults.boolForKey("missing"));
}

TEST(UserDefaultsTest, CorruptFileStartsEmptyAndIsKeptAsideAtTheFirstWrite) {
    TempDir dir;
    writeFile(dir / "prefs.json", "{not json");
    UserDefaults defaults(dir / "prefs.json");
    EXPECT_TRUE(defaults.objectForKey("anything").is_null());
    defaults.setBool(true, "fresh");
    EXPECT_EQ(readFile(dir / "prefs.json.corrupt"), "{not json");
    EXPECT_TRUE(UserDefaults(dir / "prefs.json").boolForKey("fresh"));
}

TEST(UserDefaultsTest, FailedWriteIsKeptAndRetriedBySynchronize) {
    TempDir dir;
    // A file where the folder should be makes every write fail.
    writeFile(dir / "blocked", "");
    UserDefaults defaults(dir / "blocked" / "prefs.json");
    defaults.setString("v", "k");
    EXPECT_EQ(defaults.stringForKey("k"), "v");
    EXPECT_NE(defaults.synchronize(), nullptr);
    std::filesystem::remove(dir / "blocked");
    EXPECT_EQ(defaults.synchronize(), nullptr);
    EXPECT_EQ(UserDefaults(dir / "blocked" / "prefs.json").stringForKey("k"), "v");
}

TEST(UserDefaultsTest, ConcurrentWritersLoseNothing) {
    TempDir dir;
    UserDefaults defaults(dir / "prefs.json");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i)
                defaults.setInteger(i, std::to_string(t) + "." + std::to_string(i));
        });
    }
    for (auto& thread : threads)
        thread.join();
    UserDefaults reloaded(dir / "prefs.json");
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(reloaded.integerForKey(std::to_string(t) + "." + std::to_string(i)), i);
        }
    }
}

TEST(UserDefaultsTest, StandardDefaultsLiveInTheHostFolder) {
    UserDefaults::standard().setBool(true, "x");
    EXPECT_EQ(UserDefaults::standard().file().parent_path().parent_path(), sandbox() / "data");
    EXPECT_TRUE(std::filesystem::exists(UserDefaults::standard().file()));
}

// Two objects on one file stand for two processes of the host: each holds its own memory.
TEST(UserDefaultsTest, TwoProcessesNeverDropEachOthersKeys) {
    TempDir dir;
    UserDefaults first(dir / "prefs.json");
    UserDefaults second(dir / "prefs.json");
    first.setString("first", "a");
    second.setString("second", "b");
    first.setString("first", "c");
    second.setString("first", "b");  // its own change wins over what it read
    second.removeObjectForKey("c");  // and so does its removal
    UserDefaults reloaded(dir / "prefs.json");
    EXPECT_EQ(reloaded.objectForKey("a"), "first");
    EXPECT_EQ(reloaded.objectForKey("b"), "first");
    EXPECT_TRUE(reloaded.objectForKey("c").is_null());
    // What the other saved since is seen at the next save or reload.
    EXPECT_EQ(first.objectForKey("c"), "first");
    ASSERT_EQ(first.reload(), nullptr);
    EXPECT_EQ(first.objectForKey("b"), "first");
    EXPECT_TRUE(first.objectForKey("c").is_null());
}

TEST(UserDefaultsTest, AnUnreadableFileIsNeverWrittenOver) {
    TempDir dir;
    UserDefaults defaults(dir / "prefs.json");
    defaults.setString("k", "kept");
    // A folder in its place reads as an error, not as an empty file.
    std::filesystem::rename(dir / "prefs.json", dir / "saved.json");
    std::filesystem::create_directory(dir / "prefs.json");
    defaults.setString("n", "new");
    EXPECT_NE(defaults.synchronize(), nullptr);
    EXPECT_NE(defaults.reload(), nullptr);
    std::filesystem::remove(dir / "prefs.json");
    std::filesystem::rename(dir / "saved.json", dir / "prefs.json");
    EXPECT_EQ(defaults.synchronize(), nullptr);
    UserDefaults reloaded(dir / "prefs.json");
    EXPECT_EQ(reloaded.objectForKey("kept"), "k");
    EXPECT_EQ(reloaded.objectForKey("new"), "n");
}

TEST(UserDefaultsTest, APartialFileOfAKilledSaveIsRemoved) {
    TempDir dir;
    UserDefaults defaults(dir / "prefs.json");
    defaults.setString("v", "k");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        AtomicFile file(dir / "prefs.json");
        (void)file.write(R"({"k": "half)");
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    auto partials = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            count += files::isPartialFile(entry.path());
        return count;
    };
    ASSERT_EQ(partials(), 1);
    ASSERT_EQ(defaults.removeLeftoverPartialFiles(), nullptr);
    EXPECT_EQ(partials(), 0);
    EXPECT_EQ(UserDefaults(dir / "prefs.json").objectForKey("k"), "v");
}
