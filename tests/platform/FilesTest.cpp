// Atomic replacement and the modes of what the SDK writes: a failed write leaves the old contents
// and no temporary file; the SDK's folders and files are the user's alone whatever the umask.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "platform/Directories.h"
#include "platform/Files.h"
#include "platform/URLSessionStore.h"
#include "platform/UserDefaults.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(FilesTest, WriteFailingHalfWayKeepsTheOldContentsAndLeavesNoTemporaryFile) {
    TempDir dir;
    ASSERT_EQ(files::writeAtomically(dir / "file", "old"), nullptr);
    auto store = URLSessionStore::open(dir / "store");
    ASSERT_TRUE(store);
    URLSessionStore::Record record;
    record.identifier = 7;
    record.description = "first";
    ASSERT_EQ(store->save(record), nullptr);
    auto storeFiles = namesIn(dir / "store");

    // The file-size limit makes a write fail part way, like a full disk.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::string big(64 * 1024, 'x');

    ErrorPtr error = files::writeAtomically(dir / "file", big);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), PosixErrorDomain);
    EXPECT_EQ(error->code(), EFBIG);
    EXPECT_EQ(readFile(dir / "file"), "old");

    record.description = big;
    EXPECT_NE(store->save(record), nullptr);
    EXPECT_EQ(namesIn(dir / "store"), storeFiles);
    auto records = store->load();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].description, "first");

    std::vector<std::string> expected{"file", "store"};
    EXPECT_EQ(namesIn(dir.path()), expected);
}

TEST(FilesTest, AtomicFileDroppedUncommittedLeavesNothingAndTemporaryNamesDiffer) {
    TempDir dir;
    {
        AtomicFile first(dir / "file");
        AtomicFile second(dir / "file");
        ASSERT_EQ(first.error(), nullptr);
        ASSERT_EQ(second.error(), nullptr);
        EXPECT_NE(first.temporaryPath(), second.temporaryPath());
        EXPECT_TRUE(files::isPartialFile(first.temporaryPath()));
        EXPECT_EQ(first.write("partial"), nullptr);
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(FilesTest, TheSDKsFoldersAndFilesAreTheUsersAlone) {
    umask(022);
    UserDefaults::standard().setString("value", "key");
    EXPECT_EQ(UserDefaults::standard().synchronize(), nullptr);
    EXPECT_EQ(modeOf(hostDataDirectory() / "Preferences.json"), 0600u);
    EXPECT_EQ(modeOf(hostDataDirectory()), 0700u);

    TempDir dir;
    ASSERT_EQ(files::createDirectories(dir / "a" / "b"), nullptr);
    EXPECT_EQ(modeOf(dir / "a"), 0700u);
    EXPECT_EQ(modeOf(dir / "a" / "b"), 0700u);
    ASSERT_EQ(files::writeAtomically(dir / "a" / "file", "x"), nullptr);
    EXPECT_EQ(modeOf(dir / "a" / "file"), 0600u);
    ASSERT_TRUE(URLSessionStore::open(dir / "sessions" / "store"));
    EXPECT_EQ(modeOf(dir / "sessions"), 0700u);
    EXPECT_EQ(modeOf(dir / "sessions" / "store"), 0700u);
}
