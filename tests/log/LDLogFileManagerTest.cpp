#include "log/LDLogFileManagerDefault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "log/LDFileLogger.h"
#include "log/TVKFileLogger.h"
#include "log/LDLog.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "support/TestSupport.h"

using namespace quarra;
namespace fs = std::filesystem;

namespace {

class LDLogFileManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { Bundle::setMainBundle("com.example.host"); }

    // A log file named for `date` with `size` bytes.
    fs::path make(const std::string& date, size_t size, const std::string& suffix = ".log") {
        fs::path path = dir / ("com.example.host " + date + suffix);
        test::writeFile(path, std::string(size, 'x'));
        return path;
    }

    test::TempDir dir;
};

std::vector<std::string> names(const std::vector<fs::path>& paths) {
    std::vector<std::string> out;
    for (const auto& p : paths)
        out.push_back(p.filename().string());
    return out;
}

}  // namespace

TEST_F(LDLogFileManagerTest, NamesSortAndRecogniseLogFiles) {
    LDLogFileManagerDefault manager(dir.path());
    EXPECT_EQ(LDLogFileManagerDefault::applicationName(), "com.example.host");
    auto name = manager.newLogFileName();
    ASSERT_TRUE(name.starts_with("com.example.host ") && name.ends_with(".log")) << name;
    // "yyyy-MM-dd--HH-mm-ss-SSS" in GMT.
    EXPECT_EQ(name.size(), std::string("com.example.host 2026-01-02--03-04-05-678.log").size());

    make("2026-01-02--03-04-05-678", 1);
    make("2026-01-03--03-04-05-678", 1, ".archived.log");
    make("2026-01-01--00-00-00-000", 1);
    test::writeFile(dir / "upload.log", "x");
    test::writeFile(dir / "offset", "12345678");
    test::writeFile(dir / "other.host 2026-01-04--00-00-00-000.log", "x");
    EXPECT_EQ(names(manager.sortedLogFilePaths()),
              (std::vector<std::string>{"com.example.host 2026-01-03--03-04-05-678.archived.log",
                                        "com.example.host 2026-01-02--03-04-05-678.log",
                                        "com.example.host 2026-01-01--00-00-00-000.log"}));
}

TEST_F(LDLogFileManagerTest, CollidingNamesGetAnAttemptNumber) {
    LDLogFileManagerDefault manager(dir.path());
    manager.setMaximumNumberOfLogFiles(0);
    // Made in a tight loop, some of the names fall into the same millisecond.
    std::set<std::string> made;
    for (int i = 0; i < 50; ++i) {
        auto path = manager.createNewLogFile();
        ASSERT_TRUE(path);
        EXPECT_TRUE(made.insert(path->filename().string()).second);
    }
    EXPECT_EQ(manager.unsortedLogFileNames().size(), 50u);
    for (const auto& name : made) {
        // "<app> <date>.log" or "<app> <date> <n>.log".
        auto parts = std::count(name.begin(), name.end(), ' ');
        EXPECT_TRUE(parts == 1 || parts == 2) << name;
    }
}

TEST_F(LDLogFileManagerTest, PruningKeepsCountAndQuota) {
    LDLogFileManagerDefault manager(dir.path());
    // A count of 1: a new file deletes every older one, archived or not.
    manager.setMaximumNumberOfLogFiles(1);
    make("2020-01-01--00-00-00-000", 10);
    make("2020-01-02--00-00-00-000", 10, ".archived.log");
    auto fresh = manager.createNewLogFile();
    ASSERT_TRUE(fresh);
    EXPECT_EQ(manager.sortedLogFilePaths(), std::vector<fs::path>{*fresh});

    // A quota and no count: deleted from the first file at which the total exceeds it.
    fs::remove(*fresh);
    manager.setMaximumNumberOfLogFiles(0);
    manager.setLogFilesDiskQuota(25);
    make("2020-01-05--00-00-00-000", 10);
    make("2020-01-04--00-00-00-000", 10);
    make("2020-01-03--00-00-00-000", 10);
    make("2020-01-02--00-00-00-000", 10);
    manager.deleteOldLogFiles();
    EXPECT_EQ(names(manager.sortedLogFilePaths()),
              (std::vector<std::string>{"com.example.host 2020-01-05--00-00-00-000.log",
                                        "com.example.host 2020-01-04--00-00-00-000.log"}));
    // The newest file alone over the quota stays while it is being written, not once archived.
    manager.setLogFilesDiskQuota(5);
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFilePaths().size(), 1u);
    fs::rename(dir / "com.example.host 2020-01-05--00-00-00-000.log",
               dir / "com.example.host 2020-01-05--00-00-00-000.archived.log");
    manager.deleteOldLogFiles();
    EXPECT_TRUE(manager.sortedLogFilePaths().empty());
}

TEST_F(LDLogFileManagerTest, ArchivedMarkLivesInTheName) {
    auto path = make("2020-01-01--00-00-00-000", 1);
    LDLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_EQ(info.fileName(), "com.example.host 2020-01-01--00-00-00-000.archived.log");
    EXPECT_TRUE(fs::exists(info.filePath()));
    EXPECT_TRUE(info.isArchived());
    info.setIsArchived(false);
    EXPECT_EQ(info.filePath(), path);
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(LDLogFileManagerTest, FileLoggerRollsWhenItsFileIsDeletedUnderIt) {
    auto manager = std::make_shared<LDLogFileManagerDefault>(dir.path());
    auto logger = std::make_shared<LDFileLogger>(manager);
    LDLog::sharedInstance().addLogger(logger);
    auto current = [&] {
        return logger->loggerQueue()->syncResult([&] {
            auto info = logger->currentLogFileInfo();
            return info ? info->filePath() : fs::path();
        });
    };
    // Rolling before anything was written does nothing.
    logger->loggerQueue()->sync([&] { logger->rollLogFileNow(); });
    fs::path first = current();
    EXPECT_FALSE(manager->sortedLogFileInfos().front()->isArchived());

    LDLog::sharedInstance().log(false, "one", LDLogLevelAll, LDLogFlagInfo, 0, "f", "fn", 1,
                                nullptr);
    EXPECT_TRUE(test::readFile(first).ends_with("  one\n"));
    fs::remove(first);
    // The watch rolls the logger off the deleted file; the next line starts a new one.
    ASSERT_TRUE(runMainUntil([&] { return current() != first; }, std::chrono::seconds(20)));
    LDLog::sharedInstance().log(false, "two", LDLogLevelAll, LDLogFlagInfo, 0, "f", "fn", 1,
                                nullptr);
    EXPECT_TRUE(test::readFile(current()).ends_with("  two\n"));
    EXPECT_EQ(logger->droppedLines(), 0u);
}

TEST_F(LDLogFileManagerTest, UnusableFolderDropsAndCountsLines) {
    // A folder that cannot exist: its parent is a file.
    test::writeFile(dir / "plain", "x");
    auto manager = std::make_shared<LDLogFileManagerDefault>(dir / "plain" / "logs");
    auto logger = std::make_shared<LDFileLogger>(manager);
    LDLog::sharedInstance().addLogger(logger);
    LDLog::sharedInstance().log(false, "lost", LDLogLevelAll, LDLogFlagInfo, 0, "f", "fn", 1,
                                nullptr);
    EXPECT_EQ(logger->droppedLines(), 1u);
}

TEST_F(LDLogFileManagerTest, LegacyLogsOfThisHostOnlyMoveToTheLogFolder) {
    test::TempDir cache;
    setenv("XDG_CACHE_HOME", cache.path().c_str(), 1);
    fs::create_directories(cache / "com.example.host" / "Logs");
    fs::create_directories(cache / "Logs");
    test::writeFile(cache / "com.example.host" / "Logs" / "old.log", "mine");
    test::writeFile(cache / "Logs" / "someone-else.log", "theirs");
    TVKFileLogger::moveLogsFromLegacyDirToDir(dir.path());
    EXPECT_EQ(test::readFile(dir / "old.log"), "mine");
    EXPECT_FALSE(fs::exists(cache / "com.example.host" / "Logs" / "old.log"));
    EXPECT_TRUE(fs::exists(cache / "Logs" / "someone-else.log"));
    EXPECT_FALSE(fs::exists(dir / "someone-else.log"));
}

TEST_F(LDLogFileManagerTest, FileLoggerRollsBySizeAndByAge) {
    auto manager = std::make_shared<LDLogFileManagerDefault>(dir.path());
    manager->setMaximumNumberOfLogFiles(0);
    auto logger = std::make_shared<LDFileLogger>(manager);
    LDLog::sharedInstance().addLogger(logger);
    auto log = [](const char* text) {
        LDLog::sharedInstance().log(false, text, LDLogLevelAll, LDLogFlagInfo, 0, "f", "fn", 1,
                                    nullptr);
    };
    auto archived = [&] {
        size_t count = 0;
        for (const auto& info : manager->sortedLogFileInfos())
            count += info->isArchived();
        return count;
    };
    // A line that reaches the size limit closes the file; the next starts another.
    logger->setRollingFrequency(0);
    logger->setMaximumFileSize(10);
    log("longer than ten bytes");
    EXPECT_EQ(archived(), 1u);
    log("next");
    EXPECT_EQ(manager->sortedLogFileInfos().size(), 2u);

    // The age timer rolls a file that nobody writes to.
    logger->setMaximumFileSize(0);
    logger->setRollingFrequency(0.05);
    ASSERT_TRUE(runMainUntil([&] { return archived() == 2; }, std::chrono::seconds(20)));
}
