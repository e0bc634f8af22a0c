#include "transport/HTURLSessionManager.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "quarra/Dispatch.h"
#include "quarra/RunLoop.h"
#include "platform/URLError.h"
#include <atomic>
#include <future>

#include "support/QuarraTestServer.h"
#include "support/TestSupport.h"
#include "transport/HTHTTPResponseSerializer.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

// The public task notifications, and the handler calls, in the order the main thread saw them.
class Journal {
  public:
    Journal() {
        for (const char* name :
             {HTNetworkingTaskDidResumeNotification, HTNetworkingTaskDidSuspendNotification,
              HTNetworkingTaskDidCompleteNotification,
              HTURLSessionDownloadTaskDidFailToMoveFileNotification,
              HTURLSessionDidInvalidateNotification}) {
            tokens_.push_back(NotificationCenter::defaultCenter().addObserver(
                name, [this](const Notification& notification) {
                    std::lock_guard lock(mutex_);
                    entries_.push_back(shortName(notification.name));
                    notifications_.push_back(notification);
                }));
        }
    }
    ~Journal() {
        for (auto token : tokens_)
            NotificationCenter::defaultCenter().removeObserver(token);
    }
    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
        notifications_.clear();
    }
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // Runs the main queue until `count` notifications named `name` arrived.
    bool waitFor(const std::string& name, std::size_t count = 1) {
        return runMainUntil([&] { return this->count(name) >= count; }, 10s);
    }
    std::size_t count(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return std::count(entries_.begin(), entries_.end(), name);
    }
    // The last notification named `name` about `task`.
    Notification last(const char* name, const URLSessionTaskPtr& task) const {
        std::lock_guard lock(mutex_);
        for (auto it = notifications_.rbegin(); it != notifications_.rend(); ++it) {
            if (it->name == name && it->sender.get() == task.get())
                return *it;
        }
        return {};
    }

    std::vector<Notification> all(const std::string& name) const {
        std::lock_guard lock(mutex_);
        std::vector<Notification> out;
        for (const auto& n : notifications_) {
            if (n.name == name)
                out.push_back(n);
        }
        return out;
    }

  private:
    static std::string shortName(const std::string& name) {
        return name.substr(name.rfind('.') + 1);
    }

    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
    std::vector<Notification> notifications_;
    std::vector<ObserverToken> tokens_;
};

class URLSessionManagerTest : public ::testing::Test {
  protected:
    URLSessionManagerTest() { server.trustAuthority(); }
    ~URLSessionManagerTest() override {
        server.releaseStalls();
        if (manager)
            manager->invalidateSessionCancelingTasks(true);
    }
    UrlRequest request(const std::string& path, const std::string& method = "GET") {
        UrlRequest r(server.url(path));
        r.httpMethod = method;
        return r;
    }
    // A completion handler that notes its call in the journal and keeps what it received.
    // Handlers of a test may still run after it ended (its tasks were cancelled); they then do
    // nothing.
    HTURLSessionManager::CompletionHandler handler() {
        return [this, alive = std::weak_ptr<int>(alive_)](
                   const HttpResponsePtr& response, const std::any& object, const ErrorPtr& error) {
            if (!alive.lock())
                return;
            journal.add("handler");
            handled = true;
            this->response = response;
            this->object = object;
            this->error = error;
        };
    }
    bool waitForHandler() {
        return runMainUntil([&] { return handled; }, 10s);
    }

    std::shared_ptr<int> alive_ = std::make_shared<int>();
    QuarraTestServer server;
    Journal journal;
    HTURLSessionManagerPtr manager = HTURLSessionManager::make();
    bool handled = false;
    HttpResponsePtr response;
    std::any object;
    ErrorPtr error;
};

TEST_F(URLSessionManagerTest, EachTaskKindRunsItsHandlerBeforeTheCompleteNotification) {
    test::TempDir folder;
    // The reply waits until both resumes are made: a second resume of a running task announces
    // nothing, while one of a task that has already finished would.
    Reply stalled = Reply::json(R"({"id":7})");
    stalled.stallBeforeHead = true;
    server.reply("/doc", stalled);
    struct Case {
        std::string kind;
        std::function<URLSessionTaskPtr()> make;
    } cases[] = {
        {"data", [&] { return manager->dataTaskWithRequest(request("/doc"), handler()); }},
        {"upload",
         [&] {
             return manager->uploadTaskWithRequest(request("/doc", "POST"), toBytes("up"), nullptr,
                                                   handler());
         }},
        {"download",
         [&] {
             return manager->downloadTaskWithRequest(
                 request("/doc"), nullptr,
                 [&](const Url&, const HttpResponsePtr&) { return Url::fileUrl(folder / "doc"); },
                 handler());
         }},
    };
    for (const auto& c : cases) {
        journal.clear();
        auto task = c.make();
        ASSERT_TRUE(task) << c.kind;
        EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
        const std::size_t sent = server.requests().size();
        task->resume();
        task->resume();
        ASSERT_TRUE(server.waitForRequests(sent + 1, 60s)) << c.kind;
        server.releaseStalls();
        ASSERT_TRUE(journal.waitFor("complete")) << c.kind;
        runMainUntil([] { return false; }, 20ms);
        EXPECT_EQ(journal.entries(), (std::vector<std::string>{"resume", "handler", "complete"}))
            << c.kind;
        EXPECT_EQ(response->statusCode, 200);
        EXPECT_FALSE(error) << c.kind;
        if (c.kind == "data") {
            EXPECT_EQ(std::any_cast<Json>(object), Json({{"id", 7}}));
        }
    }
    EXPECT_EQ(std::any_cast<Url>(object), Url::fileUrl(folder / "doc"));
    EXPECT_EQ(test::readFile(folder / "doc"), R"({"id":7})");
}

TEST_F(URLSessionManagerTest, OnlyTheOwningManagerAnnouncesResumeAndSuspend) {
    Reply stall = Reply::json("{}");
    stall.stallBeforeHead = true;
    server.reply("/slow", stall);
    auto other = HTURLSessionManager::make();
    auto task = manager->dataTaskWithRequest(request("/slow"), nullptr);
    auto foreign = URLSession::make({})->dataTask(request("/slow")).value();
    task->resume();
    task->suspend();
    task->suspend();
    task->resume();
    foreign->resume();
    foreign->cancel();
    ASSERT_TRUE(journal.waitFor("resume", 2));
    runMainUntil([] { return false; }, 100ms);
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"resume", "suspend", "resume"}));
    other->invalidateSessionCancelingTasks(true);
}

// Which keys the task-complete notification carries, case by case.
TEST_F(URLSessionManagerTest, CompleteNotificationKeysFollowTheOutcome) {
    test::TempDir folder;
    server.reply("/json", Reply::json(R"({"a":1})"));
    server.reply("/empty", Reply::json("", 204));
    Reply drop;
    drop.dropConnection = true;
    server.reply("/drop", drop);
    Reply file = Reply::json("payload");
    file.contentType = "application/octet-stream";
    server.reply("/file", file);
    server.reply("/missing", Reply::json(R"({"error":"no"})", 404));
    auto destination = [&](const std::string& name) {
        return [path = folder / name](const Url&, const HttpResponsePtr&) {
            return std::optional(Url::fileUrl(path));
        };
    };
    manager->setResponseSerializer(HTHTTPResponseSerializer::serializer());
    enum Key { Serializer = 1, Data = 2, Serialized = 4, Asset = 8, Error = 16 };
    struct Case {
        std::string name;
        std::function<URLSessionTaskPtr()> make;
        int keys;
    } cases[] = {
        {"data ok", [&] { return manager->dataTaskWithRequest(request("/json"), nullptr); },
         Serializer | Data | Serialized},
        {"data dropped", [&] { return manager->dataTaskWithRequest(request("/drop"), nullptr); },
         Serializer | Data | Error},
        {"upload, empty reply",
         [&] {
             return manager->uploadTaskWithRequest(request("/empty", "POST"), toBytes("x"), nullptr,
                                                   nullptr);
         },
         Serializer | Data | Serialized},
        {"download moved",
         [&] {
             return manager->downloadTaskWithRequest(request("/file"), nullptr, destination("a"),
                                                     nullptr);
         },
         Serializer | Serialized | Asset},
        {"download moved, 404",
         [&] {
             return manager->downloadTaskWithRequest(request("/missing"), nullptr, destination("b"),
                                                     nullptr);
         },
         Serializer | Serialized | Asset | Error},
        {"download without destination",
         [&] {
             return manager->downloadTaskWithRequest(request("/json"), nullptr, nullptr, nullptr);
         },
         Serializer | Data | Serialized},
    };
    std::size_t completed = 0;
    for (const auto& c : cases) {
        auto task = c.make();
        task->resume();
        ASSERT_TRUE(journal.waitFor("complete", ++completed)) << c.name;
        Notification n = journal.last(HTNetworkingTaskDidCompleteNotification, task);
        int keys = 0;
        for (auto [key, bit] : {std::pair{HTNetworkingTaskDidCompleteResponseSerializerKey, 1},
                                {HTNetworkingTaskDidCompleteResponseDataKey, 2},
                                {HTNetworkingTaskDidCompleteSerializedResponseKey, 4},
                                {HTNetworkingTaskDidCompleteAssetPathKey, 8},
                                {HTNetworkingTaskDidCompleteErrorKey, 16}}) {
            if (n.userInfo.count(key))
                keys |= bit;
        }
        EXPECT_EQ(keys, c.keys) << c.name << " " << ::testing::PrintToString(journal.entries());
        if (const Url* asset = n.value<Url>(HTNetworkingTaskDidCompleteAssetPathKey)) {
            EXPECT_EQ(*n.value<Url>(HTNetworkingTaskDidCompleteSerializedResponseKey), *asset);
            EXPECT_TRUE(std::filesystem::exists(asset->filePath())) << c.name;
        }
        if (const Bytes* data = n.value<Bytes>(HTNetworkingTaskDidCompleteResponseDataKey)) {
            EXPECT_EQ(data->empty(), c.name != "data ok") << c.name;
        }
    }
    EXPECT_EQ(test::readFile(folder / "a"), "payload");
}

TEST_F(URLSessionManagerTest, DownloadThatCannotBeMovedIsReportedAndStillCompletes) {
    test::TempDir folder;
    test::writeFile(folder / "taken", "old");
    Reply file = Reply::json("new");
    server.reply("/file", file);
    auto task = manager->downloadTaskWithRequest(
        request("/file"), nullptr,
        [&](const Url&, const HttpResponsePtr&) { return Url::fileUrl(folder / "taken"); },
        handler());
    task->resume();
    ASSERT_TRUE(journal.waitFor("complete"));
    // The move error is posted on the delegate queue, before the handler and the notification.
    auto entries = journal.entries();
    auto at = [&](const std::string& entry) {
        return std::find(entries.begin(), entries.end(), entry) - entries.begin();
    };
    EXPECT_LT(at("file-manager-error"), at("handler")) << ::testing::PrintToString(entries);
    EXPECT_LT(at("handler"), at("complete")) << ::testing::PrintToString(entries);
    ASSERT_TRUE(std::any_cast<Url>(&object));
    EXPECT_EQ(std::any_cast<Url>(object), Url::fileUrl(folder / "taken"));
    EXPECT_EQ(test::readFile(folder / "taken"), "old");
}

TEST_F(URLSessionManagerTest, DownloadGoesOnFromResumeDataToItsDestination) {
    test::TempDir folder;
    Reply file;
    file.generatedLength = 512 * 1024;
    file.contentType = "application/octet-stream";
    file.headers.emplace_back("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
    file.stallAfter = 100000;
    server.reply("/file", file);
    std::atomic<std::int64_t> written = 0;
    auto first = manager->downloadTaskWithRequest(
        request("/file"), [&](const Progress& p) { written = p.completedUnitCount(); }, nullptr,
        handler());
    first->resume();
    ASSERT_TRUE(runMainUntil([&] { return written >= 100000; }, 10s));
    std::promise<Result<Bytes>> produced;
    first->cancelByProducingResumeData([&](Result<Bytes> data) { produced.set_value(data); });
    Result<Bytes> data = produced.get_future().get();
    ASSERT_TRUE(data.ok());
    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(error->code(), URLErrorCancelled);
    server.releaseStalls();

    file.stallAfter.reset();
    server.reply("/file", file);
    handled = false;
    std::atomic<std::int64_t> resumedAt = -1;
    manager->setDownloadTaskDidResumeBlock([&](URLSession&, const URLSessionTaskPtr&,
                                               std::int64_t offset,
                                               std::int64_t) { resumedAt = offset; });
    Result<URLSessionTaskPtr> resumed = manager->downloadTaskWithResumeData(
        *data, nullptr,
        [&](const Url&, const HttpResponsePtr&) { return Url::fileUrl(folder / "file"); },
        handler());
    ASSERT_TRUE(resumed.ok());
    (*resumed)->resume();
    ASSERT_TRUE(waitForHandler());
    EXPECT_FALSE(error);
    EXPECT_EQ(resumedAt.load(), 100000);
    EXPECT_EQ(std::any_cast<Url>(object), Url::fileUrl(folder / "file"));
    EXPECT_TRUE(test::readFile(folder / "file") == QuarraTestServer::generatedBody(512 * 1024));
    EXPECT_EQ(server.requests("/file").back().header("If-Range"), "Tue, 01 Dec 2026 10:00:00 GMT");

    // Data that is not resume data gets no task and no handler call.
    handled = false;
    Result<URLSessionTaskPtr> refused =
        manager->downloadTaskWithResumeData(toBytes("{}"), nullptr, nullptr, handler());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error()->code(), URLErrorCannotDecodeRawData);
    runMainUntil([] { return false; }, 20ms);
    EXPECT_FALSE(handled);
}

TEST_F(URLSessionManagerTest, ProgressFollowsTheTransferAndCancelsIt) {
    Reply big;
    big.generatedLength = 1 << 20;
    big.contentType = "application/octet-stream";
    server.reply("/big", big);
    server.reply("/upload", Reply::json("{}"));
    std::int64_t uploaded = 0, downloaded = 0;
    auto upload = manager->uploadTaskWithRequest(
        request("/upload", "POST"), Bytes(300000, 'u'),
        [&](const Progress& p) { uploaded = p.completedUnitCount(); }, nullptr);
    auto download = manager->dataTaskWithRequest(
        request("/big"), nullptr, [&](const Progress& p) { downloaded = p.completedUnitCount(); },
        nullptr);
    upload->resume();
    download->resume();
    ASSERT_TRUE(journal.waitFor("complete", 2));
    EXPECT_EQ(uploaded, 300000);
    EXPECT_EQ(downloaded, 1 << 20);
    EXPECT_TRUE(runMainUntil([&] { return !manager->uploadProgressForTask(upload); }))
        << "dropped after completion";

    Reply stall = big;
    stall.stallAfter = 1000;
    server.reply("/stall", stall);
    auto stalled = manager->dataTaskWithRequest(request("/stall"), handler());
    ProgressPtr progress = manager->downloadProgressForTask(stalled);
    ASSERT_TRUE(progress);
    stalled->resume();
    progress->cancel();
    ASSERT_TRUE(waitForHandler());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLErrorCancelled);

    // First asked for mid-transfer (the data block runs after the task's own bookkeeping), the
    // object starts from what has arrived and still cancels the task.
    std::atomic<std::size_t> arrived{0};
    manager->setDataTaskDidReceiveDataBlock(
        [&](URLSession&, const URLSessionTaskPtr&, const Bytes& data) { arrived += data.size(); });
    handled = false;
    auto late = manager->dataTaskWithRequest(request("/stall"), handler());
    late->resume();
    ASSERT_TRUE(runMainUntil([&] { return arrived == 1000; }));
    ProgressPtr lateProgress = manager->downloadProgressForTask(late);
    ASSERT_TRUE(lateProgress);
    EXPECT_EQ(lateProgress->completedUnitCount(), 1000);
    EXPECT_EQ(lateProgress->totalUnitCount(), 1 << 20);
    lateProgress->cancel();
    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(error ? error->code() : 0, URLErrorCancelled);
    manager->setDataTaskDidReceiveDataBlock(nullptr);
}

TEST_F(URLSessionManagerTest, TaskListsAnswerAlsoFromTheDelegateQueue) {
    Reply stall = Reply::json("{}");
    stall.stallAfter = 0;
    server.reply("/slow", stall);
    auto data = manager->dataTaskWithRequest(request("/slow"), nullptr);
    auto download = manager->downloadTaskWithRequest(request("/slow"), nullptr, nullptr, nullptr);
    std::size_t seenOnQueue = 0;
    DispatchSemaphore asked;
    manager->setDataTaskDidReceiveResponseBlock(
        [&](URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&) {
            seenOnQueue = manager->tasks().size();
            asked.signal();
            return URLSessionResponseDisposition::Allow;
        });
    data->resume();
    download->resume();
    ASSERT_TRUE(asked.wait(10s));
    EXPECT_EQ(seenOnQueue, 2u);
    EXPECT_EQ(manager->tasks(), (std::vector<URLSessionTaskPtr>{data, download}));
    EXPECT_EQ(manager->downloadTasks(), (std::vector<URLSessionTaskPtr>{download}));
    EXPECT_TRUE(manager->uploadTasks().empty());
}

TEST_F(URLSessionManagerTest, CacheKeepsWhatTheWillCacheBlockReturns) {
    URLSessionConfiguration configuration;
    configuration.urlCache = URLCache::make(1 << 20);
    manager->invalidateSessionCancelingTasks(true);
    manager = HTURLSessionManager::make(configuration);
    Reply cacheable = Reply::json(R"({"v":1})");
    cacheable.headers = {{"Cache-Control", "max-age=60"}};
    server.reply("/kept", cacheable);
    server.reply("/declined", cacheable);
    std::atomic<int> asked = 0;
    manager->setDataTaskWillCacheResponseBlock(
        [&](URLSession&, const URLSessionTaskPtr& task, const CachedURLResponsePtr& proposed) {
            ++asked;
            return task->originalRequest().url.path() == "/kept" ? proposed : nullptr;
        });
    for (const char* path : {"/kept", "/declined", "/kept", "/declined"}) {
        handled = false;
        manager->dataTaskWithRequest(request(path), handler())->resume();
        ASSERT_TRUE(waitForHandler()) << path;
        EXPECT_FALSE(error) << path;
        EXPECT_EQ(std::any_cast<Json>(object), Json({{"v", 1}})) << path;
    }
    EXPECT_EQ(server.requests("/kept").size(), 1u);
    EXPECT_EQ(server.requests("/declined").size(), 2u);
    EXPECT_EQ(asked.load(), 3);
}

TEST_F(URLSessionManagerTest, DataTaskThatBecomesADownloadKeepsItsOneHandler) {
    server.reply("/doc", Reply::json(R"({"id":7})"));
    manager->setDataTaskDidReceiveResponseBlock(
        [](URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&) {
            return URLSessionResponseDisposition::BecomeDownload;
        });
    URLSessionTaskPtr became;
    manager->setDataTaskDidBecomeDownloadTaskBlock(
        [&](URLSession&, const URLSessionTaskPtr& data, const URLSessionTaskPtr& download) {
            became = download;
            // Registered again under the download task, before this block runs.
            journal.add(manager->downloadProgressForTask(download) &&
                                !manager->downloadProgressForTask(data)
                            ? "moved"
                            : "not moved");
        });
    auto task = manager->dataTaskWithRequest(request("/doc"), handler());
    task->resume();
    ASSERT_TRUE(journal.waitFor("complete"));
    runMainUntil([] { return false; }, 20ms);
    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{"resume", "moved", "handler", "complete"}));
    EXPECT_FALSE(error);
    ASSERT_TRUE(became);
    EXPECT_TRUE(journal.last(HTNetworkingTaskDidCompleteNotification, became).sender);
}

TEST_F(URLSessionManagerTest, InvalidationCancelsTasksAndLaterTasksFailAtOnce) {
    Reply stall = Reply::json("{}");
    stall.stallBeforeHead = true;
    server.reply("/slow", stall);
    bool invalidBlock = false;
    manager->setSessionDidBecomeInvalidBlock(
        [&](URLSession&, const ErrorPtr&) { invalidBlock = true; });
    auto task = manager->dataTaskWithRequest(request("/slow"), handler());
    task->resume();
    manager->invalidateSessionCancelingTasks(true);
    ASSERT_TRUE(journal.waitFor("invalidate"));
    EXPECT_TRUE(invalidBlock);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLErrorCancelled);

    handled = false;
    error = nullptr;
    EXPECT_FALSE(manager->dataTaskWithRequest(request("/slow"), handler()));
    ASSERT_TRUE(waitForHandler()) << "a task that cannot be made still answers";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLErrorCancelled);
    manager.reset();
}

TEST_F(URLSessionManagerTest, UploadFromFileAnnouncesTheFilesRealSize) {
    test::TempDir folder;
    test::writeFile(folder / "body", std::string(5000, 'b'));
    server.reply("/upload", Reply::json("{}"));
    UrlRequest upload = request("/upload", "PUT");
    upload.setValue("12", "Content-Length");
    auto task =
        manager->uploadTaskWithRequest(upload, Url::fileUrl(folder / "body"), nullptr, handler());
    task->resume();
    ASSERT_TRUE(waitForHandler());
    EXPECT_FALSE(error) << error->description();
    auto recorded = server.requests("/upload");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].bodyLength, 5000u);
}

TEST_F(URLSessionManagerTest, RedirectsFollowUnlessTheBlockRefuses) {
    server.reply("/old", Reply::redirect("/new"));
    server.reply("/new", Reply::json(R"({"moved":true})"));
    auto task = manager->dataTaskWithRequest(request("/old"), handler());
    task->resume();
    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(response->statusCode, 200);

    handled = false;
    manager->setTaskWillPerformHTTPRedirectionBlock(
        [](URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr&, const UrlRequest&) {
            return std::optional<UrlRequest>();
        });
    manager->dataTaskWithRequest(request("/old"), handler())->resume();
    ASSERT_TRUE(waitForHandler());
    EXPECT_EQ(response->statusCode, 302);
}

// A background upload and download are cut short when their process ends; the next process's
// manager adopts them, and their results arrive through the complete notification, the download
// kept in the default place.
TEST(URLSessionManagerBackground, NextProcessDeliversTransfersTheFirstOneLeft) {
    test::TempDir folder;
    test::writeFile(folder / "upload.bin", std::string(1 << 20, 'q'));
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(toChild[1]);
        char base[128] = {};
        if (read(toChild[0], base, sizeof base - 1) <= 0)
            _exit(2);
        auto configuration = URLSessionConfiguration::backgroundSessionConfiguration("bg.test");
        configuration.backgroundStorageDirectory = folder / "session";
        auto manager = HTURLSessionManager::make(configuration);
        manager->setTaskDidReceiveAuthenticationChallengeBlock(
            [](URLSession&, const URLSessionTaskPtr&, const AuthChallenge& challenge,
               std::optional<UrlCredential>* credential) {
                *credential = UrlCredential::forTrust(challenge.protectionSpace.serverTrust);
                return AuthChallengeDisposition::UseCredential;
            });
        UrlRequest upload(*Url::parse(std::string(base) + "/upload"));
        upload.httpMethod = "POST";
        manager
            ->uploadTaskWithRequest(upload, Url::fileUrl(folder / "upload.bin"), nullptr, nullptr)
            ->resume();
        auto download = manager->downloadTaskWithRequest(
            UrlRequest(*Url::parse(std::string(base) + "/file")), nullptr, nullptr, nullptr);
        DispatchSemaphore started;
        manager->setDownloadTaskDidWriteDataBlock(
            [&](URLSession&, const URLSessionTaskPtr&, std::int64_t, std::int64_t total,
                std::int64_t) {
                if (total >= 64 * 1024)
                    started.signal();
            });
        download->resume();
        _exit(started.wait(std::chrono::seconds(60)) ? 0 : 3);
    }
    close(toChild[0]);
    QuarraTestServer server;
    server.trustAuthority();
    Reply file;
    file.generatedLength = 1 << 20;
    file.contentType = "application/octet-stream";
    file.headers.emplace_back("ETag", "\"v1\"");
    Reply first = file;
    first.stallAfter = 64 * 1024;
    server.replies("/file", {first, file});
    Reply stalledUpload = Reply::json(R"({"stored":true})");
    stalledUpload.stallBeforeHead = true;
    server.replies("/upload", {stalledUpload, Reply::json(R"({"stored":true})")});
    std::string base = server.url("").string();
    ASSERT_EQ(write(toChild[1], base.data(), base.size()), static_cast<ssize_t>(base.size()));
    close(toChild[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    Journal journal;
    auto configuration = URLSessionConfiguration::backgroundSessionConfiguration("bg.test");
    configuration.backgroundStorageDirectory = folder / "session";
    auto manager = HTURLSessionManager::make(configuration);
    bool backgroundDone = false;
    manager->setDidFinishEventsForBackgroundURLSessionBlock(
        [&](URLSession&) { backgroundDone = true; });
    ASSERT_TRUE(journal.waitFor("complete", 2));
    ASSERT_TRUE(runMainUntil([&] { return backgroundDone; }, 10s));
    EXPECT_TRUE(manager->tasks().empty());
    std::size_t uploads = 0, downloads = 0;
    for (const Notification& n : journal.all(HTNetworkingTaskDidCompleteNotification)) {
        EXPECT_FALSE(n.userInfo.count(HTNetworkingTaskDidCompleteErrorKey));
        if (const Url* asset = n.value<Url>(HTNetworkingTaskDidCompleteAssetPathKey)) {
            ++downloads;
            std::string content = test::readFile(asset->filePath());
            EXPECT_EQ(content.size(), 1u << 20);

            EXPECT_TRUE(content == QuarraTestServer::generatedBody(1 << 20));
        } else {
            ++uploads;
            const Json* reply = n.value<Json>(HTNetworkingTaskDidCompleteSerializedResponseKey);
            ASSERT_TRUE(reply);
            EXPECT_EQ(*reply, Json({{"stored", true}}));
        }
    }
    EXPECT_EQ(uploads, 1u);
    EXPECT_EQ(downloads, 1u);
    EXPECT_EQ(server.requests("/upload").back().bodyLength, 1u << 20);
    manager->invalidateSessionCancelingTasks(false);
}

}  // namespace
}  // namespace quarra
