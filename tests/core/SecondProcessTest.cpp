// Two processes of one host on one data folder, and records that cannot be saved. The first
// process runs the transfers; a second one, started while they are on their way, refuses its own
// at once and changes none of the first one's transfers, records, preferences or cache files. A
// record that cannot be saved fails its request before anything is sent, and a removal that cannot
// be saved keeps the file, so the delivery after a kill and a relaunch is the same. The hosts are
// this program again, started with a stage to play.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "core/TVKPendingTransfers.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "platform/Directories.h"
#include "platform/UserDefaults.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraAPI.h"
#include "quarra/TVKQuarraFileCache.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::envValue;
using test::QuarraTestServer;
using test::QuarraTestService;
using test::RecordedRequest;
using test::Reply;
using test::SignInTestBed;

constexpr const char* kSharedContent = "objects/documents/9/content";
constexpr const char* kSharedDocuments = "objects/documents";
constexpr std::uint64_t kSharedLength = 64 << 10;
constexpr int kOwnerTransfers = 3;  // of each kind

fs::path shared(const std::string& name) {
    return fs::path(envValue("QUARRA_SHARED_FILES")) / name;
}

bool playing(const char* stage) {
    if (std::string(envValue("QUARRA_SHARED_STAGE")) != stage)
        return false;
    setenv("XDG_DATA_HOME", envValue("QUARRA_SHARED_DATA"), 1);
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    return true;
}

// One line per thing a host heard; appended whole, so a kill loses none that was written.
void heard(const Json& line) {
    test::appendLine(envValue("QUARRA_SHARED_LOG"), line.dump());
}

int outcomes = 0;

Json outcome(const char* who, const std::optional<Url>& fileURL, const ErrorPtr& error) {
    return {{"who", who},
            {"file", fileURL ? fileURL->filePath().string() : ""},
            {"ok", !error},
            {"domain", error ? error->domain() : ""},
            {"code", error ? error->code() : 0}};
}

TVKQuarraUploadHandler uploadHeard(const char* who) {
    return [who](const Json&, const std::optional<Url>& fileURL, const std::optional<std::string>&,
                 const ErrorPtr& error) {
        ++outcomes;
        heard(outcome(who, fileURL, error));
    };
}

TVKQuarraDownloadHandler downloadHeard(const char* who) {
    return [who](const Json&, const std::optional<Url>& fileURL, const std::string&,
                 const std::optional<std::string>&, const ErrorPtr& error) {
        ++outcomes;
        heard(outcome(who, fileURL, error));
    };
}

TVKQuarraPtr signIn() {
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auth.setAuthDNS(std::string("127.0.0.1:") + envValue("QUARRA_SHARED_PORT"));
    test::Outcome signedIn;
    auth.loginToAuthServerWithUsername(SignInTestBed::Alice, SignInTestBed::AlicePassword,
                                       signedIn.userHandler());
    EXPECT_TRUE(signedIn.wait());
    EXPECT_FALSE(signedIn.error);
    return auth.quarraWithId(SignInTestBed::FirstQuarra).valueOr(nullptr);
}

// A key of the preferences, through what the host itself uses.
void prefer(const std::string& key) {
    UserDefaults::standard().setString(envValue("QUARRA_SHARED_STAGE"), key);
}

void drainMainQueue() {
    for (int round = 0; round < 3; ++round) {
        bool drained = false;
        DispatchQueue::main()->async([&] { drained = true; });
        runMainUntil([&] { return drained; });
    }
}

TEST(SharedFolderHost, Owner) {
    if (!playing("owner"))
        GTEST_SKIP() << "runs only as the first process of the two-process test";
    TVKQuarraPtr quarra = signIn();
    ASSERT_TRUE(quarra);
    prefer("owner.before");
    // A file of the cache store that no database names: only a sweep would remove it.
    auto store = TVKQuarraConfigurationManager::sharedInstance().cacheFileStoreDirectoryForUsername(
        SignInTestBed::Alice, true);
    ASSERT_TRUE(store);
    test::writeFile(*store / "unnamed", "only a sweep removes this");
    heard({{"store", (*store / "unnamed").string()}});
    auto& api = TVKQuarraAPI::sharedInstance();
    for (int i = 0; i < kOwnerTransfers; ++i) {
        api.requestQuarraDownloadFileEndpoint(kSharedContent, quarra,
                                              Url::fileUrl(shared("d" + std::to_string(i))),
                                              i % 2 == 1, {}, nullptr, downloadHeard("owner"));
        api.requestQuarraMultipartFormEndpoint(
            kSharedDocuments, quarra, Url::fileUrl(shared("u" + std::to_string(i))), false,
            TVKQuarraRequestMethodPOST, {}, nullptr, uploadHeard("owner"));
    }
    ASSERT_TRUE(
        runMainUntil([] { return outcomes == 2 * kOwnerTransfers; }, std::chrono::seconds(90)));
    prefer("owner.after");
    drainMainQueue();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(SharedFolderHost, Second) {
    if (!playing("second"))
        GTEST_SKIP() << "runs only as the second process of the two-process test";
    auto& api = TVKQuarraAPI::sharedInstance();
    // Whatever the first process runs must never reach this one's handlers.
    api.setBackgroundUploadResultHandler(uploadHeard("second.background"));
    api.setBackgroundDownloadResultHandler(downloadHeard("second.background"));
    int events = 0;
    TVKSDKApplicationDelegate::sharedInstance().handleEventsForBackgroundURLSession(
        TVKQuarraManager::sharedInstance().backgroundSessionIdentifier(), [&] { ++events; });
    // Signed in as the first process left it.
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    ASSERT_TRUE(auth.currentUser());
    TVKQuarraPtr quarra = auth.quarraWithId(SignInTestBed::FirstQuarra).valueOr(nullptr);
    ASSERT_TRUE(quarra);
    api.requestQuarraDownloadFileEndpoint(kSharedContent, quarra, Url::fileUrl(shared("second-d")),
                                          false, {}, nullptr, downloadHeard("second"));
    api.requestQuarraMultipartFormEndpoint(kSharedDocuments, quarra, Url::fileUrl(shared("u0")),
                                           false, TVKQuarraRequestMethodPOST, {}, nullptr,
                                           uploadHeard("second"));
    prefer("second.key");
    EXPECT_TRUE(TVKQuarraFileCache::openCacheWithQuarra(quarra));
    ASSERT_TRUE(
        runMainUntil([&] { return outcomes >= 2 && events == 1; }, std::chrono::seconds(90)));
    drainMainQueue();
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

// Every save of the preferences fails from now on: their lock file cannot be opened (a folder
// stands in its place), as a full disk or a read-only folder would fail them.
fs::path saveBlocker() {
    return UserDefaults::standard().file().string() + ".lock";
}

void blockSaves() {
    std::error_code ec;
    fs::remove(saveBlocker(), ec);
    fs::create_directory(saveBlocker(), ec);
    EXPECT_TRUE(fs::is_directory(saveBlocker()));
}

TEST(SharedFolderHost, CannotSave) {
    if (!playing("unsaved"))
        GTEST_SKIP() << "runs only as the first life of the unsaved-record test";
    TVKQuarraPtr quarra = signIn();
    ASSERT_TRUE(quarra);
    const std::string which = envValue("QUARRA_SHARED_CASE");
    if (which == "request") {
        blockSaves();
    } else {
        // Saved until the host has heard the result; the record's removal is not.
        setTransferStepHook([](std::string_view step) {
            if (step.ends_with(".handled"))
                blockSaves();
        });
    }
    auto& api = TVKQuarraAPI::sharedInstance();
    int expected = 0;
    if (which != "upload") {
        api.requestQuarraDownloadFileEndpoint(kSharedContent, quarra, Url::fileUrl(shared("d0")),
                                              false, {}, nullptr, downloadHeard("first"));
        ++expected;
    }
    if (which != "download") {
        api.requestQuarraMultipartFormEndpoint(kSharedDocuments, quarra, Url::fileUrl(shared("u0")),
                                               false, TVKQuarraRequestMethodPOST, {}, nullptr,
                                               uploadHeard("first"));
        ++expected;
    }
    ASSERT_TRUE(runMainUntil([&] { return outcomes == expected; }, std::chrono::seconds(90)));
    drainMainQueue();
    std::fflush(nullptr);
    ::kill(::getpid(), SIGKILL);
}

TEST(SharedFolderHost, Relaunched) {
    if (!playing("relaunched"))
        GTEST_SKIP() << "runs only as the second life of the unsaved-record test";
    // Room again on the disk.
    fs::remove(saveBlocker());
    auto& api = TVKQuarraAPI::sharedInstance();
    api.setBackgroundUploadResultHandler(uploadHeard("relaunched"));
    api.setBackgroundDownloadResultHandler(downloadHeard("relaunched"));
    auto& engine = TVKQuarraManager::sharedInstance();
    int events = 0;
    TVKSDKApplicationDelegate::sharedInstance().handleEventsForBackgroundURLSession(
        engine.backgroundSessionIdentifier(), [&] { ++events; });
    ASSERT_TRUE(runMainUntil([&] { return events > 0; }, std::chrono::seconds(90)));
    auto& records = engine.pendingTransfers();
    auto& defaults = UserDefaults::standard();
    EXPECT_TRUE(runMainUntil(
        [&] {
            return defaults.objectForKey(records.userDefaultsUploadTaskInfoKey()).is_null() &&
                   defaults.objectForKey(records.userDefaultsDownloadTaskInfoKey()).is_null();
        },
        std::chrono::seconds(90)));
    drainMainQueue();
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    Json left = Json::array();
    for (const fs::path& folder :
         {configuration.uploadsDirectory(), configuration.downloadsDirectory()}) {
        for (const auto& entry : fs::directory_iterator(folder))
            left.push_back(entry.path().string());
    }
    heard({{"left", left}});
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

// A line to the test through an inherited pipe, then a wait for the test's word (the other pipe's
// end closing).
void signalAndWait(const char* line) {
    int out = std::atoi(envValue("QUARRA_SHARED_SIGNAL_FD"));
    int in = std::atoi(envValue("QUARRA_SHARED_WAIT_FD"));
    (void)!::write(out, line, std::strlen(line));
    char byte;
    while (::read(in, &byte, 1) > 0) {
    }
}

TEST(SharedFolderHost, Holder) {
    if (!playing("holder"))
        GTEST_SKIP() << "runs only as the first process of the hand-over test";
    TVKQuarraManager::sharedInstance();
    signalAndWait("owning\n");
    _exit(0);
}

TEST(SharedFolderHost, Taker) {
    if (!playing("taker"))
        GTEST_SKIP() << "runs only as the second process of the hand-over test";
    TVKQuarraPtr quarra = signIn();
    ASSERT_TRUE(quarra);
    auto& api = TVKQuarraAPI::sharedInstance();
    for (const char* name : {"refused", "taken"}) {
        outcomes = 0;
        api.requestQuarraDownloadFileEndpoint(kSharedContent, quarra, Url::fileUrl(shared(name)),
                                              false, {}, nullptr, downloadHeard(name));
        ASSERT_TRUE(runMainUntil([] { return outcomes == 1; }, std::chrono::seconds(90)));
        if (std::string(name) == "refused")
            signalAndWait("refused\n");
    }
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

pid_t startHost(const char* stage, const char* test, const std::vector<std::string>& extra,
                const posix_spawn_file_actions_t* actions = nullptr) {
    std::vector<std::string> variables{std::string("QUARRA_SHARED_STAGE=") + stage};
    variables.insert(variables.end(), extra.begin(), extra.end());
    return test::spawnTestProcess(std::string("SharedFolderHost.") + test, "QUARRA_SHARED_",
                                  variables, actions);
}

// A host that tells the test where it stands through one pipe and waits for its word on another.
class Talking {
  public:
    Talking(const char* stage, const char* test, std::vector<std::string> extra) {
        EXPECT_EQ(::pipe2(toTest_, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(toHost_, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // Duplicated without close-on-exec; the test's ends close at exec.
        posix_spawn_file_actions_adddup2(&actions, toTest_[1], 3);
        posix_spawn_file_actions_adddup2(&actions, toHost_[0], 4);
        extra.push_back("QUARRA_SHARED_SIGNAL_FD=3");
        extra.push_back("QUARRA_SHARED_WAIT_FD=4");
        pid_ = startHost(stage, test, extra, &actions);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toTest_[1]);
        ::close(toHost_[0]);
    }
    ~Talking() {
        ::close(toTest_[0]);
        if (toHost_[1] >= 0)
            ::close(toHost_[1]);
    }
    pid_t pid() const { return pid_; }
    // The host's next line; empty when it ended first.
    std::string next() {
        std::string line;
        char c;
        while (::read(toTest_[0], &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void goOn() {
        ::close(toHost_[1]);
        toHost_[1] = -1;
    }

  private:
    int toTest_[2] = {-1, -1};
    int toHost_[2] = {-1, -1};
    pid_t pid_ = -1;
};

bool endedWell(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::vector<Json> heardLines(const fs::path& log) {
    std::vector<Json> lines;
    std::istringstream in(test::readFile(log));
    for (std::string line; std::getline(in, line);) {
        if (auto parsed = parseJson(line))
            lines.push_back(*parsed);
    }
    return lines;
}

// The document every download of these tests fetches.
void serveTheDocument(SignInTestBed& bed) {
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, kSharedContent,
                            [](const RecordedRequest&, const QuarraTestService::User&) {
                                Reply reply;
                                reply.contentType = "application/pdf";
                                reply.generatedLength = kSharedLength;
                                return reply;
                            });
}

std::vector<std::string> hostVariables(SignInTestBed& bed, const test::TempDir& data,
                                       const test::TempDir& files, const fs::path& log) {
    return {
        "QUARRA_SHARED_DATA=" + data.path().string(),
        "QUARRA_SHARED_FILES=" + files.path().string(),
        "QUARRA_SHARED_LOG=" + log.string(),
        "QUARRA_SHARED_PORT=" + std::to_string(bed.first.port()),
    };
}

TEST(SharedFolder, ASecondProcessChangesNothingOfTheTransfersTheFirstRuns) {
    SignInTestBed bed;
    // The first process's transfers stay on their way until the second one has ended.
    struct Gate {
        std::mutex mutex;
        std::condition_variable arrived;
        int downloads = 0, uploads = 0;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    auto hold = [gate](Reply reply, int Gate::*count) {
        std::lock_guard lock(gate->mutex);
        ++(gate.get()->*count);
        gate->arrived.notify_all();
        reply.stallBeforeHead = !gate->open;
        return reply;
    };
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, kSharedContent,
                            [hold](const RecordedRequest&, const QuarraTestService::User&) {
                                Reply reply;
                                reply.contentType = "application/pdf";
                                reply.generatedLength = kSharedLength;
                                return hold(reply, &Gate::downloads);
                            });
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, kSharedDocuments,
                            [hold](const RecordedRequest&, const QuarraTestService::User&) {
                                return hold(QuarraTestService::success(), &Gate::uploads);
                            });
    test::TempDir data, files;
    for (int i = 0; i < kOwnerTransfers; ++i)
        test::writeFile(files / ("u" + std::to_string(i)), "upload " + std::to_string(i));
    const fs::path log = files / "heard.jsonl";
    const std::vector<std::string> extra = hostVariables(bed, data, files, log);

    pid_t owner = startHost("owner", "Owner", extra);
    ASSERT_GT(owner, 0);
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(gate->arrived.wait_for(lock, std::chrono::seconds(90), [&] {
            return gate->downloads > 0 && gate->uploads > 0;
        })) << "the first process's transfers never reached the server";
    }
    ASSERT_TRUE(endedWell(startHost("second", "Second", extra)));
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    bed.first.releaseStalls();
    ASSERT_TRUE(endedWell(owner));

    auto lines = heardLines(log);
    std::map<std::string, std::vector<Json>> byFile;
    int refusals = 0;
    fs::path unnamed;
    for (const Json& line : lines) {
        if (line.contains("store")) {
            unnamed = line.at("store").get<std::string>();
            continue;
        }
        std::string who = line.value("who", "");
        if (who == "second") {
            // Refused at once, in the SDK's own code for it.
            EXPECT_FALSE(line.at("ok").get<bool>());
            EXPECT_EQ(line.at("domain"), TVKAPIErrorDomain);
            EXPECT_EQ(line.at("code"), TVKAPITransfersRunElsewhereErrorCode);
            ++refusals;
            continue;
        }
        EXPECT_EQ(who, "owner") << line.dump();
        byFile[line.value("file", "")].push_back(line);
    }
    EXPECT_EQ(refusals, 2);
    // One true outcome per transfer, in the process that asked for it.
    EXPECT_EQ(byFile.size(), 2u * kOwnerTransfers);
    for (const auto& [file, results] : byFile) {
        ASSERT_EQ(results.size(), 1u) << file;
        EXPECT_TRUE(results[0].at("ok").get<bool>()) << results[0].dump();
    }
    for (int i = 0; i < kOwnerTransfers; ++i) {
        fs::path download = files / ("d" + std::to_string(i));
        ASSERT_TRUE(fs::exists(download)) << download;
        if (i % 2 == 0) {
            EXPECT_TRUE(test::readFile(download) == QuarraTestServer::generatedBody(kSharedLength));
        }
    }
    EXPECT_FALSE(fs::exists(files / "second-d"));
    EXPECT_EQ(bed.first.requests(bed.service.apiPath(kSharedDocuments)).size(),
              static_cast<std::size_t>(kOwnerTransfers));
    // The second process swept nothing and dropped none of the first one's keys, nor it of its.
    ASSERT_FALSE(unnamed.empty());
    EXPECT_TRUE(fs::exists(unnamed));
    auto preferences = parseJson(test::readFile(
        fs::path(data.path()) / Bundle::main().bundleIdentifier() / "Preferences.json"));
    ASSERT_TRUE(preferences);
    EXPECT_EQ(preferences->value("owner.before", ""), "owner");
    EXPECT_EQ(preferences->value("owner.after", ""), "owner");
    EXPECT_EQ(preferences->value("second.key", ""), "second");
    for (const auto& [key, value] : preferences->items()) {
        EXPECT_FALSE(key.ends_with("_task_info_key")) << "a record was left: " << value.dump();
    }
    std::cout << "Two processes: " << byFile.size() << " transfers of the first heard once each, "
              << refusals << " refused at once in the second\n";
}

TEST(SharedFolder, ARecordThatCannotBeSavedFailsItsRequestOrKeepsItsFileAcrossAKill) {
    SignInTestBed bed;
    serveTheDocument(bed);
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, kSharedDocuments,
                            [](const RecordedRequest&, const QuarraTestService::User&) {
                                return QuarraTestService::success();
                            });
    const std::string uploadPath = bed.service.apiPath(kSharedDocuments);
    const std::string downloadPath = bed.service.apiPath(kSharedContent);
    struct Case {
        const char* which;  // "request": no record can be saved; else the removal of this one
        bool sent;
    } cases[] = {{"request", false}, {"download", true}, {"upload", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.which);
        test::TempDir data, files;
        test::writeFile(files / "u0", "the minutes");
        const fs::path log = files / "heard.jsonl";
        std::vector<std::string> extra = hostVariables(bed, data, files, log);
        extra.push_back(std::string("QUARRA_SHARED_CASE=") + c.which);
        std::size_t uploadsBefore = bed.first.requests(uploadPath).size();
        std::size_t downloadsBefore = bed.first.requests(downloadPath).size();
        int status = 0;
        pid_t first = startHost("unsaved", "CannotSave", extra);
        ASSERT_EQ(waitpid(first, &status, 0), first);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        ASSERT_TRUE(endedWell(startHost("relaunched", "Relaunched", extra)));

        std::map<std::string, std::vector<Json>> byFile;
        Json left;
        for (const Json& line : heardLines(log)) {
            if (line.contains("left"))
                left = line.at("left");
            else
                byFile[line.value("file", "")].push_back(line);
        }
        EXPECT_EQ(left, Json::array());
        std::size_t sent = bed.first.requests(uploadPath).size() - uploadsBefore +
                           bed.first.requests(downloadPath).size() - downloadsBefore;
        if (!c.sent) {
            // Refused with the save's error, before anything went out, and never again.
            EXPECT_EQ(sent, 0u);
            EXPECT_EQ(byFile.size(), 2u);
            for (const auto& [file, results] : byFile) {
                ASSERT_EQ(results.size(), 1u) << file;
                EXPECT_EQ(results[0].at("who"), "first");
                EXPECT_EQ(results[0].at("domain"), PosixErrorDomain) << results[0].dump();
            }
            EXPECT_FALSE(fs::exists(files / "d0"));
            continue;
        }
        // Heard before the kill and again after the relaunch, the same result both times; the
        // download the host already had is still there.
        EXPECT_EQ(sent, 1u);
        ASSERT_EQ(byFile.size(), 1u);
        const auto& results = byFile.begin()->second;
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results[0].at("who"), "first");
        EXPECT_EQ(results[1].at("who"), "relaunched");
        EXPECT_TRUE(results[0].at("ok").get<bool>()) << results[0].dump();
        Json again = results[1];
        again["who"] = "first";
        EXPECT_EQ(again, results[0]);
        if (std::string(c.which) == "download") {
            EXPECT_TRUE(test::readFile(files / "d0") ==
                        QuarraTestServer::generatedBody(kSharedLength));
        }
    }
}

TEST(SharedFolder, TheTransfersPassToAnotherProcessOnceTheirOwnerHasEnded) {
    SignInTestBed bed;
    serveTheDocument(bed);
    test::TempDir data, files;
    const fs::path log = files / "heard.jsonl";
    const std::vector<std::string> extra = hostVariables(bed, data, files, log);
    Talking holder("holder", "Holder", extra);
    ASSERT_EQ(holder.next(), "owning");
    Talking taker("taker", "Taker", extra);
    ASSERT_EQ(taker.next(), "refused");
    // The owner dies without a word; the lock goes with it.
    ::kill(holder.pid(), SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(holder.pid(), &status, 0), holder.pid());
    taker.goOn();
    ASSERT_TRUE(endedWell(taker.pid()));

    auto lines = heardLines(log);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].at("code"), TVKAPITransfersRunElsewhereErrorCode) << lines[0].dump();
    EXPECT_TRUE(lines[1].at("ok").get<bool>()) << lines[1].dump();
    EXPECT_TRUE(test::readFile(files / "taken") == QuarraTestServer::generatedBody(kSharedLength));
}

}  // namespace
}  // namespace quarra
