#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "platform/Files.h"
#include "platform/URLSession.h"
#include "platform/URLSessionDataTasks.h"
#include "platform/URLSessionTaskTransitions.h"
#include "quarra/Json.h"
#include "quarra/RunLoop.h"
#include "support/QuarraTestServer.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

// Writes every event as a line; repeated progress and data events count as one line, so that the
// order can be compared as a list. Answers are chosen per test.
class Recorder : public URLSessionDelegate {
  public:
    std::vector<Bytes> anchors;  // trusted for challenges; empty: default handling
    std::optional<AuthChallengeDisposition> challengeAnswer;
    std::function<std::optional<UrlRequest>(const HttpResponsePtr&, UrlRequest)> onRedirect;
    URLSessionResponseDisposition responseAnswer = URLSessionResponseDisposition::Allow;
    bool holdResponses = false;  // never answer: the task's later events never arrive
    // Never return from a completion: it is heard, but never counts as delivered.
    bool holdCompletions = false;
    std::function<InputStreamPtr()> onNeedStream;
    bool refuseCaching = false;
    bool turnsIntoDownloads = false;

    void didReceiveChallenge(URLSession&, const URLSessionTaskPtr&, const AuthChallenge& challenge,
                             ChallengeCompletion completion) override {
        add("challenge " + challenge.protectionSpace.host);
        auto trust = challenge.protectionSpace.serverTrust;
        if (challengeAnswer) {
            completion(*challengeAnswer, UrlCredential::forTrust(trust));
        } else if (!anchors.empty() && trust->evaluate(trust->host(), &anchors).valid) {
            completion(AuthChallengeDisposition::UseCredential, UrlCredential::forTrust(trust));
        } else {
            completion(AuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
        }
    }
    void willPerformHTTPRedirection(URLSession&, const URLSessionTaskPtr&,
                                    const HttpResponsePtr& response, UrlRequest proposed,
                                    std::function<void(std::optional<UrlRequest>)> done) override {
        add("redirect " + std::to_string(response->statusCode));
        done(onRedirect ? onRedirect(response, proposed) : std::optional(proposed));
    }
    void needNewBodyStream(URLSession&, const URLSessionTaskPtr&,
                           std::function<void(InputStreamPtr)> done) override {
        add("stream");
        done(onNeedStream ? onNeedStream() : nullptr);
    }
    void didSendBodyData(URLSession&, const URLSessionTaskPtr&, std::int64_t, std::int64_t total,
                         std::int64_t expected) override {
        {
            std::lock_guard lock(mutex);
            sent = total;
            expectedToSend = expected;
        }
        add("sent");
    }
    void didReceiveResponse(URLSession&, const URLSessionTaskPtr&, const HttpResponsePtr& response,
                            std::function<void(URLSessionResponseDisposition)> done) override {
        add("response " + std::to_string(response->statusCode));
        if (!holdResponses) {
            done(responseAnswer);
        }
    }
    void didReceiveData(URLSession&, const URLSessionTaskPtr&, const Bytes& data) override {
        add("data");
        std::lock_guard lock(mutex);
        body.append(data.begin(), data.end());
    }
    bool mayTurnDataTasksIntoDownloads() const override { return turnsIntoDownloads; }
    void didBecomeDownloadTask(URLSession&, const URLSessionTaskPtr&,
                               const URLSessionTaskPtr& download) override {
        add(download->isDownloadTask() ? "became download" : "became?");
    }
    void willCacheResponse(URLSession&, const URLSessionTaskPtr&,
                           const CachedURLResponsePtr& proposed,
                           std::function<void(CachedURLResponsePtr)> done) override {
        add("cache");
        done(refuseCaching ? nullptr : proposed);
    }
    void didResumeAtOffset(URLSession&, const URLSessionTaskPtr&, std::int64_t offset,
                           std::int64_t) override {
        add("resume " + std::to_string(offset));
    }
    void didWriteData(URLSession&, const URLSessionTaskPtr&, std::int64_t, std::int64_t total,
                      std::int64_t expected) override {
        {
            std::lock_guard lock(mutex);
            written = total;
            expectedToWrite = expected;
        }
        add("written");
    }
    void didFinishDownloadingTo(URLSession&, const URLSessionTaskPtr&,
                                const Url& location) override {
        add("finished");
        std::lock_guard lock(mutex);
        downloadPath = location.filePath();
        body = test::readFile(downloadPath);
    }
    void didCompleteWithError(URLSession&, const URLSessionTaskPtr& task,
                              const ErrorPtr& error) override {
        {
            // One critical section, so a waiter woken by the completion also sees its event.
            std::lock_guard lock(mutex);
            completedTasks.push_back(task);
            addLocked(error ? "complete " + std::to_string(error->code()) : "complete");
        }
        changed.notify_all();
        if (holdCompletions) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [] { return false; });
        }
    }
    void didBecomeInvalid(URLSession&, const ErrorPtr&) override { add("invalid"); }
    void didFinishEventsForBackgroundURLSession(URLSession&) override { add("background done"); }

    void add(const std::string& event) {
        {
            std::lock_guard lock(mutex);
            addLocked(event);
        }
        changed.notify_all();
    }
    void addLocked(const std::string& event) {
        if (events.empty() || events.back() != event) {
            events.push_back(event);
        }
    }
    // The timeouts bound a hang only: every wait returns at its event.
    bool waitFor(const std::string& event, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::find(events.begin(), events.end(), event) != events.end();
        });
    }
    bool waitForWritten(std::int64_t total, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return written >= total; });
    }
    bool waitForSent(std::int64_t total, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return sent >= total; });
    }
    bool waitForCompletions(size_t count, std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return completedTasks.size() >= count; });
    }
    // Waits for the first completion, whatever its error.
    bool waitForCompletion(std::chrono::milliseconds timeout = 60s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return !completedTasks.empty(); });
    }
    std::vector<std::string> log() {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::vector<URLSessionTaskPtr> completedTasks;
    std::string body;
    std::filesystem::path downloadPath;
    std::int64_t sent = 0, expectedToSend = 0, written = 0, expectedToWrite = 0;
};

using Events = std::vector<std::string>;

class URLSessionTest : public ::testing::Test {
  protected:
    URLSessionTest() { recorder->anchors = {server.authority().der()}; }
    ~URLSessionTest() override {
        if (session) {
            session->invalidateAndCancel();
            recorder->waitFor("invalid");
        }
    }

    std::shared_ptr<URLSession> open(URLSessionConfiguration configuration = {}) {
        session = URLSession::make(std::move(configuration), recorder);
        return session;
    }
    UrlRequest request(const std::string& path, const std::string& method = "GET") {
        UrlRequest r(server.url(path));
        r.httpMethod = method;
        return r;
    }
    // Runs a task to its completion and returns the event log.
    Events run(const URLSessionTaskPtr& task) {
        task->resume();
        EXPECT_TRUE(recorder->waitForCompletion());
        return recorder->log();
    }

    QuarraTestServer server;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<URLSession> session;
};

TEST_F(URLSessionTest, DataTaskEventsArriveInOrderWithCountersAndRequestRecorded) {
    server.reply("/echo", Reply::json(R"({"ok":true})", 201));
    UrlRequest post = request("/echo?x=1", "POST");
    post.setValue("text/plain", "Content-Type");
    post.httpBody = toBytes("hello");
    auto task = open()->dataTask(post).value();
    EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
    EXPECT_EQ(run(task),
              (Events{"challenge 127.0.0.1", "sent", "response 201", "data", "complete"}));
    EXPECT_EQ(recorder->body, R"({"ok":true})");
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(task->response()->statusCode, 201);
    EXPECT_EQ(task->response()->mimeType, "application/json");
    EXPECT_EQ(task->countOfBytesSent(), 5);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), 5);
    EXPECT_EQ(task->countOfBytesReceived(), 11);
    EXPECT_EQ(task->countOfBytesExpectedToReceive(), 11);
    auto recorded = server.requests("/echo");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "POST");
    EXPECT_EQ(recorded[0].query, "x=1");
    EXPECT_EQ(recorded[0].body, "hello");
    EXPECT_EQ(recorded[0].header("Content-Type"), "text/plain");
    EXPECT_EQ(recorded[0].header("Expect"), "");
}

TEST_F(URLSessionTest, TasksHaveDistinctIdentifiersAndReuseTheConnection) {
    server.reply("/a", Reply::json("{}"));
    open();
    auto first = session->dataTask(request("/a")).value();
    auto second = session->dataTask(request("/a")).value();
    EXPECT_NE(first->taskIdentifier(), second->taskIdentifier());
    run(first);
    second->resume();
    ASSERT_TRUE(recorder->waitForCompletions(2));
    std::lock_guard lock(recorder->mutex);
    long challenges =
        std::count_if(recorder->events.begin(), recorder->events.end(),
                      [](const std::string& e) { return e.rfind("challenge", 0) == 0; });
    EXPECT_EQ(challenges, 1);  // one connection, evaluated once
}

// A burst of requests leaves its connections open for the next burst: no new connection (and no new
// TLS handshake) once the first burst has opened them.
TEST(URLSessionConnections, BurstsReuseTheConnectionsOfTheFirstBurst) {
    QuarraTestServer::Options options;
    options.keepAlive = 30s;  // no idle connection closes between the bursts, however slow
    QuarraTestServer server(options);
    server.reply("/a", Reply::json("{}"));
    auto recorder = std::make_shared<Recorder>();
    recorder->anchors = {server.authority().der()};
    auto session = URLSession::make({}, recorder);
    constexpr int Burst = 64;
    auto burst = [&](size_t completedBefore) {
        for (int i = 0; i < Burst; ++i) {
            session->dataTask(UrlRequest(server.url("/a"))).value()->resume();
        }
        ASSERT_TRUE(recorder->waitForCompletions(completedBefore + Burst));
    };
    burst(0);
    std::size_t opened = server.connections();
    EXPECT_GE(opened, 1u);
    EXPECT_LE(opened, 6u);  // the session's limit per host
    burst(Burst);
    burst(2 * Burst);
    EXPECT_EQ(server.connections(), opened);
    session->invalidateAndCancel();  // closes the connections, so the server stops at once
    EXPECT_TRUE(recorder->waitFor("invalid"));
}

TEST_F(URLSessionTest, ServerTrustDefaultsToSystemStoreAndHostName) {
    server.reply("/a", Reply::json("{}"));
    recorder->anchors.clear();
    open();
    // The test CA is in no system store: refused.
    run(session->dataTask(request("/a")).value());
    EXPECT_EQ(recorder->log().back(), "complete -1202");
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(URLSessionTest, ServerTrustDefaultAcceptsWhenTheStoreHoldsTheAuthority) {
    server.reply("/a", Reply::json("{}"));
    server.trustAuthority();
    recorder->anchors.clear();
    open();
    run(session->dataTask(request("/a")).value());
    EXPECT_EQ(recorder->log().back(), "complete");
}

TEST_F(URLSessionTest, ServerTrustWithoutDelegateUsesTheSystemStore) {
    server.reply("/a", Reply::json("{}"));
    server.trustAuthority();
    auto plain = URLSession::make({});
    auto task = plain->dataTask(request("/a")).value();
    task->resume();
    for (int i = 0; i < 6000 && task->state() != URLSessionTaskState::Completed; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(task->error(), nullptr);
    EXPECT_EQ(task->response()->statusCode, 200);
    plain->invalidateAndCancel();
}

TEST_F(URLSessionTest, ServerTrustDelegateCancelsOrRejectsConnection) {
    server.reply("/a", Reply::json("{}"));
    recorder->challengeAnswer = AuthChallengeDisposition::CancelAuthenticationChallenge;
    open();
    EXPECT_EQ(run(session->dataTask(request("/a")).value()),
              (Events{"challenge 127.0.0.1", "complete -999"}));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(URLSessionTest, CancelEndsRunningAndUnstartedTasksWithCancelled) {
    Reply stall = Reply::json("{}");
    stall.stallBeforeHead = true;
    server.reply("/slow", stall);
    open();
    auto task = session->dataTask(request("/slow")).value();
    task->resume();
    ASSERT_TRUE(server.waitForRequests(1, 60s));
    task->cancel();
    ASSERT_TRUE(recorder->waitForCompletion());
    EXPECT_EQ(recorder->log().back(), "complete -999");
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    EXPECT_EQ(task->error()->domain(), URLErrorDomain);

    auto unstarted = session->dataTask(request("/slow")).value();
    unstarted->cancel();
    ASSERT_TRUE(recorder->waitForCompletions(2));
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->completedTasks[1], unstarted);
    server.releaseStalls();
}

TEST_F(URLSessionTest, StalledReplyTimesOut) {
    Reply stall = Reply::json("{}");
    stall.stallAfter = 0;
    stall.body = "0123456789";
    server.reply("/stall", stall);
    UrlRequest r = request("/stall");
    r.timeoutInterval = 0.3;
    open();
    auto started = std::chrono::steady_clock::now();
    Events events = run(session->dataTask(r).value());
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(events.back(), "complete -1001");
    EXPECT_GE(took, 300ms);
    server.releaseStalls();
}

TEST_F(URLSessionTest, TransportFailuresMapToUrlErrors) {
    Reply drop;
    drop.dropConnection = true;
    server.reply("/drop", drop);
    Reply cut;
    cut.generatedLength = 1 << 20;
    cut.dropAfter = 1000;
    server.reply("/cut", cut);
    int closedPort = [] {
        QuarraTestServer gone;
        return gone.port();
    }();
    struct Case {
        std::string url;
        long code;
    } cases[] = {
        {server.url("/drop").string(), URLErrorNetworkConnectionLost},
        {server.url("/cut").string(), URLErrorNetworkConnectionLost},
        {"https://127.0.0.1:" + std::to_string(closedPort) + "/", URLErrorCannotConnectToHost},
        {"ftp://127.0.0.1/file", URLErrorUnsupportedURL},
    };
    open();
    for (const Case& c : cases) {
        auto task = session->dataTask(UrlRequest(*Url::parse(c.url))).value();
        task->resume();
        for (int i = 0; i < 6000 && task->state() != URLSessionTaskState::Completed; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(task->error()) << c.url;
        EXPECT_EQ(task->error()->code(), c.code) << c.url << " " << task->error()->description();
    }
}

TEST_F(URLSessionTest, RedirectsAreFollowedRefusedOrRewrittenAsTheDelegateDecides) {
    server.reply("/from", Reply::redirect("/to", 302));
    server.reply("/to", Reply::json(R"({"at":"to"})"));
    open();
    auto task = session->dataTask(request("/from")).value();
    EXPECT_EQ(run(task),
              (Events{"challenge 127.0.0.1", "redirect 302", "response 200", "data", "complete"}));
    EXPECT_EQ(task->currentRequest().url.path(), "/to");
    EXPECT_EQ(task->originalRequest().url.path(), "/from");
    EXPECT_EQ(task->response()->url.path(), "/to");

    recorder->events.clear();
    recorder->completedTasks.clear();
    recorder->body.clear();
    recorder->onRedirect = [](const HttpResponsePtr&, UrlRequest) { return std::nullopt; };
    auto refused = session->dataTask(request("/from")).value();
    EXPECT_EQ(run(refused), (Events{"redirect 302", "response 302", "complete"}));
    EXPECT_EQ(refused->response()->valueForHTTPHeaderField("Location"), "/to");
}

TEST_F(URLSessionTest, RedirectKeepsOrDropsTheBodyByStatus) {
    server.reply("/see-other", Reply::redirect("/to", 303));
    server.reply("/temporary", Reply::redirect("/to", 307));
    server.reply("/to", Reply::json("{}"));
    open();
    for (const char* path : {"/see-other", "/temporary"}) {
        UrlRequest post = request(path, "POST");
        post.httpBody = toBytes("payload");
        auto task = session->dataTask(post).value();
        task->resume();
        for (int i = 0; i < 6000 && task->state() != URLSessionTaskState::Completed; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(task->error(), nullptr);
    }
    auto followed = server.requests("/to");
    ASSERT_EQ(followed.size(), 2u);
    EXPECT_EQ(followed[0].method, "GET");
    EXPECT_EQ(followed[0].body, "");
    EXPECT_EQ(followed[1].method, "POST");
    EXPECT_EQ(followed[1].body, "payload");
}

TEST_F(URLSessionTest, DownloadWritesATemporaryFileRemovedAfterTheEvent) {
    Reply file;
    file.generatedLength = 3 << 20;
    file.contentType = "application/octet-stream";
    server.reply("/file", file);
    auto task = open()->downloadTask(request("/file")).value();
    EXPECT_EQ(run(task), (Events{"challenge 127.0.0.1", "written", "finished", "complete"}));
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(3 << 20));
    EXPECT_EQ(recorder->written, 3 << 20);
    EXPECT_EQ(recorder->expectedToWrite, 3 << 20);
    EXPECT_FALSE(std::filesystem::exists(recorder->downloadPath));
    EXPECT_EQ(task->countOfBytesReceived(), 3 << 20);
}

TEST_F(URLSessionTest, UploadFromFileSendsTheFileWithProgress) {
    test::TempDir dir;
    std::string content = QuarraTestServer::generatedBody(1 << 20);
    test::writeFile(dir / "body.bin", content);
    server.reply("/upload", Reply::json(R"({"stored":true})"));
    auto task = open()->uploadTask(request("/upload", "PUT"), dir / "body.bin").value();
    EXPECT_EQ(task->kind(), URLSessionTaskKind::Upload);
    EXPECT_EQ(run(task),
              (Events{"challenge 127.0.0.1", "sent", "response 200", "data", "complete"}));
    EXPECT_EQ(recorder->sent, 1 << 20);
    EXPECT_EQ(recorder->expectedToSend, 1 << 20);
    auto recorded = server.requests("/upload");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].method, "PUT");
    EXPECT_EQ(recorded[0].body, content);

    recorder->events.clear();
    recorder->completedTasks.clear();
    auto missing = session->uploadTask(request("/upload", "PUT"), dir / "missing.bin").value();
    EXPECT_EQ(run(missing), (Events{"complete -1100"}));
}

class StringStream : public InputStream {
  public:
    explicit StringStream(std::string text) : text_(std::move(text)) {}
    bool open() override { return true; }
    long read(std::uint8_t* buffer, std::size_t length) override {
        size_t n = std::min(length, text_.size() - offset_);
        std::memcpy(buffer, text_.data() + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    void close() override {}
    ErrorPtr error() const override { return nullptr; }

  private:
    std::string text_;
    size_t offset_ = 0;
};

TEST_F(URLSessionTest, StreamedUploadAsksForItsBodyOnEverySend) {
    server.reply("/temporary", Reply::redirect("/stored", 307));
    server.reply("/stored", Reply::json("{}"));
    recorder->onNeedStream = [] { return std::make_shared<StringStream>("streamed body"); };
    auto task = open()->uploadTaskWithStreamedRequest(request("/temporary", "POST")).value();
    EXPECT_EQ(run(task), (Events{"challenge 127.0.0.1", "stream", "sent", "redirect 307", "stream",
                                 "sent", "response 200", "data", "complete"}));
    auto recorded = server.requests("/stored");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].body, "streamed body");
    EXPECT_EQ(recorded[0].header("Transfer-Encoding"), "chunked");
}

// A client that dies in the middle of a multipart body leaves the server a request cut short: the
// test server, like a real one, takes nothing of it.
TEST_F(URLSessionTest, TestServerRefusesAMultipartBodyCutShort) {
    bool routed = false;
    server.route("/parts", [&routed](const test::RecordedRequest&) {
        routed = true;
        return Reply::json("{}");
    });
    class Failing : public StringStream {
      public:
        using StringStream::StringStream;
        long read(std::uint8_t* buffer, std::size_t length) override {
            long n = StringStream::read(buffer, length);
            return n > 0 ? n : -1;  // the source breaks before the closing boundary
        }
        ErrorPtr error() const override { return posixError(EIO, "the source broke"); }
    };
    recorder->onNeedStream = [] {
        return std::make_shared<Failing>(
            "--XYZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.txt\"\r\n"
            "Content-Type: text/plain\r\n\r\nthe first half of the file");
    };
    UrlRequest cut = request("/parts", "POST");
    cut.setValue("multipart/form-data; boundary=XYZ", "Content-Type");
    auto task = open()->uploadTaskWithStreamedRequest(cut).value();
    run(task);
    EXPECT_TRUE(task->error());
    EXPECT_TRUE(server.waitForCutShortRequests(1, 60s));
    EXPECT_TRUE(server.requests("/parts").empty());
    EXPECT_FALSE(routed);
}

TEST_F(URLSessionTest, RefusedResponseCancelsWithoutData) {
    server.reply("/a", Reply::json(R"({"big":"reply"})"));
    recorder->responseAnswer = URLSessionResponseDisposition::Cancel;
    auto task = open()->dataTask(request("/a")).value();
    EXPECT_EQ(run(task), (Events{"challenge 127.0.0.1", "response 200", "complete -999"}));
    EXPECT_TRUE(recorder->body.empty());
}

TEST_F(URLSessionTest, InvalidationWaitsForTasksThenRefusesNewOnes) {
    Reply slow = Reply::json("{}");
    slow.delay = 200ms;
    server.reply("/slow", slow);
    open();
    auto task = session->dataTask(request("/slow")).value();
    task->resume();
    std::vector<URLSessionTaskPtr> listed;
    DispatchSemaphore got;
    session->getTasks([&](auto data, auto upload, auto download) {
        listed = data;
        EXPECT_TRUE(upload.empty() && download.empty());
        got.signal();
    });
    ASSERT_TRUE(got.wait(60s));
    EXPECT_EQ(listed, std::vector<URLSessionTaskPtr>{task});
    session->finishTasksAndInvalidate();
    // An invalidation can race with any caller: a task asked for later is refused with an error.
    ErrorPtr refused = session->dataTask(request("/slow")).error();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->is(URLErrorDomain, URLErrorCancelled));
    ASSERT_TRUE(recorder->waitFor("invalid"));
    Events events = recorder->log();
    EXPECT_EQ(events[events.size() - 2], "complete");
    EXPECT_EQ(events.back(), "invalid");
    EXPECT_EQ(session->delegate(), nullptr);
}

// The completion-handler tasks hand a refused task to their handler instead of using a null task.
TEST(URLSessionDataTasksTest, InvalidatedSessionFailsTheHandler) {
    auto session = URLSessionDataTasks::makeSession();
    // An unfinished task holds the invalidating session, and with it its delegate.
    auto held = session->dataTask(UrlRequest(*Url::parse("https://127.0.0.1/"))).value();
    session->finishTasksAndInvalidate();
    std::promise<ErrorPtr> failed;
    URLSessionTaskPtr task = URLSessionDataTasks::dataTask(
        session, UrlRequest(*Url::parse("https://127.0.0.1/")),
        [&](const std::optional<Bytes>& body, const HttpResponsePtr&, const ErrorPtr& error) {
            EXPECT_FALSE(body);
            failed.set_value(error);
        });
    EXPECT_EQ(task, nullptr);
    auto answer = failed.get_future();
    ASSERT_EQ(answer.wait_for(60s), std::future_status::ready);
    ErrorPtr error = answer.get();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(URLErrorDomain, URLErrorCancelled));
    held->cancel();
}

TEST_F(URLSessionTest, InvalidateAndCancelCancelsRunningTasks) {
    Reply stall = Reply::json("{}");
    stall.stallBeforeHead = true;
    server.reply("/slow", stall);
    open();
    session->dataTask(request("/slow")).value()->resume();
    ASSERT_TRUE(server.waitForRequests(1, 60s));
    session->invalidateAndCancel();
    ASSERT_TRUE(recorder->waitFor("invalid"));
    EXPECT_EQ(recorder->log(), (Events{"challenge 127.0.0.1", "complete -999", "invalid"}));
    server.releaseStalls();
}

TEST_F(URLSessionTest, ResumeAndSuspendTellTheHookOnlyOnChange) {
    std::vector<std::string> transitions;
    std::mutex mutex;
    setURLSessionTaskTransitionHook([&](const URLSessionTaskPtr&, URLSessionTaskTransition t) {
        std::lock_guard lock(mutex);
        transitions.push_back(t == URLSessionTaskTransition::Resume ? "resume" : "suspend");
    });
    Reply stall = Reply::json("{}");
    stall.stallBeforeHead = true;
    server.reply("/slow", stall);
    auto task = open()->dataTask(request("/slow")).value();
    task->suspend();
    task->resume();
    task->resume();
    task->suspend();
    task->suspend();
    task->resume();
    EXPECT_EQ(transitions, (std::vector<std::string>{"resume", "suspend", "resume"}));
    setURLSessionTaskTransitionHook(nullptr);
    server.releaseStalls();
}

// A delegate slower than the network holds the transfer back (memory stays bounded) and a
// suspended task moves no bytes; either way the body arrives whole and in order.
TEST_F(URLSessionTest, SlowDelegateAndSuspensionLoseNothing) {
    class Slow : public Recorder {
      public:
        void didReceiveData(URLSession& s, const URLSessionTaskPtr& t, const Bytes& d) override {
            std::this_thread::sleep_for(20ms);
            Recorder::didReceiveData(s, t, d);
            std::lock_guard lock(mutex);
            backlog = std::max<std::int64_t>(backlog, t->countOfBytesReceived() - body.size());
        }
        std::int64_t backlog = 0;
    };
    auto slow = std::make_shared<Slow>();
    slow->anchors = recorder->anchors;
    recorder = slow;
    Reply big;
    big.generatedLength = 24 << 20;
    big.contentType = "application/octet-stream";
    server.reply("/big", big);
    auto task = open()->dataTask(request("/big")).value();
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return task->countOfBytesReceived() > 0; }, 60s));
    task->suspend();
    // The delegate catches up with what was received; were the transfer still running, that could
    // only happen at its end, as the delegate is slower than the network.
    ASSERT_TRUE(runMainUntil(
        [&] {
            std::lock_guard lock(slow->mutex);
            return static_cast<std::int64_t>(slow->body.size()) == task->countOfBytesReceived();
        },
        120s));
    EXPECT_LT(task->countOfBytesReceived(), 24 << 20);
    EXPECT_EQ(task->state(), URLSessionTaskState::Suspended);
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletion(60s));
    EXPECT_EQ(recorder->log().back(), "complete");
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(24 << 20))
        << recorder->body.size();
    EXPECT_LT(slow->backlog, 10 << 20);
}

// ---- Resume data

class URLSessionResume : public URLSessionTest {
  protected:
    static constexpr std::int64_t Length = 1 << 20;
    static constexpr std::int64_t Half = 256 * 1024;

    static Reply file(const std::string& entityTag, bool stall) {
        Reply r;
        r.generatedLength = Length;
        r.contentType = "application/octet-stream";
        r.headers.emplace_back("ETag", entityTag);
        if (stall) {
            r.stallAfter = Half;
        }
        return r;
    }
    // Cancels a download of /file half-way and hands back its resume data.
    Bytes cancelHalfWay() {
        server.reply("/file", file("\"v1\"", true));
        UrlRequest get = request("/file");
        get.setValue("Bearer not-for-resume-data", "Authorization");
        auto task = open()->downloadTask(get).value();
        task->resume();
        EXPECT_TRUE(recorder->waitForWritten(Half));
        std::promise<Result<Bytes>> produced;
        task->cancelByProducingResumeData([&](Result<Bytes> data) { produced.set_value(data); });
        auto future = produced.get_future();
        EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
        Result<Bytes> data = future.get();
        EXPECT_TRUE(recorder->waitForCompletion());
        server.releaseStalls();
        EXPECT_TRUE(data.ok()) << (data.ok() ? "" : data.error()->description());
        return data.valueOr({});
    }
    static Json document(const Bytes& data) {
        return *parseJson(std::string(data.begin(), data.end()));
    }
    static Bytes bytes(const Json& document) {
        std::string text = document.dump();
        return Bytes(text.begin(), text.end());
    }
    // Runs a download made from resume data to its end.
    Events resume(const Bytes& data) {
        {
            std::lock_guard lock(recorder->mutex);
            recorder->completedTasks.clear();
            recorder->events.clear();
        }
        Result<URLSessionTaskPtr> task = session->downloadTaskWithResumeData(data);
        EXPECT_TRUE(task.ok());
        Events events = task.ok() ? run(*task) : Events{};
        // Whether a new connection is needed is not the point here.
        std::erase_if(events, [](const std::string& e) { return e.rfind("challenge", 0) == 0; });
        return events;
    }
};

TEST_F(URLSessionResume, CancelledDownloadGoesOnFromItsBytesWithRangeAndIfRange) {
    Bytes data = cancelHalfWay();
    std::string text(data.begin(), data.end());
    EXPECT_EQ(text.find("not-for-resume-data"), std::string::npos);
    std::filesystem::path partial = document(data)["file"].get<std::string>();
    struct stat info {};
    ASSERT_EQ(::stat(partial.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, Half);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    server.clearRequests();
    server.reply("/file", file("\"v1\"", false));
    EXPECT_EQ(resume(data), (Events{"resume 262144", "written", "finished", "complete"}));
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(Length));
    EXPECT_EQ(recorder->written, Length);
    EXPECT_EQ(recorder->expectedToWrite, Length);
    auto sent = server.requests("/file");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Range"), "bytes=262144-");
    EXPECT_EQ(sent[0].header("If-Range"), "\"v1\"");
    EXPECT_FALSE(std::filesystem::exists(partial));
}

TEST_F(URLSessionResume, ChangedResourceStartsOver) {
    Bytes data = cancelHalfWay();
    server.reply("/file", file("\"v2\"", false));
    EXPECT_EQ(resume(data), (Events{"written", "finished", "complete"}));
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(Length));
    EXPECT_EQ(recorder->written, Length);
}

TEST_F(URLSessionResume, HostileOrStaleResumeDataIsAClearError) {
    Bytes good = cancelHalfWay();
    Json valid = document(good);
    std::filesystem::path partial = valid["file"].get<std::string>();
    // A file of ours in every way but its length, and a link to one.
    std::filesystem::path grown = partial.string() + "-grown";
    std::filesystem::copy_file(partial, grown);
    std::ofstream(grown, std::ios::app) << "more";
    std::filesystem::path link = partial.string() + "-link";
    std::filesystem::create_symlink(partial, link);

    auto with = [&](const std::string& key, Json value) {
        Json changed = valid;
        changed[key] = std::move(value);
        return bytes(changed);
    };
    struct Case {
        const char* what;
        Bytes data;
        long code;
    };
    std::vector<Case> cases = {
        {"empty", {}, URLErrorCannotDecodeRawData},
        {"not JSON", toBytes("\x01\x02garbage"), URLErrorCannotDecodeRawData},
        {"deeply nested", toBytes(std::string(100, '[')), URLErrorCannotDecodeRawData},
        {"other format", with("format", "plist"), URLErrorCannotDecodeRawData},
        {"later version", with("version", 2), URLErrorCannotDecodeRawData},
        {"no URL", with("url", "file:///etc/passwd"), URLErrorCannotDecodeRawData},
        {"negative offset", with("offset", -5), URLErrorCannotDecodeRawData},
        {"offset as text", with("offset", "262144"), URLErrorCannotDecodeRawData},
        {"header injection", with("headers", Json{{"X-A", "1\r\nX-B: 2"}}),
         URLErrorCannotDecodeRawData},
        {"no validator", with("entityTag", ""), URLErrorCannotDecodeRawData},
        {"file elsewhere", with("file", "/etc/passwd"), URLErrorFileDoesNotExist},
        {"path with dots",
         with("file", partial.parent_path().string() + "/../" + partial.filename().string()),
         URLErrorFileDoesNotExist},
        {"file changed", with("file", grown.string()), URLErrorFileDoesNotExist},
        {"symbolic link", with("file", link.string()), URLErrorFileDoesNotExist},
        {"file gone", with("file", partial.string() + "-gone"), URLErrorFileDoesNotExist},
    };
    for (const Case& c : cases) {
        Result<URLSessionTaskPtr> task = session->downloadTaskWithResumeData(c.data);
        ASSERT_FALSE(task.ok()) << c.what;
        EXPECT_EQ(task.error()->code(), c.code) << c.what;
    }
    std::filesystem::remove(grown);
    std::filesystem::remove(link);
    // The good data still works after all that.
    server.reply("/file", file("\"v1\"", false));
    EXPECT_EQ(resume(good).back(), "complete");
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(Length));
}

TEST_F(URLSessionResume, NoResumeDataWithoutAValidatorOrATransfer) {
    Reply plain = file("\"v1\"", true);
    plain.headers.clear();
    server.reply("/plain", plain);
    auto task = open()->downloadTask(request("/plain")).value();
    task->resume();
    ASSERT_TRUE(recorder->waitForWritten(Half));
    std::promise<Result<Bytes>> noValidator;
    task->cancelByProducingResumeData([&](Result<Bytes> data) { noValidator.set_value(data); });
    EXPECT_FALSE(noValidator.get_future().get().ok());
    ASSERT_TRUE(recorder->waitForCompletion());
    server.releaseStalls();

    auto unstarted = session->downloadTask(request("/plain")).value();
    std::promise<Result<Bytes>> never;
    unstarted->cancelByProducingResumeData([&](Result<Bytes> data) { never.set_value(data); });
    EXPECT_FALSE(never.get_future().get().ok());
    std::promise<Result<Bytes>> ended;
    task->cancelByProducingResumeData([&](Result<Bytes> data) { ended.set_value(data); });
    EXPECT_FALSE(ended.get_future().get().ok());
}

// ---- Data tasks that become downloads

// The body kept back while the delegate decides is larger than what is kept before the transfer
// waits, so the whole way (kept, paused, written on) is taken.
TEST_F(URLSessionTest, DataTaskBecomesADownloadWithItsWholeBody) {
    Reply file;
    file.generatedLength = 3 << 20;
    file.contentType = "application/octet-stream";
    server.reply("/file", file);
    recorder->turnsIntoDownloads = true;
    recorder->responseAnswer = URLSessionResponseDisposition::BecomeDownload;
    auto data = open()->dataTask(request("/file")).value();
    EXPECT_EQ(run(data), (Events{"challenge 127.0.0.1", "response 200", "became download",
                                 "written", "finished", "complete"}));
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(3 << 20));
    EXPECT_FALSE(std::filesystem::exists(recorder->downloadPath));
    std::lock_guard lock(recorder->mutex);
    ASSERT_EQ(recorder->completedTasks.size(), 1u);
    const URLSessionTaskPtr& download = recorder->completedTasks[0];
    EXPECT_TRUE(download->isDownloadTask());
    EXPECT_NE(download->taskIdentifier(), data->taskIdentifier());
    EXPECT_EQ(download->countOfBytesReceived(), 3 << 20);
    EXPECT_EQ(data->state(), URLSessionTaskState::Completed);
}

TEST_F(URLSessionTest, BecomeDownloadFromADelegateThatDidNotSaySoCancels) {
    server.reply("/small", Reply::json("{}"));
    recorder->responseAnswer = URLSessionResponseDisposition::BecomeDownload;
    EXPECT_EQ(run(open()->dataTask(request("/small")).value()),
              (Events{"challenge 127.0.0.1", "response 200", "complete -999"}));
}

// ---- Response cache

TEST_F(URLSessionTest, CacheServesFreshRepliesFromMemoryAndRevalidatesStaleOnes) {
    URLSessionConfiguration configuration;
    configuration.urlCache = URLCache::make(1 << 20);
    open(configuration);
    enum class Second { FromMemory, Revalidated, FromNetwork };
    struct Case {
        std::string path;
        std::string cacheControl;
        bool refused = false;
        Second second;
    };
    std::vector<Case> cases = {
        {"/fresh", "max-age=60", false, Second::FromMemory},
        {"/private", "private, max-age=60", false, Second::FromMemory},
        {"/stale", "max-age=0", false, Second::Revalidated},
        {"/no-cache", "no-cache, max-age=60", false, Second::Revalidated},
        {"/no-store", "no-store, max-age=60", false, Second::FromNetwork},
        {"/refused", "max-age=60", true, Second::FromNetwork},
    };
    std::size_t completions = 0;
    auto fetch = [&](const std::string& path) {
        {
            std::lock_guard lock(recorder->mutex);
            recorder->body.clear();
        }
        auto task = session->dataTask(request(path)).value();
        task->resume();
        EXPECT_TRUE(recorder->waitForCompletions(++completions));
        std::lock_guard lock(recorder->mutex);
        EXPECT_EQ(task->response()->statusCode, 200) << path;
        return recorder->body;
    };
    for (const Case& c : cases) {
        Reply first = Reply::json(R"({"v":1})");
        first.headers = {{"Cache-Control", c.cacheControl}, {"ETag", "\"e1\""}};
        Reply second = Reply::json(R"({"v":2})");
        if (c.second == Second::Revalidated) {
            second = Reply::json("", 304);
            second.headers = {{"ETag", "\"e1\""}};
        }
        server.replies(c.path, {first, second});
        recorder->refuseCaching = c.refused;
        EXPECT_EQ(fetch(c.path), R"({"v":1})") << c.path;
        EXPECT_EQ(fetch(c.path), c.second == Second::FromNetwork ? R"({"v":2})" : R"({"v":1})")
            << c.path;
        auto sent = server.requests(c.path);
        ASSERT_EQ(sent.size(), c.second == Second::FromMemory ? 1u : 2u) << c.path;
        EXPECT_EQ(sent.back().header("If-None-Match"),
                  c.second == Second::Revalidated ? "\"e1\"" : "")
            << c.path;
    }
    EXPECT_GT(configuration.urlCache->currentMemoryUsage(), 0u);

    UrlRequest offline = request("/never-fetched");
    offline.cachePolicy = UrlRequestCachePolicy::ReturnCacheDataDontLoad;
    auto task = session->dataTask(offline).value();
    task->resume();
    ASSERT_TRUE(recorder->waitForCompletions(++completions));
    EXPECT_EQ(task->error()->code(), URLErrorResourceUnavailable);
    EXPECT_TRUE(server.requests("/never-fetched").empty());
}

// ---- Cookies

TEST_F(URLSessionTest, CookiesAreSharedByAllSessionsInMemoryUnlessDeclined) {
    HTTPCookieStorage::removeAllCookies();
    Reply login = Reply::json("{}");
    login.headers.emplace_back("Set-Cookie", "sid=abc123; Path=/; Secure; HttpOnly");
    server.reply("/login", login);
    server.reply("/page", Reply::json("{}"));
    run(open()->dataTask(request("/login")).value());

    auto other = std::make_shared<Recorder>();
    other->anchors = recorder->anchors;
    URLSessionConfiguration declining;
    declining.httpShouldSetCookies = false;
    auto otherSession = URLSession::make({}, other);
    auto decliningSession = URLSession::make(declining, other);
    UrlRequest noCookies = request("/page?request-declines");
    noCookies.httpShouldHandleCookies = false;
    for (const auto& task : {otherSession->dataTask(request("/page?other-session")).value(),
                             decliningSession->dataTask(request("/page?session-declines")).value(),
                             otherSession->dataTask(noCookies).value()}) {
        task->resume();
    }
    ASSERT_TRUE(other->waitForCompletions(3));
    HTTPCookieStorage::removeAllCookies();
    otherSession->dataTask(request("/page?removed")).value()->resume();
    ASSERT_TRUE(other->waitForCompletions(4));
    otherSession->invalidateAndCancel();
    decliningSession->invalidateAndCancel();

    std::map<std::string, std::string> cookies;
    for (const auto& r : server.requests("/page")) {
        cookies[r.query] = r.header("Cookie");
    }
    EXPECT_EQ(cookies, (std::map<std::string, std::string>{{"other-session", "sid=abc123"},
                                                           {"session-declines", ""},
                                                           {"request-declines", ""},
                                                           {"removed", ""}}));
}

// A process that opens a background session, starts a transfer and ends mid-way (forked, so the
// test can go on as the next process).
class URLSessionBackground : public ::testing::Test {
  protected:
    URLSessionConfiguration configuration() {
        auto c = URLSessionConfiguration::backgroundSessionConfiguration("test.background");
        c.backgroundStorageDirectory = folder.path();
        if (keepsUntilForgotten) {
            c.keepsCompletedTasksUntilForgotten = true;
            c.headerFieldsNotKept = {"authorization"};
            c.prepareAdoptedRequest = [](std::uint64_t, UrlRequest& request) {
                request.setValue("renewed", "Authorization");
            };
        }
        return c;
    }
    // fork() copies only the calling thread; with other threads about, the child could inherit a
    // lock held for ever. ctest runs every case in a process of its own.
    static bool alone() {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                             std::filesystem::directory_iterator()) == 1;
    }
    // Forks before any thread exists; the child waits for the server's URL, runs `start` on a
    // fresh session and exits with its result without any clean-up.
    void fork(std::function<int(URLSession&, Recorder&, const Url&)> start) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[1]);
            char line[128] = {};
            if (read(fds[0], line, sizeof line - 1) <= 0) {
                _exit(2);
            }
            auto recorder = std::make_shared<Recorder>();
            recorder->challengeAnswer = AuthChallengeDisposition::UseCredential;
            auto session = URLSession::make(configuration(), recorder);
            _exit(start(*session, *recorder, *Url::parse(line)));
        }
        close(fds[0]);
        toChild = fds[1];
    }
    // Hands the child its URL and waits for it to end.
    void runChild(const Url& url) {
        ASSERT_EQ(write(toChild, url.string().data(), url.string().size()),
                  static_cast<ssize_t>(url.string().size()));
        close(toChild);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_EQ(WEXITSTATUS(status), 0);
    }
    // The next process: opens the session, lists what it adopted and waits until it has delivered
    // everything.
    std::vector<URLSessionTaskPtr> reopen() {
        session = URLSession::make(configuration(), recorder);
        std::vector<URLSessionTaskPtr> adopted;
        DispatchSemaphore listed;
        session->getTasks([&](auto data, auto upload, auto download) {
            adopted = data;
            adopted.insert(adopted.end(), upload.begin(), upload.end());
            adopted.insert(adopted.end(), download.begin(), download.end());
            listed.signal();
        });
        EXPECT_TRUE(listed.wait(60s));
        EXPECT_TRUE(recorder->waitFor("background done"))
            << ::testing::PrintToString(recorder->log());
        return adopted;
    }
    // Delivered once: yet another process finds nothing left.
    void expectNothingLeft() {
        session->finishTasksAndInvalidate();
        ASSERT_TRUE(recorder->waitFor("invalid"));
        auto again = std::make_shared<Recorder>();
        auto third = URLSession::make(configuration(), again);
        ASSERT_TRUE(again->waitFor("background done"));
        EXPECT_EQ(again->log(), (Events{"background done"}));
        third->invalidateAndCancel();
    }

    bool keepsUntilForgotten = false;
    test::TempDir folder;
    pid_t child = -1;
    int toChild = -1;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<URLSession> session;
};

// The download goes on with a Range request for what the first process did not get.
TEST_F(URLSessionBackground, NextProcessResumesAnInterruptedDownload) {
    if (!alone()) {
        GTEST_SKIP() << "needs a process of its own";
    }
    fork([](URLSession& session, Recorder& recorder, const Url& url) {
        auto task = session.downloadTask(UrlRequest(url)).value();
        task->setTaskDescription("interrupted");
        task->resume();
        recorder.waitForWritten(256 * 1024);
        return task->taskIdentifier() == 1 ? 0 : 3;
    });
    QuarraTestServer server;
    server.trustAuthority();
    Reply first;
    first.generatedLength = 1 << 20;
    first.contentType = "application/octet-stream";
    first.headers.emplace_back("ETag", "\"v1\"");
    first.stallAfter = 256 * 1024;
    Reply rest = first;
    rest.stallAfter.reset();
    server.replies("/file", {first, rest});
    runChild(server.url("/file"));

    auto adopted = reopen();
    ASSERT_EQ(adopted.size(), 1u);
    EXPECT_TRUE(adopted[0]->isDownloadTask());
    EXPECT_EQ(adopted[0]->taskIdentifier(), 1u);
    EXPECT_EQ(adopted[0]->taskDescription(), "interrupted");
    EXPECT_EQ(recorder->log(), (Events{"challenge 127.0.0.1", "resume 262144", "written",
                                       "finished", "complete", "background done"}));
    EXPECT_TRUE(recorder->body == QuarraTestServer::generatedBody(1 << 20))
        << recorder->body.size();
    EXPECT_EQ(adopted[0]->response()->statusCode, 206);
    auto requests = server.requests("/file");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Range"), "bytes=262144-");
    EXPECT_EQ(requests[1].header("If-Range"), "\"v1\"");
    expectNothingLeft();
    EXPECT_EQ(server.requests("/file").size(), 2u);
    server.releaseStalls();
}

// The upload is sent again from its file; a finished one whose completion never reached a delegate
// is delivered by the next process without being sent again.
TEST_F(URLSessionBackground, NextProcessRestartsAnUploadAndRedeliversAFinishedOne) {
    if (!alone()) {
        GTEST_SKIP() << "needs a process of its own";
    }
    std::string content = QuarraTestServer::generatedBody(300 * 1024);
    test::writeFile(folder / "body.bin", content);
    std::filesystem::path body = folder / "body.bin";
    fork([body](URLSession& session, Recorder& recorder, const Url& url) {
        UrlRequest put(url);
        put.httpMethod = "PUT";
        // Finishes in the child, but the child ends before its delegate has taken the completion.
        recorder.holdCompletions = true;
        auto done = session.uploadTask(put, body).value();
        put.url = url.resolve("/slow").value();
        auto slow = session.uploadTask(put, body).value();
        slow->resume();
        if (!recorder.waitForSent(300 * 1024)) {
            return 3;
        }
        done->resume();
        if (!recorder.waitForCompletions(1)) {
            return 4;
        }
        return done->state() == URLSessionTaskState::Completed ? 0 : 5;
    });
    QuarraTestServer server;
    server.trustAuthority();
    Reply stall = Reply::json(R"({"stored":true})");
    stall.stallBeforeHead = true;
    server.replies("/slow", {stall, Reply::json(R"({"stored":true})")});
    server.reply("/upload", Reply::json(R"({"stored":true})"));
    runChild(server.url("/upload"));
    server.releaseStalls();

    auto adopted = reopen();
    ASSERT_EQ(adopted.size(), 2u);
    EXPECT_TRUE(adopted[0]->isUploadTask() && adopted[1]->isUploadTask());
    {
        std::lock_guard lock(recorder->mutex);
        ASSERT_EQ(recorder->completedTasks.size(), 2u);
        for (const URLSessionTaskPtr& task : recorder->completedTasks) {
            EXPECT_EQ(task->error(), nullptr);
            EXPECT_EQ(task->response()->statusCode, 200);
        }
    }
    EXPECT_EQ(server.requests("/upload").size(), 1u);
    auto slow = server.requests("/slow");
    ASSERT_EQ(slow.size(), 2u);
    EXPECT_TRUE(slow[1].body == content);
    expectNothingLeft();
}

// A session that keeps completed tasks until told to forget them delivers a finished upload again
// in the next process, with its reply, and never writes a credential to disk: the next process
// sets it again on the upload it sends anew.
TEST_F(URLSessionBackground, KeptCompletionCarriesItsReplyAndNoCredential) {
    if (!alone()) {
        GTEST_SKIP() << "needs a process of its own";
    }
    keepsUntilForgotten = true;
    test::writeFile(folder / "body.bin", QuarraTestServer::generatedBody(64 * 1024));
    std::filesystem::path body = folder / "body.bin";
    fork([body](URLSession& session, Recorder& recorder, const Url& url) {
        UrlRequest put(url);
        put.httpMethod = "PUT";
        put.setValue("secret-session", "Authorization");
        auto done = session.uploadTask(put, body).value();
        put.url = url.resolve("/slow").value();
        auto slow = session.uploadTask(put, body).value();
        slow->resume();
        if (!recorder.waitForSent(64 * 1024)) {
            return 3;
        }
        done->resume();
        // Heard here; only forgetTask would let the session drop it.
        return recorder.waitForCompletions(1) ? 0 : 4;
    });
    QuarraTestServer server;
    server.trustAuthority();
    Reply stall = Reply::json(R"({"stored":"slow"})");
    stall.stallBeforeHead = true;
    server.replies("/slow", {stall, Reply::json(R"({"stored":"slow"})")});
    server.reply("/upload", Reply::json(R"({"stored":"first"})"));
    runChild(server.url("/upload"));
    server.releaseStalls();
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        EXPECT_EQ(test::readFile(entry.path()).find("secret-session"), std::string::npos)
            << entry.path();
    }

    auto adopted = reopen();
    ASSERT_EQ(adopted.size(), 2u);
    {
        std::lock_guard lock(recorder->mutex);
        EXPECT_NE(recorder->body.find(R"({"stored":"first"})"), std::string::npos);
        EXPECT_NE(recorder->body.find(R"({"stored":"slow"})"), std::string::npos);
    }
    EXPECT_EQ(server.requests("/upload").size(), 1u);
    auto slow = server.requests("/slow");
    ASSERT_EQ(slow.size(), 2u);
    EXPECT_EQ(slow[1].header("authorization"), "renewed");
    for (const URLSessionTaskPtr& task : adopted) {
        session->forgetTask(task->taskIdentifier());
    }
    expectNothingLeft();
}

}  // namespace
}  // namespace quarra
