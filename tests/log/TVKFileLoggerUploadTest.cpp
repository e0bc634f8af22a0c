#include "log/TVKFileLogger.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <thread>

#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDLog.h"
#include "log/LDLogFileManagerDefault.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Application.h"
#include "quarra/Bundle.h"
#include "support/ClientLogEndpoint.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;
namespace fs = std::filesystem;

namespace {

constexpr auto kUploadWait = std::chrono::seconds(60);

std::string entry(int n, const std::string& message) {
    return "2018/11/28 14:03:07:" +
           std::string(n < 10    ? "00"
                       : n < 100 ? "0"
                                 : "") +
           std::to_string(n % 1000) +
           "  [bundleID:com.example.host.sdk sessionId:0123456789ABCDE quarraId:5000000001 "
           "username:alice file:A.cpp function:-[A b:] line:1] INFO message: " +
           message;
}

class TVKFileLoggerUploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setMainBundle("com.example.host");
        TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    }

    std::shared_ptr<TVKFileLogger> makeLogger() {
        // As the SDK's own: the logger holds the folder under its limit by itself.
        auto manager = std::make_shared<LDLogFileManagerDefault>(dir.path());
        manager->setMaximumNumberOfLogFiles(0);
        manager->setLogFilesDiskQuota(0);
        return std::make_shared<TVKFileLogger>(manager);
    }
    fs::path logFile() const { return dir / "com.example.host 2026-01-01--00-00-00-000.log"; }
    // Starts an upload and runs the main loop until it has ended.
    bool upload(const std::shared_ptr<TVKFileLogger>& logger) {
        logger->startUploadProcess();
        return runMainUntil([&] { return !logger->isUploading(); }, kUploadWait);
    }
    static std::vector<std::string> messages(const std::vector<Json>& records) {
        std::vector<std::string> out;
        for (const auto& record : records)
            out.push_back(record["message"]);
        return out;
    }

    TempDir dir;
    SignInTestBed bed;
    ClientLogEndpoint endpoint{bed.service, SignInTestBed::FirstQuarra};
};

}  // namespace

TEST_F(TVKFileLoggerUploadTest, LogFileGoesUpAsEntriesAndIsGoneAfterwards) {
    bed.signIn();
    // Junk before the first entry, escaped line breaks, a line that is no entry (it never starts
    // one's continuation), a damaged byte, an invalid entry and no final newline.
    writeFile(logFile(), std::string(TVKFileLogger::LogFileHeader) + "junk before\nmore junk\n" +
                             entry(1, "one\n") +
                             entry(2, "two\\n  continued\\n\\tand more \\\\ \\x01\n") +
                             "  not part of two\n" + entry(3, "bad \xff byte\n") +
                             entry(4, "   \n") + entry(5, "last"));
    auto logger = makeLogger();
    ASSERT_TRUE(upload(logger));
    ASSERT_EQ(endpoint.batchCount(), 1u);
    Json batch = endpoint.batches()[0];
    ASSERT_TRUE(batch.is_array());
    EXPECT_EQ(messages(endpoint.acceptedRecords()),
              (std::vector<std::string>{"one", "two\n  continued\n\tand more \\ \x01",
                                        "bad \xef\xbf\xbd byte", "   ", "last"}));
    const Json& first = batch[0];
    EXPECT_EQ(first["Log Level"], "INFO");
    EXPECT_EQ(first["quarraID"], "5000000001");
    EXPECT_EQ(first["ClientDateTime"], "2018/11/28 14:03:07:001");
    EXPECT_EQ(first["Log Type"], TVKLogEntry::LogType);
    EXPECT_FALSE(fs::exists(logger->uploadFilePath()));
    EXPECT_FALSE(fs::exists(logger->offsetFilePath()));
    EXPECT_FALSE(fs::exists(logFile()));
}

// A file the previous release wrote and did not upload (no header: the text as it came, an entry
// running on over its continuation lines) goes up as that release wrote it, batches ending between
// entries; one line holding text that looks like an escape costs nothing of its batch.
TEST_F(TVKFileLoggerUploadTest, APreviousReleasesFileGoesUpWholeAndUnchanged) {
    bed.signIn();
    const std::vector<std::string> texts = {
        "first\n  continued\nand more",
        "C:\\new\\table and \\\\ double and \\x41 end",
        "text \\xFF and \\x80 as typed",
        "damaged \xff byte",
        "last",
    };
    std::string file = "junk before the first entry\n";
    for (size_t i = 0; i < texts.size(); ++i)
        file += entry(int(i), texts[i] + "\n");
    writeFile(logFile(), file);
    auto logger = makeLogger();
    logger->setBatchSize(2);
    ASSERT_TRUE(upload(logger));
    std::vector<std::string> expected = texts;
    expected[3] = "damaged \xEF\xBF\xBD byte";
    EXPECT_EQ(messages(endpoint.acceptedRecords()), expected);
    EXPECT_EQ(endpoint.batchCount(), 3u);
    EXPECT_FALSE(fs::exists(logger->uploadFilePath()));

    // This release's lines go to a new file of its own form, never appended to the old one.
    writeFile(logFile(), entry(9, "old form\n"));
    auto& log = LDLog::sharedInstance();
    log.addLogger(logger);
    log.log(true, entry(10, "new \\x41 form\nsecond line").substr(25), LDLogLevelInfo,
            LDLogFlagInfo, 0, "F.cpp", "f", 1, nullptr);
    log.flushLog();
    ASSERT_TRUE(upload(logger));
    // The SDK's own lines come along: only these two matter.
    auto sent = messages(endpoint.acceptedRecords());
    auto old = std::find(sent.begin(), sent.end(), "old form");
    EXPECT_NE(old, sent.end());
    EXPECT_NE(std::find(old, sent.end(), "new \\x41 form\nsecond line"), sent.end());
}

TEST_F(TVKFileLoggerUploadTest, OversizedBatchesHalveDownToASkippedEntryAndResumeFromTheOffset) {
    bed.signIn();
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += entry(i, "entry " + std::to_string(i) + "\n");
    writeFile(logFile(), text);
    const std::uint64_t firstLength = entry(0, "entry 0\n").size();
    std::vector<Reply> replies(10, ClientLogEndpoint::payloadTooLarge());
    // After the skip, the server is down: the upload stops and keeps its place.
    replies.push_back(QuarraTestService::failure("DOWN_FOR_MAINTENANCE", "down"));
    endpoint.queueReplies(replies);

    auto logger = makeLogger();
    ASSERT_TRUE(upload(logger));
    std::vector<size_t> sizes;
    for (const auto& batch : endpoint.batches())
        sizes.push_back(batch.size());
    EXPECT_EQ(sizes,
              (std::vector<size_t>{1000, 500, 250, 125, 62, 31, 15, 7, 3, 1, 1000 - 1}));
    EXPECT_EQ(logger->batchSize(), TVKFileLogger::DefaultBatchSize);
    // The skipped entry's bytes, as 8 bytes in native order (then the refusals of the batch there).
    std::string offset = readFile(logger->offsetFilePath());
    ASSERT_EQ(offset.size(), 16u);
    std::uint64_t stored;
    std::memcpy(&stored, offset.data(), 8);
    EXPECT_EQ(stored, firstLength);
    EXPECT_TRUE(fs::exists(logger->uploadFilePath()));
    EXPECT_TRUE(endpoint.acceptedRecords().empty());

    // A new logger (a later launch) goes on from the offset, then sends the live file.
    writeFile(logFile(), entry(7, "newer line\n"));
    logger.reset();
    auto later = makeLogger();
    EXPECT_EQ(later->readFileOffset(), firstLength);
    ASSERT_TRUE(upload(later));
    auto accepted = messages(endpoint.acceptedRecords());
    ASSERT_EQ(accepted.size(), 1000u);
    EXPECT_EQ(accepted.front(), "entry 1");
    EXPECT_EQ(accepted[998], "entry 999");
    EXPECT_EQ(accepted.back(), "newer line");
    EXPECT_FALSE(fs::exists(later->uploadFilePath()));
    EXPECT_FALSE(fs::exists(logFile()));
}

TEST_F(TVKFileLoggerUploadTest, FailedCheckOrServerErrorKeepsTheBatchForTheNextTrigger) {
    auto logger = makeLogger();
    writeFile(logFile(), entry(1, "kept\n"));
    // Nobody signed in: nothing happens.
    logger->startUploadProcess();
    EXPECT_FALSE(logger->isUploading());

    bed.signIn();
    bed.service.expireSessions();
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(endpoint.batchCount(), 0u) << "the session check failed first";
    EXPECT_TRUE(fs::exists(logger->uploadFilePath()));

    bed.signIn();
    // No network: the request engine's code -1; then a server failure. Neither is a delivery.
    endpoint.queueReplies({[] {
                               Reply r;
                               r.dropConnection = true;
                               return r;
                           }(),
                           QuarraTestService::failure("INVALID_DATA", "bad")});
    ASSERT_TRUE(upload(logger));
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(endpoint.batchCount(), 2u);
    EXPECT_TRUE(endpoint.acceptedRecords().empty());
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(messages(endpoint.acceptedRecords()), std::vector<std::string>{"kept"});
    EXPECT_FALSE(fs::exists(logger->uploadFilePath()));
}

TEST_F(TVKFileLoggerUploadTest, TwoTriggersMakeOneUpload) {
    bed.signIn();
    writeFile(logFile(), entry(1, "once\n"));
    auto logger = makeLogger();
    // The host coming back to the foreground is one trigger.
    std::thread other([&] {
        Application::shared().didEnterBackground();
        Application::shared().willEnterForeground();
    });
    logger->startUploadProcess();
    other.join();
    ASSERT_TRUE(runMainUntil([&] { return !logger->isUploading(); }, kUploadWait));
    // The SDK's own logger heard the foreground too and sends its own lines: "once" goes once.
    auto sent = messages(endpoint.acceptedRecords());
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "once"), 1);
    EXPECT_FALSE(fs::exists(logFile()));
}

TEST_F(TVKFileLoggerUploadTest, LinesLoggedDuringTheRollAreNeitherLostNorSentTwice) {
    bed.signIn();
    auto& facade = TVKQuarraLoggerInternal::sharedInstance();
    auto logger = facade.fileLogger();
    ASSERT_TRUE(logger);
    constexpr int kLines = 3000;
    std::atomic<bool> started{false};
    std::thread writer([&] {
        for (int i = 0; i < kLines; ++i) {
            TVK_LOG_INFO("loop " + std::to_string(i));
            if (i == 100)
                started = true;
        }
    });
    while (!started)
        std::this_thread::yield();
    facade.startUploadProcess();
    writer.join();
    ASSERT_TRUE(runMainUntil([&] { return !logger->isUploading(); }, kUploadWait));
    // Whatever came after the roll goes with the next upload.
    LDLog::sharedInstance().flushLog();
    ASSERT_TRUE(upload(logger));
    std::vector<int> seen;
    for (const auto& message : messages(endpoint.acceptedRecords())) {
        if (message.starts_with("loop "))
            seen.push_back(std::stoi(message.substr(5)));
    }
    ASSERT_EQ(seen.size(), size_t(kLines));
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(seen[i], i);
    EXPECT_GE(endpoint.batchCount(), 2u);
}

TEST_F(TVKFileLoggerUploadTest, LogBytesComeOffTheLoggerQueueAndTheHandlerMayLog) {
    auto logger = makeLogger();
    std::atomic<int> calls{0};
    std::optional<Bytes> got = Bytes{1};
    logger->logDataWithCompletionHandler([&](std::optional<Bytes> bytes) {
        got = std::move(bytes);
        ++calls;
    });
    ASSERT_TRUE(runMainUntil([&] { return calls == 1; }, kUploadWait));
    EXPECT_FALSE(got) << "no log file yet";

    writeFile(logFile(), entry(1, "mail me\n"));
    logger->logDataWithCompletionHandler([&](std::optional<Bytes> bytes) {
        got = std::move(bytes);
        // Logging, even waiting for the log, from the handler does not stall the logger.
        TVK_LOG_INFO("from the handler");
        LDLog::sharedInstance().flushLog();
        ++calls;
    });
    ASSERT_TRUE(runMainUntil([&] { return calls == 2; }, kUploadWait));
    ASSERT_TRUE(got);
    EXPECT_EQ(toString(*got), entry(1, "mail me\n"));
}

// A batch the server refuses (a Quarra without "client/log" would, or one that finds the data bad)
// is tried again a few times, also in later processes, and then skipped: the log does not stall.
TEST_F(TVKFileLoggerUploadTest, ABatchRefusedAgainAndAgainIsSkippedAndTheUploadGoesOn) {
    bed.signIn();
    writeFile(logFile(), entry(1, "refused\n") + entry(2, "also refused\n"));
    std::vector<Reply> refusals(TVKFileLogger::MaximumRefusals,
                                QuarraTestService::failure("INVALID_DATA", "bad"));
    endpoint.queueReplies(refusals);

    auto logger = makeLogger();
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(logger->readRefusals(), 1u);
    EXPECT_TRUE(fs::exists(logger->uploadFilePath()));
    // A later process counts on.
    logger.reset();
    logger = makeLogger();
    for (std::uint64_t i = 2; i <= TVKFileLogger::MaximumRefusals; ++i)
        ASSERT_TRUE(upload(logger));
    EXPECT_EQ(endpoint.batchCount(), TVKFileLogger::MaximumRefusals);
    EXPECT_FALSE(fs::exists(logger->uploadFilePath())) << "the refused batch was skipped";
    EXPECT_EQ(logger->droppedEntries(), 1u);

    writeFile(logFile(), entry(3, "after the skip\n"));
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(messages(endpoint.acceptedRecords()), std::vector<std::string>{"after the skip"});
}

// The live file rolls by size whatever the upload does, and the folder stays under its limit: the
// oldest file (here an upload file left by an earlier process) goes first. While an upload reads
// that file it stays, and counts: the log files go instead.
TEST_F(TVKFileLoggerUploadTest, TheFolderStaysUnderItsLimitOldestFirst) {
    for (bool uploading : {false, true}) {
        SCOPED_TRACE(uploading ? "while uploading" : "no upload");
        TempDir folder;
        auto manager = std::make_shared<LDLogFileManagerDefault>(folder.path());
        manager->setMaximumNumberOfLogFiles(0);
        manager->setLogFilesDiskQuota(0);
        auto logger = std::make_shared<TVKFileLogger>(manager);
        constexpr std::uint64_t kFileSize = 2048;
        constexpr std::uint64_t kLimit = 8192;
        logger->setMaximumFileSize(kFileSize);
        logger->setLogFolderLimit(kLimit);
        writeFile(logger->uploadFilePath(), entry(1, std::string(6000, 'o') + "\n"));
        logger->setUploading(uploading);
        auto& log = LDLog::sharedInstance();
        log.addLogger(logger);
        for (int i = 0; i < 400; ++i)
            log.log(true, "line " + std::to_string(i) + " " + std::string(80, 'x'), LDLogLevelInfo,
                    LDLogFlagInfo, 0, "F.cpp", "f", 1, nullptr);
        log.flushLog();
        log.removeLogger(logger);
        log.flushLog();

        std::uint64_t total = 0;
        std::string everything;
        for (const auto& file : fs::directory_iterator(folder.path())) {
            total += file.file_size();
            everything += readFile(file.path());
        }
        EXPECT_LE(total, kLimit + kFileSize + 200);
        EXPECT_EQ(fs::exists(logger->uploadFilePath()), uploading);
        EXPECT_NE(everything.find("line 399 "), std::string::npos);
        EXPECT_EQ(everything.find("line 0 "), std::string::npos);
    }
}

// Entries delivered but not recorded as delivered would go again after a restart: a failed save of
// the offset stops the upload, and the next one saves it before it sends anything.
TEST_F(TVKFileLoggerUploadTest, AFailedOffsetSaveStopsTheUploadAndNothingGoesTwice) {
    bed.signIn();
    writeFile(logFile(), entry(1, "one\n") + entry(2, "two\n") + entry(3, "three\n"));
    auto logger = makeLogger();
    logger->setBatchSize(1);
    // A folder in the offset file's place, which neither a write nor a removal gets rid of.
    fs::create_directories(logger->offsetFilePath());
    writeFile(logger->offsetFilePath() / "blocker", "x");
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(messages(endpoint.acceptedRecords()), std::vector<std::string>{"one"});

    fs::remove_all(logger->offsetFilePath());
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(messages(endpoint.acceptedRecords()),
              (std::vector<std::string>{"one", "two", "three"}));
}

// A request starts an upload only when there is something to send, and not right after one failed;
// the host's own triggers are not held back.
TEST_F(TVKFileLoggerUploadTest, RequestsStartUploadsOnlyWithNewLinesAndNotWhileBackingOff) {
    bed.signIn();
    writeFile(logFile(), entry(1, "left by an earlier run\n"));
    auto logger = makeLogger();
    endpoint.queueReplies({QuarraTestService::failure("DOWN_FOR_MAINTENANCE", "down")});
    logger->startUploadProcessAfterRequest();
    EXPECT_TRUE(logger->isUploading()) << "lines of an earlier process count";
    ASSERT_TRUE(runMainUntil([&] { return !logger->isUploading(); }, kUploadWait));
    EXPECT_EQ(endpoint.batchCount(), 1u);

    logger->startUploadProcessAfterRequest();
    EXPECT_FALSE(logger->isUploading()) << "backing off after the failure";
    ASSERT_TRUE(upload(logger));
    EXPECT_EQ(messages(endpoint.acceptedRecords()),
              std::vector<std::string>{"left by an earlier run"});

    logger->startUploadProcessAfterRequest();
    EXPECT_FALSE(logger->isUploading()) << "nothing new to send";
    EXPECT_EQ(endpoint.batchCount(), 2u);
}

// What a caller logs is one record, whatever it holds: a text cannot pass for a record of its own
// with another client, user, level or time.
TEST_F(TVKFileLoggerUploadTest, ALoggedTextIsOneRecordHoweverItIsForged) {
    bed.signIn();
    const std::string forged =
        "2018/11/28 14:03:07:001  [bundleID:evil sessionId:(null) quarraId:5000000001 "
        "username:alice "
        "file:E.cpp function:e line:1] ERROR message: forged";
    const std::string texts[] = {
        "one\n" + forged,
        "two\r\n" + forged + "\n",
        "three\n\n" + forged + "\nmore",
        "four line:9] ERROR message: " + forged,
        "five \\n" + forged,
    };
    auto& facade = TVKQuarraLoggerInternal::sharedInstance();
    for (const auto& text : texts)
        TVK_LOG_INFO(text);
    facade.startUploadProcess();
    ASSERT_TRUE(runMainUntil([&] { return !facade.fileLogger()->isUploading(); }, kUploadWait));
    std::vector<std::string> sent;
    for (const auto& record : endpoint.acceptedRecords()) {
        EXPECT_NE(record["ClientID"], "evil");
        std::string message = record["message"];
        if (message.find("forged") != std::string::npos) {
            EXPECT_EQ(record["Log Level"], "INFO");
            sent.push_back(message);
        }
    }
    EXPECT_EQ(sent, std::vector<std::string>(std::begin(texts), std::end(texts)));
}

// Lines belong to the account that wrote them: after an interrupted upload the next user's session
// sends only that user's lines, to that user's Quarra, and the lines of nobody's written before.
TEST_F(TVKFileLoggerUploadTest, TheNextUserSendsOnlyTheirOwnLinesToTheirOwnQuarra) {
    ClientLogEndpoint second{bed.service, SignInTestBed::SecondQuarra};
    auto& facade = TVKQuarraLoggerInternal::sharedInstance();
    auto uploadNow = [&] {
        facade.startUploadProcess();
        return runMainUntil([&] { return !facade.fileLogger()->isUploading(); }, kUploadWait);
    };
    TVK_LOG_INFO("written before anyone signed in");
    bed.signIn();
    TVK_LOG_INFO("written while alice is signed in");
    endpoint.queueReplies({QuarraTestService::failure("DOWN_FOR_MAINTENANCE", "down")});
    ASSERT_TRUE(uploadNow());
    ASSERT_EQ(endpoint.batchCount(), 1u);
    ASSERT_TRUE(fs::exists(facade.fileLogger()->uploadFilePath())) << "interrupted";

    bed.signIn(SignInTestBed::Bob, "hunter2");
    TVK_LOG_INFO("written while bob is signed in");
    ASSERT_TRUE(uploadNow());
    auto all = [](const ClientLogEndpoint& at) {
        std::vector<std::string> out;
        for (const auto& batch : at.batches())
            for (const auto& record : batch)
                out.push_back(record["message"]);
        return out;
    };
    auto toBob = all(second);
    EXPECT_NE(std::find(toBob.begin(), toBob.end(), "written while bob is signed in"), toBob.end());
    std::vector<Json> before;
    for (const auto& batch : second.batches())
        for (const auto& record : batch)
            if (record["message"] == "written before anyone signed in")
                before.push_back(record);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0]["quarraID"], "0");
    EXPECT_EQ(std::find(toBob.begin(), toBob.end(), "written while alice is signed in"),
              toBob.end());
    EXPECT_EQ(endpoint.batchCount(), 1u) << "nothing more went to alice's Quarra";
    EXPECT_GE(facade.fileLogger()->droppedEntries(), 1u);
}

// A full disk (here a file size limit) cuts a write short: the file is cut back to the end of its
// last whole line, so the next line starts a record of its own, and once lines can be written
// again the loss is in the log.
TEST_F(TVKFileLoggerUploadTest, AFullDiskLeavesOnlyWholeRecordsAndTheLossIsLogged) {
    TVKQuarraLoggerInternal::sharedInstance();
    signal(SIGXFSZ, SIG_IGN);
    auto logger = makeLogger();
    auto& log = LDLog::sharedInstance();
    log.addLogger(logger);
    auto logLine = [&](const std::string& text) {
        log.log(true, entry(1, text).substr(25), LDLogLevelInfo, LDLogFlagInfo, 0, "F.cpp", "f", 1,
                nullptr);
        log.flushLog();
    };
    logLine("before the disk filled");
    auto current = [&] {
        auto sorted = logger->logFileManager()->sortedLogFileInfos();
        return sorted.empty() ? fs::path() : sorted.front()->filePath();
    };
    ASSERT_FALSE(current().empty());
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = fs::file_size(current()) + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    logLine("lost " + std::string(300, 'x'));
    logLine("lost too " + std::string(50, 'y'));
    limit.rlim_cur = unlimited;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    logLine("after the disk had room again");
    log.flushLog();

    std::vector<std::string> lines;
    std::string text = readFile(current());
    ASSERT_TRUE(text.starts_with(TVKFileLogger::LogFileHeader));
    std::istringstream in(text.substr(TVKFileLogger::LogFileHeader.size()));
    for (std::string line; std::getline(in, line);) {
        TVKLogEntry entry(line + "\n");
        ASSERT_TRUE(entry.isValid()) << line;
        lines.push_back((*entry.clientFields())["message"]);
    }
    // The two lines, and the write failures reported meanwhile, which went the same way.
    EXPECT_GE(logger->droppedLines(), 2u);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "before the disk filled");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "after the disk had room again"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        std::to_string(logger->droppedLines()) +
                            " log lines were lost: the log file could not be written"),
              lines.end());
    EXPECT_EQ(text.find("lost x"), std::string::npos);
    EXPECT_EQ(text.find("lost too"), std::string::npos);
}
