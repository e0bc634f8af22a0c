// The host is killed (SIGKILL) at each named step of an upload's and a download's delivery, and
// once by the server right after it stored an upload, then relaunched: every transfer it asked for
// reaches it with its true outcome, twice only when it died in its own handler, and nothing is left
// on disk that no record names. The host is this program again, started with a stage to play.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>

#include "core/TVKPendingTransfers.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "platform/Directories.h"
#include "platform/UserDefaults.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraAPI.h"
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

constexpr const char* kCrashContent = "objects/documents/7/content";
constexpr const char* kCrashDocumentsPath = "objects/documents";
constexpr std::uint64_t kDownloadLength = 256 << 10;

// --- The host's two lives

bool stage(const char* name) {
    if (std::string(envValue("QUARRA_CRASH_STAGE")) != name)
        return false;
    setenv("XDG_DATA_HOME", envValue("QUARRA_CRASH_DATA"), 1);
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    return true;
}

// One line per result the host heard; appended whole, so a kill loses none that was written.
void note(const Json& line) {
    test::appendLine(envValue("QUARRA_CRASH_LOG"), line.dump());
}

Json result(const std::optional<Url>& fileURL, const Json& reply, const ErrorPtr& error) {
    return {{"file", fileURL ? fileURL->filePath().string() : ""},
            {"ok", !error},
            {"status", reply.is_object() ? reply.value("responseStatus", "") : ""},
            {"error", error ? error->description() : ""}};
}

int delivered = 0;

TVKQuarraUploadHandler uploadNote() {
    return [](const Json& reply, const std::optional<Url>& fileURL,
              const std::optional<std::string>&, const ErrorPtr& error) {
        ++delivered;
        note(result(fileURL, reply, error));
    };
}

TVKQuarraDownloadHandler downloadNote() {
    return [](const Json& reply, const std::optional<Url>& fileURL, const std::string&,
              const std::optional<std::string>&, const ErrorPtr& error) {
        ++delivered;
        note(result(fileURL, reply, error));
    };
}

TEST(TransferCrashHost, StartsTransfersAndIsKilled) {
    if (!stage("crash"))
        GTEST_SKIP() << "runs only as the first life of the crash test's host";
    std::string step = envValue("QUARRA_CRASH_STEP");
    setTransferStepHook([step](std::string_view reached) {
        if (reached == step)
            ::kill(::getpid(), SIGKILL);
    });
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auth.setAuthDNS(std::string("127.0.0.1:") + envValue("QUARRA_CRASH_PORT"));
    test::Outcome signIn;
    auth.loginToAuthServerWithUsername(SignInTestBed::Alice, SignInTestBed::AlicePassword,
                                       signIn.userHandler());
    ASSERT_TRUE(signIn.wait());
    ASSERT_FALSE(signIn.error) << signIn.error->description();
    auto quarra = *auth.quarraWithId(SignInTestBed::FirstQuarra);
    // A transfer counts as asked for once its call has returned; a kill may come before.
    auto& api = TVKQuarraAPI::sharedInstance();
    api.requestQuarraDownloadFileEndpoint(kCrashContent, quarra,
                                          Url::fileUrl(envValue("QUARRA_CRASH_PLAIN")), false, {},
                                          nullptr, downloadNote());
    note({{"asked", envValue("QUARRA_CRASH_PLAIN")}});
    api.requestQuarraDownloadFileEndpoint(kCrashContent, quarra,
                                          Url::fileUrl(envValue("QUARRA_CRASH_ENCRYPTED")), true,
                                          {}, nullptr, downloadNote());
    note({{"asked", envValue("QUARRA_CRASH_ENCRYPTED")}});
    api.requestQuarraMultipartFormEndpoint(kCrashDocumentsPath, quarra,
                                           Url::fileUrl(envValue("QUARRA_CRASH_UPLOAD")), false,
                                           TVKQuarraRequestMethodPOST, {}, nullptr, uploadNote());
    note({{"asked", envValue("QUARRA_CRASH_UPLOAD")}});
    runMainUntil([] { return delivered == 3; }, std::chrono::seconds(90));
    // Alive here means the step never came: the test that started this one fails.
    std::fflush(nullptr);
    _exit(0);
}

TEST(TransferCrashHost, IsRelaunched) {
    if (!stage("relaunch"))
        GTEST_SKIP() << "runs only as the second life of the crash test's host";
    // Killed again, while it delivers what the first life left, when the scenario says so.
    std::string step = envValue("QUARRA_CRASH_RELAUNCH_STEP");
    if (!step.empty()) {
        setTransferStepHook([step](std::string_view reached) {
            if (reached == step)
                ::kill(::getpid(), SIGKILL);
        });
    }
    // The session id stays in the keychain: no task the background session kept carries it.
    std::error_code ec;
    for (auto it =
             fs::recursive_directory_iterator(applicationSupportDirectory() / "URLSessions", ec);
         it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().extension() != ".json")
            continue;
        auto record = parseJson(test::readFile(it->path()));
        ASSERT_TRUE(record) << it->path();
        for (const auto& [field, value] : (*record)["request"]["headers"].items())
            EXPECT_NE(strcasecmp(field.c_str(), "Authorization"), 0) << it->path();
    }
    auto& api = TVKQuarraAPI::sharedInstance();
    bool late = *envValue("QUARRA_CRASH_LATE");
    if (!late) {
        api.setBackgroundUploadResultHandler(uploadNote());
        api.setBackgroundDownloadResultHandler(downloadNote());
    }
    auto& engine = TVKQuarraManager::sharedInstance();
    int events = 0;
    TVKSDKApplicationDelegate::sharedInstance().handleEventsForBackgroundURLSession(
        engine.backgroundSessionIdentifier(), [&] { ++events; });
    ASSERT_TRUE(runMainUntil([&] { return events > 0; }, std::chrono::seconds(90)));
    auto drain = [] {
        for (int round = 0; round < 3; ++round) {
            bool drained = false;
            DispatchQueue::main()->async([&] { drained = true; });
            runMainUntil([&] { return drained; });
        }
    };
    if (late) {
        // Every result of the session has reached the engine, with no handler to take it yet.
        drain();
        EXPECT_EQ(delivered, 0);
        api.setBackgroundUploadResultHandler(uploadNote());
        api.setBackgroundDownloadResultHandler(downloadNote());
    }
    auto& records = engine.pendingTransfers();
    auto& defaults = UserDefaults::standard();
    EXPECT_TRUE(runMainUntil(
        [&] {
            return defaults.objectForKey(records.userDefaultsUploadTaskInfoKey()).is_null() &&
                   defaults.objectForKey(records.userDefaultsDownloadTaskInfoKey()).is_null();
        },
        std::chrono::seconds(90)));
    drain();
    // What no record names any more must be gone: bodies, temporaries, the session's own files.
    Json left = Json::array();
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    for (const fs::path& folder :
         std::vector<fs::path>{configuration.uploadsDirectory(), configuration.downloadsDirectory(),
                               applicationSupportDirectory() / "com.tovik.transport.downloads",
                               applicationSupportDirectory() / "URLSessions"}) {
        for (auto it = fs::recursive_directory_iterator(folder, ec);
             it != fs::recursive_directory_iterator(); ++it) {
            std::string name = it->path().filename().string();
            if (it->is_regular_file() && name != "lock" && name != "next-identifier")
                left.push_back(it->path().string());
        }
    }
    note({{"left", left}});
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

// --- The test

struct Scenario {
    const char* step;             // where the host is killed; "server" when the server kills it
    bool brokenDownload = false;  // the server cuts every download short
    bool lateHandlers = false;    // the relaunched host sets its handlers only after the session
                                  // delivered everything
    const char* relaunchStep = nullptr;  // where the relaunched host is killed too, as it
                                         // delivers to its background handlers
    bool previousRelease = false;  // the records left are rewritten as the previous release wrote
                                   // them: keyed by their task, with no task field
};

// The records of a task as the previous release kept them.
void rewriteAsPreviousRelease(const fs::path& data) {
    fs::path file = data / Bundle::main().bundleIdentifier() / "Preferences.json";
    auto preferences = parseJson(test::readFile(file));
    ASSERT_TRUE(preferences && preferences->is_object());
    int rewrittenRecords = 0;
    for (const char* kind : {"upload", "download"}) {
        std::string field = std::string("com.tovik.") + kind + ".info.taskid.key";
        for (auto& [key, map] : preferences->items()) {
            if (!key.ends_with(std::string(".") + kind + "_task_info_key"))
                continue;
            Json rewritten = Json::object();
            for (auto& [id, record] : map.items()) {
                if (record.contains(field) && record[field].is_number_unsigned()) {
                    std::string taskKey = std::to_string(record[field].get<std::uint64_t>());
                    record.erase(field);
                    rewritten[taskKey] = record;
                    ++rewrittenRecords;
                } else {
                    rewritten[id] = record;
                }
            }
            map = rewritten;
        }
    }
    EXPECT_GT(rewrittenRecords, 0);
    test::writeFile(file, preferences->dump(2));
}

pid_t spawnHost(const char* stageName, const char* test, const std::vector<std::string>& extra) {
    std::vector<std::string> variables{std::string("QUARRA_CRASH_STAGE=") + stageName};
    variables.insert(variables.end(), extra.begin(), extra.end());
    return test::spawnTestProcess(std::string("TransferCrashHost.") + test, "QUARRA_CRASH_",
                                  variables);
}

int waitFor(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child ? status : -1;
}

std::vector<Json> readNotes(const fs::path& log) {
    std::vector<Json> lines;
    std::istringstream in(test::readFile(log));
    for (std::string line; std::getline(in, line);) {
        if (auto parsed = parseJson(line))
            lines.push_back(*parsed);
    }
    return lines;
}

TEST(TransferCrash, EveryTransferArrivesWithItsTrueOutcomeWhereverTheHostIsKilled) {
    const Scenario scenarios[] = {
        {"upload.requested"},
        {"upload.bodyWritten"},
        {"upload.taskRecorded"},
        {"server"},
        {"upload.handled"},
        {"upload.recordRemoved"},
        {"download.taskRecorded"},
        {"download.stored"},
        {"download.handled"},
        {"download.recordRemoved"},
        {"download.stored", true, true},
        {"upload.taskRecorded", false, false, "upload.recordRemoved"},
        {"download.taskRecorded", false, false, "download.recordRemoved"},
        {"upload.taskRecorded", false, false, nullptr, true},
        {"download.stored", false, false, nullptr, true},
    };
    SignInTestBed bed;
    // The host's process, published once it is spawned (the server may hear from it first).
    struct Host {
        std::mutex mutex;
        std::condition_variable known;
        pid_t pid = 0;
    };
    auto host = std::make_shared<Host>();
    auto publish = [host](pid_t pid) {
        std::lock_guard lock(host->mutex);
        host->pid = pid;
        host->known.notify_all();
    };
    auto killOnUpload = std::make_shared<std::atomic<bool>>(false);
    auto broken = std::make_shared<std::atomic<bool>>(false);
    bed.service.addEndpoint(
        SignInTestBed::FirstQuarra, kCrashDocumentsPath,
        [host, killOnUpload](const RecordedRequest&, const QuarraTestService::User&) {
            // Stored, and the host dies before it hears so.
            if (killOnUpload->exchange(false)) {
                std::unique_lock lock(host->mutex);
                if (host->known.wait_for(lock, std::chrono::minutes(1),
                                         [&] { return host->pid > 0; }))
                    ::kill(host->pid, SIGKILL);
            }
            return QuarraTestService::success();
        });
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, kCrashContent,
                            [broken](const RecordedRequest&, const QuarraTestService::User&) {
                                Reply reply;
                                reply.contentType = "application/pdf";
                                reply.generatedLength = kDownloadLength;
                                if (broken->load())
                                    reply.dropAfter = kDownloadLength / 2;
                                return reply;
                            });
    const std::string uploadPath = bed.service.apiPath(kCrashDocumentsPath);
    int transfers = 0, deliveries = 0, repeatsOnServer = 0, twiceHeard = 0;
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(std::string("killed at ") + scenario.step +
                     (scenario.lateHandlers ? ", handlers set late" : "") +
                     (scenario.previousRelease ? ", records of the previous release" : "") +
                     (scenario.relaunchStep
                          ? std::string(", relaunched and killed at ") + scenario.relaunchStep
                          : std::string()));
        test::TempDir data, files;
        const std::string contents = QuarraTestServer::generatedBody(300 << 10);
        test::writeFile(files / "minutes.txt", contents);
        fs::path plain = files / "plain.pdf", encrypted = files / "sealed.pdf";
        fs::path log = files / "heard.jsonl";
        std::vector<std::string> extra = {
            "QUARRA_CRASH_DATA=" + data.path().string(),
            "QUARRA_CRASH_LOG=" + log.string(),
            "QUARRA_CRASH_PORT=" + std::to_string(bed.first.port()),
            "QUARRA_CRASH_UPLOAD=" + (files / "minutes.txt").string(),
            "QUARRA_CRASH_PLAIN=" + plain.string(),
            "QUARRA_CRASH_ENCRYPTED=" + encrypted.string(),
            std::string("QUARRA_CRASH_STEP=") + scenario.step,
        };
        if (scenario.lateHandlers)
            extra.push_back("QUARRA_CRASH_LATE=1");
        broken->store(scenario.brokenDownload);
        killOnUpload->store(std::string(scenario.step) == "server");
        std::size_t uploadsBefore = bed.first.requests(uploadPath).size();

        pid_t first = spawnHost("crash", "StartsTransfersAndIsKilled", extra);
        publish(first);
        int status = waitFor(first);
        publish(0);
        ASSERT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the host was not killed at its step";
        if (scenario.previousRelease)
            rewriteAsPreviousRelease(data.path());
        if (scenario.relaunchStep) {
            // Its record gone, a result the host has not heard yet would be lost for good.
            std::vector<std::string> again = extra;
            again.push_back(std::string("QUARRA_CRASH_RELAUNCH_STEP=") + scenario.relaunchStep);
            int second = waitFor(spawnHost("relaunch", "IsRelaunched", again));
            ASSERT_TRUE(second != -1 && WIFSIGNALED(second) && WTERMSIG(second) == SIGKILL)
                << "the relaunched host was not killed at its step";
        }
        int relaunched = waitFor(spawnHost("relaunch", "IsRelaunched", extra));
        ASSERT_TRUE(relaunched != -1 && WIFEXITED(relaunched) && WEXITSTATUS(relaunched) == 0);

        auto notes = readNotes(log);
        ASSERT_FALSE(notes.empty());
        EXPECT_EQ(notes.back().value("left", Json::array()), Json::array());
        auto heard = [&](const fs::path& file) {
            std::vector<Json> found;
            for (const Json& line : notes) {
                if (line.value("file", "") == file.string())
                    found.push_back(line);
            }
            return found;
        };
        auto uploadsSeen = bed.first.requests(uploadPath);
        std::size_t stored = uploadsSeen.size() - uploadsBefore;
        int extraDeliveries = 0;
        for (const fs::path& file : {files / "minutes.txt", plain, encrypted}) {
            SCOPED_TRACE(file.filename().string());
            auto results = heard(file);
            bool asked = std::any_of(notes.begin(), notes.end(), [&](const Json& line) {
                return line.value("asked", "") == file.string();
            });
            if (!asked && results.empty())
                continue;  // the kill came before the host asked for it
            ++transfers;
            deliveries += static_cast<int>(results.size());
            ASSERT_FALSE(results.empty()) << "never delivered";
            extraDeliveries += static_cast<int>(results.size()) - 1;
            // A second delivery is the same result again.
            for (const Json& again : results)
                EXPECT_EQ(again, results.front());
            bool ok = results.front().at("ok").get<bool>();
            if (file == files / "minutes.txt") {
                // Delivered as done exactly when the server has it.
                EXPECT_EQ(ok, stored > 0) << results.front().dump();
                if (ok) {
                    EXPECT_EQ(results.front().at("status"), "SUCCESS");
                    ASSERT_EQ(uploadsSeen.back().parts.size(), 1u);
                    EXPECT_TRUE(uploadsSeen.back().parts[0].content == contents);
                }
                repeatsOnServer += stored > 1 ? static_cast<int>(stored) - 1 : 0;
                // Sent again only when the kill fell between the server storing it and the
                // transfer layer recording its reply.
                EXPECT_LE(stored, 2u);
                if (stored > 1)
                    std::cout << "Stored twice after a kill at " << scenario.step << "\n";
                // Once its completion reached the transfer layer, an upload is never sent again.
                if (std::string(scenario.step).starts_with("upload.")) {
                    EXPECT_LE(stored, 1u);
                }
            } else {
                EXPECT_EQ(ok, fs::exists(file)) << results.front().dump();
                if (scenario.brokenDownload) {
                    EXPECT_FALSE(ok);
                }
                if (ok && file == plain) {
                    EXPECT_TRUE(test::readFile(plain) ==
                                QuarraTestServer::generatedBody(kDownloadLength));
                }
                if (ok && file == encrypted) {
                    EXPECT_GT(fs::file_size(encrypted), kDownloadLength);
                }
            }
        }
        // A host that died in its handler hears that result again. Another transfer's result is
        // heard twice only if the kill fell just after its handler returned, before the record
        // went: rare, and always the same result again.
        if (std::string(scenario.step).ends_with(".handled")) {
            EXPECT_GE(extraDeliveries, 1);
        }
        EXPECT_LE(extraDeliveries, 2);
        twiceHeard += extraDeliveries;
    }
    std::cout << "Crash test: " << std::size(scenarios) << " kills, " << transfers << " transfers, "
              << deliveries << " deliveries (" << twiceHeard << " heard twice), " << repeatsOnServer
              << " upload(s) stored twice by the server\n";
}

}  // namespace
}  // namespace quarra
