// Background downloads and uploads against the loopback Quarra test server: what travels, where
// the files end up, and that every result is delivered once with nothing left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include <spawn.h>
#include <sys/wait.h>

#include "quarra/TVKErrors.h"
#include "quarra/TVKQuarraAPI.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "platform/UserDefaults.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "support/FailingKeychainStore.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::QuarraTestServer;
using test::QuarraTestService;
using test::RecordedRequest;
using test::Reply;
using test::SignInTestBed;

constexpr const char* Content = "objects/documents/7/content";
constexpr const char* DocumentsPath = "objects/documents";

struct DownloadOutcome {
    int calls = 0;
    Json response;
    std::optional<Url> fileURL;
    std::string mimeType;
    std::optional<std::string> username;
    ErrorPtr error;

    TVKQuarraDownloadHandler handler() {
        return [this](const Json& r, const std::optional<Url>& f, const std::string& m,
                      const std::optional<std::string>& u, const ErrorPtr& e) {
            ++calls;
            response = r;
            fileURL = f;
            mimeType = m;
            username = u;
            error = e;
        };
    }
    bool wait() {
        return runMainUntil([this] { return calls > 0; }, std::chrono::seconds(60));
    }
};

struct UploadOutcome {
    int calls = 0;
    Json response;
    std::optional<Url> fileURL;
    std::optional<std::string> username;
    ErrorPtr error;

    TVKQuarraUploadHandler handler() {
        return [this](const Json& r, const std::optional<Url>& f,
                      const std::optional<std::string>& u, const ErrorPtr& e) {
            ++calls;
            response = r;
            fileURL = f;
            username = u;
            error = e;
        };
    }
    bool wait() {
        return runMainUntil([this] { return calls > 0; }, std::chrono::seconds(120));
    }
};

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

class TransfersTest : public ::testing::Test {
  protected:
    TVKQuarraManager& engine() { return TVKQuarraManager::sharedInstance(); }
    fs::path downloads() {
        return TVKQuarraConfigurationManager::sharedInstance().downloadsDirectory();
    }
    fs::path uploads() {
        return TVKQuarraConfigurationManager::sharedInstance().uploadsDirectory();
    }

    // Serves `reply` for the content endpoint of the first Quarra, once the session checks out.
    void serve(Reply reply) {
        bed.service.addEndpoint(
            SignInTestBed::FirstQuarra, Content,
            [reply](const RecordedRequest&, const QuarraTestService::User&) { return reply; });
    }
    static Reply file(std::uint64_t length, const std::string& type = "application/pdf") {
        Reply reply;
        reply.contentType = type;
        reply.generatedLength = length;
        return reply;
    }

    DownloadOutcome download(const fs::path& destination, bool encrypt = false,
                             const std::string& endpoint = Content,
                             std::uint64_t quarra = SignInTestBed::FirstQuarra) {
        DownloadOutcome outcome;
        engine().requestQuarraDownloadFileEndpoint(endpoint, bed.quarra(quarra),
                                                   Url::fileUrl(destination), encrypt,
                                                   {{"version", 2}}, nullptr, outcome.handler());
        EXPECT_TRUE(outcome.wait());
        return outcome;
    }

    // Nothing of a delivered transfer remains: no record, no temporary file, no body file.
    void expectNothingPending() {
        auto& records = engine().pendingTransfers();
        EXPECT_TRUE(UserDefaults::standard()
                        .objectForKey(records.userDefaultsDownloadTaskInfoKey())
                        .is_null());
        EXPECT_TRUE(UserDefaults::standard()
                        .objectForKey(records.userDefaultsUploadTaskInfoKey())
                        .is_null());
        EXPECT_EQ(entries(downloads()), std::vector<std::string>());
        EXPECT_EQ(entries(uploads()), std::vector<std::string>());
    }

    void expectDeliveredFromRecord(bool linkedAlready);

    SignInTestBed bed;
    test::TempDir dir;
};

// --- Downloads

TEST_F(TransfersTest, DownloadIsStoredPlainOrEncryptedAndLeavesNothingBehind) {
    bed.signIn();
    const std::uint64_t length = 3 * 65536 + 17;
    serve(file(length));
    for (bool encrypt : {false, true}) {
        fs::path destination = dir / (encrypt ? "secret.pdf" : "plain.pdf");
        DownloadOutcome outcome = download(destination, encrypt);
        ASSERT_FALSE(outcome.error) << outcome.error->description();
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.fileURL, Url::fileUrl(destination));
        EXPECT_EQ(outcome.mimeType, "application/pdf");
        EXPECT_EQ(outcome.username, "alice");
        EXPECT_TRUE(outcome.response.is_null());
        std::string stored = test::readFile(destination);
        if (encrypt) {
            EXPECT_NE(stored.size(), length);
            auto plain = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(destination);
            ASSERT_TRUE(plain);
            EXPECT_EQ(std::string(plain->begin(), plain->end()),
                      QuarraTestServer::generatedBody(length));
        } else {
            EXPECT_EQ(stored, QuarraTestServer::generatedBody(length));
        }
        expectNothingPending();
    }
    auto sent = bed.first.requests(bed.service.apiPath(Content));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].query, "version=2");
    EXPECT_EQ(bed.service.headerFaults(), 0);
}

TEST_F(TransfersTest, DownloadToAnInvalidLocationStartsNothing) {
    bed.signIn();
    struct Case {
        std::string endpoint;
        Url destination;
    } cases[] = {
        {"", Url::fileUrl(dir / "a.pdf")},
        {Content, *Url::parse("https://example.com/a.pdf")},
        {Content, *Url::parse("file:///.file/id=6571367.2773272")},
    };
    for (const Case& c : cases) {
        DownloadOutcome outcome;
        engine().requestQuarraDownloadFileEndpoint(
            c.endpoint, bed.quarra(SignInTestBed::FirstQuarra), c.destination, false, {}, nullptr,
            outcome.handler());
        ASSERT_TRUE(outcome.wait());
        ASSERT_TRUE(outcome.error);
        EXPECT_TRUE(outcome.error->is(TVKAPIErrorDomain, -1));
        EXPECT_EQ(outcome.error->localizedDescription(), "Invalid download location");
        EXPECT_EQ(outcome.username, "alice");
    }
    EXPECT_EQ(bed.count(Content), 0u);
}

TEST_F(TransfersTest, OnlyAJsonServerReplyIsTakenForAnError) {
    bed.signIn();
    Reply envelope = QuarraTestService::failure("INVALID_DOCUMENT", "no such document");
    Reply document = Reply::json(R"({"title": "a JSON file", "errorsFound": 0})");
    Reply successReply = Reply::json(R"({"responseStatus": "SUCCESS", "id": 7})");
    bed.first.replies(bed.service.apiPath(Content), {envelope, document, successReply});

    DownloadOutcome failed = download(dir / "a.json");
    ASSERT_TRUE(failed.error);
    EXPECT_TRUE(failed.error->is(TVKQuarraErrorDomain, -21));
    EXPECT_EQ(failed.response["errors"][0]["type"], "INVALID_DOCUMENT");
    EXPECT_FALSE(fs::exists(dir / "a.json"));

    DownloadOutcome stored = download(dir / "b.json");
    ASSERT_FALSE(stored.error) << stored.error->description();
    EXPECT_EQ(Json::parse(test::readFile(dir / "b.json"))["title"], "a JSON file");
    EXPECT_EQ(stored.mimeType, "application/json");

    DownloadOutcome success = download(dir / "c.json");
    ASSERT_FALSE(success.error) << success.error->description();
    EXPECT_EQ(success.response["id"], 7);
    EXPECT_TRUE(fs::exists(dir / "c.json"));
    expectNothingPending();
}

TEST_F(TransfersTest, InvalidSessionWithoutResendReachesTheCaller) {
    bed.signIn();
    // The second Quarra is not the current one: signed in to first, so no resend follows.
    bed.second.reply(bed.service.apiPath(Content),
                     QuarraTestService::failure("INVALID_SESSION_ID", "Session expired"));
    DownloadOutcome outcome = download(dir / "x.pdf", false, Content, SignInTestBed::SecondQuarra);
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -2));
    EXPECT_EQ(outcome.calls, 1);
    expectNothingPending();
}

TEST_F(TransfersTest, ServerNamesCannotLeaveTheDownloadsFolder) {
    bed.signIn();
    Reply reply = file(1000, "text/plain");
    reply.headers.emplace_back("Content-Disposition", R"(attachment; filename="../../evil.txt")");
    serve(reply);
    // The move into the downloads folder is watched: nothing may land beside it.
    fs::path data = TVKQuarraConfigurationManager::sharedInstance().applicationDataDirectory();
    auto before = entries(data);
    DownloadOutcome outcome = download(dir / "report.txt");
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(test::readFile(dir / "report.txt"), QuarraTestServer::generatedBody(1000));
    EXPECT_EQ(entries(data), before);
    EXPECT_FALSE(fs::exists(data.parent_path() / "evil.txt"));
    expectNothingPending();
}

TEST_F(TransfersTest, FailedDownloadsAreDeliveredOnceAndCleanedUp) {
    bed.signIn();
    Reply cutOff = file(1 << 20);
    cutOff.dropAfter = 100000;
    serve(cutOff);
    DownloadOutcome broken = download(dir / "broken.pdf");
    ASSERT_TRUE(broken.error);
    EXPECT_FALSE(fs::exists(dir / "broken.pdf"));
    expectNothingPending();

    // A plain copy never replaces an existing file.
    serve(file(500));
    test::writeFile(dir / "existing.pdf", "keep me");
    DownloadOutcome exists = download(dir / "existing.pdf");
    ASSERT_TRUE(exists.error);
    EXPECT_EQ(test::readFile(dir / "existing.pdf"), "keep me");
    expectNothingPending();
    // Everything above went to the caller alone, once each.
    EXPECT_EQ(broken.calls + exists.calls, 2);
}

TEST_F(TransfersTest, ResultOfALiveCallerNeverReachesTheBackgroundHandler) {
    bed.signIn();
    serve(file(4096));
    int background = 0;
    engine().setBackgroundDownloadResultHandler(
        [&](const Json&, const std::optional<Url>&, const std::string&,
            const std::optional<std::string>&, const ErrorPtr&) { ++background; });
    engine().setBackgroundUploadResultHandler([&](const Json&, const std::optional<Url>&,
                                                  const std::optional<std::string>&,
                                                  const ErrorPtr&) { ++background; });
    DownloadOutcome outcome = download(dir / "once.pdf", true);
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    // The notification follows the caller's completion; let it through.
    bool drained = false;
    DispatchQueue::main()->async([&] { DispatchQueue::main()->async([&] { drained = true; }); });
    ASSERT_TRUE(runMainUntil([&] { return drained; }));
    EXPECT_EQ(background, 0);
    EXPECT_EQ(outcome.calls, 1);
    expectNothingPending();
}

TEST_F(TransfersTest, BackgroundEventsHandlerIsKeptForItsOwnSessionAndCalledOnce) {
    int own = 0, foreign = 0;
    engine().setCompletionHandler([&] { ++foreign; }, "some.other.session");
    engine().setCompletionHandler([&] { ++own; }, engine().backgroundSessionIdentifier());
    // A session made again under the identifier adopts (nothing) and reports its events done.
    engine().cancelAllRequests();
    ASSERT_TRUE(runMainUntil([&] { return own > 0; }));
    engine().cancelAllRequests();
    bool drained = false;
    DispatchQueue::main()->async([&] { drained = true; });
    ASSERT_TRUE(runMainUntil([&] { return drained; }));
    EXPECT_EQ(own, 1);
    EXPECT_EQ(foreign, 0);
}

// --- Uploads

class UploadTest : public TransfersTest {
  protected:
    void SetUp() override {
        bed.signIn();
        bed.service.addEndpoint(SignInTestBed::FirstQuarra, DocumentsPath,
                                [](const RecordedRequest& request, const QuarraTestService::User&) {
                                    return QuarraTestService::success({{"method", request.method}});
                                });
    }
    UploadOutcome upload(const fs::path& file, bool encrypted = false,
                         unsigned long method = TVKQuarraRequestMethodPOST) {
        UploadOutcome outcome;
        engine().requestQuarraMultipartFormEndpoint(
            DocumentsPath, bed.quarra(SignInTestBed::FirstQuarra), Url::fileUrl(file), encrypted,
            method, {{"title", "Q3 report"}}, nullptr, outcome.handler());
        EXPECT_TRUE(outcome.wait());
        return outcome;
    }
    std::vector<RecordedRequest> sent() {
        return bed.first.requests(bed.service.apiPath(DocumentsPath));
    }
};

TEST_F(UploadTest, FileTravelsAsOneCompletePartPlainOrDecrypted) {
    const std::string contents = QuarraTestServer::generatedBody(100000) + "\r\n--Boundary+";
    for (bool encrypted : {false, true}) {
        fs::path file = dir / (encrypted ? "sealed.pdf" : "report.pdf");
        if (encrypted) {
            ASSERT_EQ(TVKQuarraCryptManager::sharedInstance().createEncryptedFileAtPath(
                          file,
                          ByteView(reinterpret_cast<const std::uint8_t*>(contents.data()),
                                   contents.size()),
                          Json::object()),
                      nullptr);
        } else {
            test::writeFile(file, contents);
        }
        bed.first.clearRequests();
        UploadOutcome outcome = upload(file, encrypted);
        ASSERT_FALSE(outcome.error) << outcome.error->description();
        EXPECT_EQ(outcome.calls, 1);
        EXPECT_EQ(outcome.response["method"], "POST");
        EXPECT_EQ(outcome.fileURL, Url::fileUrl(file));
        EXPECT_EQ(outcome.username, "alice");
        auto requests = sent();
        ASSERT_EQ(requests.size(), 1u);
        ASSERT_EQ(requests[0].parts.size(), 2u);
        EXPECT_EQ(requests[0].parts[0].name, "title");
        EXPECT_EQ(requests[0].parts[0].content, "Q3 report");
        const auto& part = requests[0].parts[1];
        EXPECT_EQ(part.name, "file");
        EXPECT_EQ(part.filename, file.filename().string());
        EXPECT_EQ(part.contentType, "application/pdf");
        EXPECT_EQ(part.content, contents);
        // Every upload signs in afresh.
        EXPECT_EQ(bed.count("auth"), 1u);
        expectNothingPending();
    }
}

TEST_F(UploadTest, MethodCodeThreeIsPutEverythingElsePost) {
    test::writeFile(dir / "a.txt", "a");
    std::pair<unsigned long, const char*> cases[] = {
        {TVKQuarraRequestMethodGET, "POST"},
        {TVKQuarraRequestMethodPOST, "POST"},
        {TVKQuarraRequestMethodPUT, "PUT"},
        {9, "POST"},
    };
    for (auto [method, expected] : cases) {
        UploadOutcome outcome = upload(dir / "a.txt", false, method);
        ASSERT_FALSE(outcome.error) << outcome.error->description();
        EXPECT_EQ(outcome.response["method"], expected) << method;
    }
}

// A keychain locked after sign-in: the transfer fails with the keychain's error instead of going
// out without its session (which the server would answer as signed out).
TEST_F(UploadTest, AnUnreadableSessionFailsTheTransferBeforeAnythingIsSent) {
    test::writeFile(dir / "a.pdf", "a");
    serve(file(10));
    auto locked = std::make_shared<test::FailingKeychainStore>(
        Keychain::standard().store(), test::FailingKeychainStore::Everything);
    Keychain::standard().setStore(locked);
    UploadOutcome uploaded = upload(dir / "a.pdf");
    DownloadOutcome downloaded = download(dir / "b.pdf");
    for (const ErrorPtr& error : {uploaded.error, downloaded.error}) {
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(KeychainErrorDomain, KeychainReadFailedError)) << error->description();
    }
    EXPECT_EQ(sent().size(), 0u);
    EXPECT_EQ(bed.count(Content), 0u);
    EXPECT_FALSE(fs::exists(dir / "b.pdf"));
    locked->failing = test::FailingKeychainStore::None;
    expectNothingPending();
}

TEST_F(UploadTest, SizeLimitAndUnreadableFilesAreRefusedBeforeAnySignIn) {
    // Sparse files: their size costs no disk.
    auto sparse = [&](const std::string& name, std::uint64_t size) {
        fs::path path = dir / name;
        test::writeFile(path, "");
        fs::resize_file(path, size);
        return path;
    };
    fs::path tooLarge = sparse("large.bin", TVKMaximumUploadFileSize + 1);
    fs::create_directory(dir / "folder.pdf");
    struct Case {
        fs::path file;
        long code;
        std::string description;
    } cases[] = {
        // The code hosts have always matched for this one: -1, as a failed transfer.
        {tooLarge, -1, "File size exceeds allowable size"},
        {dir / "missing.pdf", TVKAPIFileUnreadableErrorCode, "The file to upload cannot be read"},
        {dir / "folder.pdf", TVKAPIFileUnreadableErrorCode, "The file to upload cannot be read"},
    };
    for (const Case& c : cases) {
        UploadOutcome outcome = upload(c.file);
        ASSERT_TRUE(outcome.error) << c.file;
        EXPECT_TRUE(outcome.error->is(TVKAPIErrorDomain, c.code));
        EXPECT_EQ(outcome.error->localizedDescription(), c.description);
        EXPECT_EQ(outcome.fileURL, Url::fileUrl(c.file));
    }
    EXPECT_EQ(bed.count("auth"), 0u);
    EXPECT_EQ(sent().size(), 0u);
    expectNothingPending();

    // Exactly the limit travels.
    UploadOutcome atLimit = upload(sparse("limit.bin", TVKMaximumUploadFileSize));
    ASSERT_FALSE(atLimit.error) << atLimit.error->description();
    auto requests = sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_GT(requests[0].bodyLength, TVKMaximumUploadFileSize);
    expectNothingPending();
}

TEST_F(UploadTest, EncryptedFileThatCannotBeDecryptedIsNeverSent) {
    // Not an encrypted file at all: the decrypting reader fails, and no truncated body leaves.
    test::writeFile(dir / "plain.pdf", "this was never encrypted");
    UploadOutcome outcome = upload(dir / "plain.pdf", true);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(sent().size(), 0u);
    expectNothingPending();
}

// --- A relaunch between start and end of the transfers

constexpr std::uint64_t kRestartDownloadLength = 3 << 20;

// The two later processes of TransfersTest.ResultsOfTransfersStartedBeforeARelaunchArriveOnce;
// skipped unless started by it. The first signs in, starts an upload and a download and ends
// abruptly; the second is the relaunched host.
bool restartStage(const char* stage) {
    const char* current = getenv("QUARRA_TEST_RESTART_STAGE");
    if (!current || std::string(current) != stage)
        return false;
    setenv("XDG_DATA_HOME", getenv("QUARRA_TEST_RESTART_DATA"), 1);
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    return true;
}

TEST(TransfersRestart, StartsTransfersAndEnds) {
    if (!restartStage("start"))
        GTEST_SKIP() << "runs only as the first child of a relaunch test";
    TVKQuarraAuthManager::sharedInstance().setAuthDNS(std::string("127.0.0.1:") +
                                                      getenv("QUARRA_TEST_RESTART_PORT"));
    test::Outcome signIn;
    TVKQuarraAuthManager::sharedInstance().loginToAuthServerWithUsername(
        SignInTestBed::Alice, SignInTestBed::AlicePassword, signIn.userHandler());
    ASSERT_TRUE(signIn.wait());
    ASSERT_FALSE(signIn.error) << signIn.error->description();
    auto quarra = *TVKQuarraAuthManager::sharedInstance().quarraWithId(SignInTestBed::FirstQuarra);
    int calls = 0;
    TVKQuarraAPI::sharedInstance().requestQuarraMultipartFormEndpoint(
        DocumentsPath, quarra, Url::fileUrl(getenv("QUARRA_TEST_RESTART_FILE")), false,
        TVKQuarraRequestMethodPOST, {}, nullptr,
        [&](const Json&, const std::optional<Url>&, const std::optional<std::string>&,
            const ErrorPtr&) { ++calls; });
    TVKQuarraAPI::sharedInstance().requestQuarraDownloadFileEndpoint(
        Content, quarra, Url::fileUrl(getenv("QUARRA_TEST_RESTART_DEST")), true, {}, nullptr,
        [&](const Json&, const std::optional<Url>&, const std::string&,
            const std::optional<std::string>&, const ErrorPtr&) { ++calls; });
    auto& engine = TVKQuarraManager::sharedInstance();
    auto& records = engine.pendingTransfers();
    // The upload is recorded when asked for, and has its task once its body is written.
    auto recorded = [&] {
        auto& defaults = UserDefaults::standard();
        Json uploads = defaults.objectForKey(records.userDefaultsUploadTaskInfoKey());
        bool uploadStarted = uploads.is_object() && !uploads.empty() &&
                             uploads.begin()->contains(TVKUploadInfoTaskIdKey);
        return uploadStarted &&
               !defaults.objectForKey(records.userDefaultsDownloadTaskInfoKey()).is_null();
    };
    ASSERT_TRUE(runMainUntil(recorded, std::chrono::seconds(60)));
    // Both tasks are resumed once the set-up queue has gone past their records.
    engine.sessionManagersQueue()->sync([] {});
    EXPECT_EQ(calls, 0);
    std::fflush(nullptr);
    _exit(::testing::Test::HasFailure() ? 1 : 0);
}

TEST(TransfersRestart, DeliversAfterRelaunch) {
    if (!restartStage("deliver"))
        GTEST_SKIP() << "runs only as the second child of a relaunch test";
    int uploads = 0, downloads = 0, events = 0;
    UploadOutcome upload;
    DownloadOutcome download;
    auto& api = TVKQuarraAPI::sharedInstance();
    api.setBackgroundUploadResultHandler([&](const Json& r, const std::optional<Url>& f,
                                             const std::optional<std::string>& u,
                                             const ErrorPtr& e) {
        ++uploads;
        upload.handler()(r, f, u, e);
    });
    api.setBackgroundDownloadResultHandler(
        [&](const Json& r, const std::optional<Url>& f, const std::string& m,
            const std::optional<std::string>& u, const ErrorPtr& e) {
            ++downloads;
            download.handler()(r, f, m, u, e);
        });
    auto& engine = TVKQuarraManager::sharedInstance();
    TVKSDKApplicationDelegate::sharedInstance().handleEventsForBackgroundURLSession(
        engine.backgroundSessionIdentifier(), [&] { ++events; });
    ASSERT_TRUE(
        runMainUntil([&] { return uploads && downloads && events; }, std::chrono::seconds(90)))
        << "uploads " << uploads << ", downloads " << downloads << ", events " << events;
    bool drained = false;
    DispatchQueue::main()->async([&] { DispatchQueue::main()->async([&] { drained = true; }); });
    ASSERT_TRUE(runMainUntil([&] { return drained; }));
    EXPECT_EQ(uploads, 1);
    EXPECT_EQ(downloads, 1);
    EXPECT_EQ(events, 1);

    ASSERT_FALSE(upload.error) << upload.error->description();
    EXPECT_EQ(upload.response["responseStatus"], "SUCCESS");
    EXPECT_EQ(upload.fileURL, Url::fileUrl(getenv("QUARRA_TEST_RESTART_FILE")));
    EXPECT_EQ(upload.username, SignInTestBed::Alice);
    ASSERT_FALSE(download.error) << download.error->description();
    EXPECT_EQ(download.fileURL, Url::fileUrl(getenv("QUARRA_TEST_RESTART_DEST")));
    EXPECT_EQ(download.username, SignInTestBed::Alice);
    auto plain = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(
        getenv("QUARRA_TEST_RESTART_DEST"));
    ASSERT_TRUE(plain);
    EXPECT_TRUE(std::string(plain->begin(), plain->end()) ==
                QuarraTestServer::generatedBody(kRestartDownloadLength));

    auto& records = engine.pendingTransfers();
    EXPECT_TRUE(
        UserDefaults::standard().objectForKey(records.userDefaultsUploadTaskInfoKey()).is_null());
    EXPECT_TRUE(
        UserDefaults::standard().objectForKey(records.userDefaultsDownloadTaskInfoKey()).is_null());
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    EXPECT_EQ(entries(configuration.uploadsDirectory()), std::vector<std::string>());
    EXPECT_EQ(entries(configuration.downloadsDirectory()), std::vector<std::string>());
}

// An earlier process ended while it stored a finished download: its file and record remain, and
// no task of the session will report it again. It may have linked the file into place already.
void TransfersTest::expectDeliveredFromRecord(bool linkedAlready) {
    fs::create_directories(downloads());
    fs::path temporary = downloads() / "report.pdf-5C1B8F0E";
    test::writeFile(temporary, "finished before the relaunch");
    if (linkedAlready)
        fs::create_hard_link(temporary, dir / "report.pdf");
    const std::string key =
        TVKQuarraConfigurationManager::sharedInstance().frameworkId() + ".download_task_info_key";
    UserDefaults::standard().setObject(
        {{"12",
          {{"com.tovik.download.info.username.key", "alice"},
           {"com.tovik.download.info.filepath.key", (dir / "report.pdf").string()},
           {"com.tovik.download.info.encrypt.key", false},
           {"com.tovik.download.info.tempfilepath.key", temporary.string()}}}},
        key);

    DownloadOutcome outcome;
    engine().setBackgroundDownloadResultHandler(outcome.handler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.fileURL, Url::fileUrl(dir / "report.pdf"));
    EXPECT_EQ(outcome.username, "alice");
    EXPECT_EQ(test::readFile(dir / "report.pdf"), "finished before the relaunch");
    // A second handler finds nothing left to deliver.
    DownloadOutcome again;
    engine().setBackgroundDownloadResultHandler(again.handler());
    bool drained = false;
    DispatchQueue::main()->async([&] { DispatchQueue::main()->async([&] { drained = true; }); });
    ASSERT_TRUE(runMainUntil([&] { return drained; }));
    EXPECT_EQ(outcome.calls + again.calls, 1);
    expectNothingPending();
}

TEST_F(TransfersTest, DownloadAnEarlierProcessDidNotStoreIsDeliveredFromItsRecord) {
    expectDeliveredFromRecord(false);
}

TEST_F(TransfersTest, DownloadAnEarlierProcessLinkedIntoPlaceIsDeliveredNotRefused) {
    expectDeliveredFromRecord(true);
}

TEST_F(TransfersTest, AMissingDownloadedFileNeverRemovesWhatIsAtTheDestination) {
    // What an earlier delivery stored stays, whatever became of the file it was stored from.
    test::writeFile(dir / "report.pdf", "the host's copy");
    const std::string key =
        TVKQuarraConfigurationManager::sharedInstance().frameworkId() + ".download_task_info_key";
    UserDefaults::standard().setObject(
        {{"download-1",
          {{"com.tovik.download.info.username.key", "alice"},
           {"com.tovik.download.info.filepath.key", (dir / "report.pdf").string()},
           {"com.tovik.download.info.encrypt.key", false},
           {"com.tovik.download.info.taskid.key", std::uint64_t{12}},
           {"com.tovik.download.info.tempfilepath.key", (downloads() / "gone.pdf-1").string()}}}},
        key);
    DownloadOutcome outcome;
    engine().handleResponseForDownloadTaskId(Json(), 12, nullptr, outcome.handler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code(), ENOENT);
    EXPECT_EQ(test::readFile(dir / "report.pdf"), "the host's copy");
    expectNothingPending();
}

// Keeps the texts of the log's warnings.
class WarningsKept : public LDAbstractLogger {
  public:
    WarningsKept() : LDAbstractLogger("test.warnings") {}
    void logMessage(const LDLogMessagePtr& message) override {
        std::lock_guard lock(mutex_);
        if (message->flag() == LDLogFlagWarning)
            texts_.push_back(message->message());
    }
    // Whether one of them carries `text` (after the prefix the SDK's lines begin with).
    bool has(const std::string& text) {
        std::lock_guard lock(mutex_);
        return std::any_of(texts_.begin(), texts_.end(), [&](const std::string& kept) {
            return kept.ends_with(text);
        });
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

TEST_F(TransfersTest, ABackgroundTasksEndWithNoHandlerSetIsAWarningInTheLog) {
    auto warnings = std::make_shared<WarningsKept>();
    LDLog::sharedInstance().addLogger(warnings);
    bed.signIn();
    serve(file(1000));
    DownloadOutcome outcome = download(dir / "a.pdf");
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    // The engine's observer hears of the task's end too, with no background handler to give it to.
    EXPECT_TRUE(runMainUntil(
        [&] {
            LDLog::sharedInstance().flushLog();
            return warnings->has("WARNING: no background download task completion handler set.");
        },
        std::chrono::seconds(60)));
    LDLog::sharedInstance().removeLogger(warnings);
}

// Runs this program again with `stage`; true when it ended with status 0.
bool runStage(const char* stage, const char* test) {
    setenv("QUARRA_TEST_RESTART_STAGE", stage, 1);
    std::string self = fs::read_symlink("/proc/self/exe");
    std::string filter = std::string("--gtest_filter=TransfersRestart.") + test;
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ) != 0)
        return false;
    int status = 0;
    bool waited = waitpid(child, &status, 0) == child;
    unsetenv("QUARRA_TEST_RESTART_STAGE");
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(TransfersTest, ResultsOfTransfersStartedBeforeARelaunchArriveOnce) {
    // This process only serves; the two children are the host before and after its relaunch.
    // While the first one lives, no transfer can finish.
    auto holding = std::make_shared<std::atomic<bool>>(true);
    auto held = [holding](Reply reply) {
        reply.stallBeforeHead = holding->load();
        return reply;
    };
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, Content,
                            [held](const RecordedRequest&, const QuarraTestService::User&) {
                                return held(file(kRestartDownloadLength));
                            });
    bed.service.addEndpoint(SignInTestBed::FirstQuarra, DocumentsPath,
                            [held](const RecordedRequest&, const QuarraTestService::User&) {
                                return held(QuarraTestService::success());
                            });
    const std::string contents = QuarraTestServer::generatedBody(1 << 20);
    test::writeFile(dir / "minutes.txt", contents);
    setenv("QUARRA_TEST_RESTART_PORT", std::to_string(bed.first.port()).c_str(), 1);
    setenv("QUARRA_TEST_RESTART_DATA", getenv("XDG_DATA_HOME"), 1);
    setenv("QUARRA_TEST_RESTART_FILE", (dir / "minutes.txt").c_str(), 1);
    setenv("QUARRA_TEST_RESTART_DEST", (dir / "minutes-copy.pdf").c_str(), 1);

    ASSERT_TRUE(runStage("start", "StartsTransfersAndEnds"));
    holding->store(false);
    bed.first.releaseStalls();
    ASSERT_TRUE(runStage("deliver", "DeliversAfterRelaunch"));

    auto uploads = bed.first.requests(bed.service.apiPath(DocumentsPath));
    ASSERT_FALSE(uploads.empty());
    ASSERT_EQ(uploads.back().parts.size(), 1u);
    EXPECT_EQ(uploads.back().parts[0].name, "file");
    EXPECT_TRUE(uploads.back().parts[0].content == contents);
    EXPECT_EQ(bed.service.headerFaults(), 0);
}

}  // namespace
}  // namespace quarra
