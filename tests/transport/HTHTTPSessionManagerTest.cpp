#include "transport/HTHTTPSessionManager.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "quarra/RunLoop.h"
#include "platform/URLError.h"
#include "support/QuarraTestServer.h"
#include "support/TestSupport.h"
#include "transport/HTJSONRequestSerializer.h"
#include "transport/HTJSONResponseSerializer.h"
#include "transport/HTMultipartBodyStream.h"
#include "transport/HTSecurityPolicy.h"

namespace quarra {
namespace {

using namespace std::chrono_literals;
using test::QuarraTestServer;
using test::Reply;

class HTTPSessionManagerTest : public ::testing::Test {
  protected:
    HTTPSessionManagerTest() {
        server.trustAuthority();
        server.reply("/api/docs", Reply::json(R"({"docs":[]})"));
        manager = HTHTTPSessionManager::make(server.url("/api"));
    }
    ~HTTPSessionManagerTest() override {
        server.releaseStalls();
        manager->invalidateSessionCancelingTasks(true);
    }
    // Blocks that note which of them ran, how often, and with what.
    // Blocks of a test may still run after it ended (its tasks were cancelled); they then do
    // nothing.
    HTHTTPSessionManager::SuccessBlock success() {
        return [this, alive = std::weak_ptr<int>(alive_)](const URLSessionTaskPtr& task,
                                                          const std::any& object) {
            if (!alive.lock())
                return;
            ++successes;
            this->task = task;
            this->object = object;
        };
    }
    HTHTTPSessionManager::FailureBlock failure() {
        return [this, alive = std::weak_ptr<int>(alive_)](const URLSessionTaskPtr& task,
                                                          const ErrorPtr& error) {
            if (!alive.lock())
                return;
            ++failures;
            this->task = task;
            this->error = error;
        };
    }
    bool waitForOutcome() {
        return runMainUntil([&] { return successes + failures > 0; }, 10s);
    }

    std::shared_ptr<int> alive_ = std::make_shared<int>();
    QuarraTestServer server;
    HTHTTPSessionManagerPtr manager;
    int successes = 0, failures = 0;
    URLSessionTaskPtr task;
    std::any object;
    ErrorPtr error;
};

TEST_F(HTTPSessionManagerTest, BaseURLsWithAPathEndInASlash) {
    struct Case {
        std::string base, stored;
    } cases[] = {
        {"https://127.0.0.1/api", "https://127.0.0.1/api/"},
        {"https://127.0.0.1/api/", "https://127.0.0.1/api/"},
        {"https://127.0.0.1", "https://127.0.0.1"},
    };
    for (const auto& c : cases) {
        auto m = HTHTTPSessionManager::make(*Url::parse(c.base));
        EXPECT_EQ(m->baseURL()->string(), c.stored) << c.base;
        m->invalidateSessionCancelingTasks(true);
    }
}

TEST_F(HTTPSessionManagerTest, RelativeStringsResolveBelowTheBaseAndAbsoluteOnesStandAlone) {
    server.reply("/other", Reply::json("[]"));
    auto first = manager->GET("docs", {{"q", "a b"}}, success(), failure());
    ASSERT_TRUE(first);
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(task, first);
    EXPECT_EQ(std::any_cast<Json>(object), Json::parse(R"({"docs":[]})"));
    manager->GET(server.url("/other").string(), nullptr, success(), failure());
    ASSERT_TRUE(runMainUntil([&] { return successes == 2; }, 10s));
    auto recorded = server.requests();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].path, "/api/docs");
    EXPECT_EQ(recorded[0].query, "q=a%20b");
    EXPECT_EQ(recorded[1].path, "/other");
}

TEST_F(HTTPSessionManagerTest, EachMethodSendsItsParametersWhereItsSerializerPutsThem) {
    bool headSucceeded = false;
    manager->HEAD(
        "docs", {{"h", 1}}, [&](const URLSessionTaskPtr& task) { headSucceeded = task != nullptr; },
        failure());
    manager->POST("docs", {{"p", 2}}, success(), failure());
    manager->PUT("docs", {{"u", 3}}, success(), failure());
    manager->PATCH("docs", {{"a", 4}}, success(), failure());
    manager->DELETE("docs", {{"d", 5}}, success(), failure());
    ASSERT_TRUE(runMainUntil([&] { return successes == 4 && headSucceeded; }, 10s));
    EXPECT_EQ(failures, 0);
    std::map<std::string, std::pair<std::string, std::string>> seen;  // method -> query, body
    for (const auto& r : server.requests("/api/docs"))
        seen[r.method] = {r.query, r.body};
    EXPECT_EQ(seen["HEAD"], std::make_pair(std::string("h=1"), std::string()));
    EXPECT_EQ(seen["POST"], std::make_pair(std::string(), std::string("p=2")));
    EXPECT_EQ(seen["PUT"], std::make_pair(std::string(), std::string("u=3")));
    EXPECT_EQ(seen["PATCH"], std::make_pair(std::string(), std::string("a=4")));
    EXPECT_EQ(seen["DELETE"], std::make_pair(std::string("d=5"), std::string()));
}

TEST_F(HTTPSessionManagerTest, RequestThatCannotBeBuiltFailsOnceLaterWithoutATask) {
    manager->setRequestSerializer(HTJSONRequestSerializer::serializer());
    Json bad = {{"n", std::nan("")}};
    EXPECT_FALSE(manager->POST("docs", bad, success(), failure()));
    EXPECT_EQ(failures, 0) << "the failure block is called asynchronously";
    ASSERT_TRUE(waitForOutcome());
    runMainUntil([] { return false; }, 50ms);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(successes, 0);
    EXPECT_FALSE(task);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1016);
    EXPECT_FALSE(manager->POST("docs", bad, nullptr, nullptr)) << "no failure block is fine";
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(HTTPSessionManagerTest, RejectedReplyReachesTheFailureBlockWithItsTask) {
    server.reply("/api/missing", Reply::json(R"({"error":"gone"})", 404));
    auto sent = manager->GET("missing", nullptr, success(), failure());
    ASSERT_TRUE(waitForOutcome());
    runMainUntil([] { return false; }, 50ms);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(successes, 0);
    EXPECT_EQ(task, sent);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1011);
}

TEST_F(HTTPSessionManagerTest, CallsOnAnInvalidatedManagerFailWithoutATask) {
    manager->invalidateSessionCancelingTasks(true);
    EXPECT_FALSE(manager->GET("docs", nullptr, success(), failure()));
    ASSERT_TRUE(waitForOutcome());
    EXPECT_EQ(failures, 1);
    EXPECT_FALSE(task);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLErrorCancelled);
}

TEST_F(HTTPSessionManagerTest, PinningPoliciesNeedAnHTTPSBaseURL) {
    struct Case {
        std::optional<std::string> base;
        HTSSLPinningMode mode;
        std::string error;
    } cases[] = {
        {"http://127.0.0.1/api", HTSSLPinningModeCertificate,
         "Invalid Security Policy: A security policy configured with "
         "`HTSSLPinningModeCertificate` can only be applied on a manager with a secure base URL "
         "(i.e. https)"},
        {std::nullopt, HTSSLPinningModePublicKey,
         "Invalid Security Policy: A security policy configured with "
         "`HTSSLPinningModePublicKey` can only be applied on a manager with a secure base URL "
         "(i.e. https)"},
        {"https://127.0.0.1/api", HTSSLPinningModeCertificate, ""},
        {"http://127.0.0.1/api", HTSSLPinningModeNone, ""},
    };
    for (const auto& c : cases) {
        auto m = HTHTTPSessionManager::make(c.base ? Url::parse(*c.base) : std::nullopt);
        auto policy = HTSecurityPolicy::policyWithPinningMode(c.mode);
        if (c.error.empty()) {
            EXPECT_NO_THROW(m->setSecurityPolicy(policy));
            EXPECT_EQ(m->securityPolicy(), policy);
        } else {
            try {
                m->setSecurityPolicy(policy);
                ADD_FAILURE() << "no exception for " << c.error;
            } catch (const std::invalid_argument& e) {
                EXPECT_EQ(e.what(), c.error);
            }
        }
        m->invalidateSessionCancelingTasks(true);
    }
}

TEST_F(HTTPSessionManagerTest, MultipartPostStreamsFieldsAndFilesToTheServer) {
    test::TempDir folder;
    std::string contents = QuarraTestServer::generatedBody(200000);
    test::writeFile(folder / "report.pdf", contents);
    server.reply("/api/upload", Reply::json(R"({"stored":true})"));
    std::int64_t sent = 0;
    manager->POSTConstructingBodyWithBlock(
        "upload", {{"title", "Q3"}, {"tags", {"a", "b"}}},
        [&](HTMultipartFormData& form) {
            EXPECT_EQ(form.appendPartWithFileURL(Url::fileUrl(folder / "report.pdf"), "file"),
                      nullptr);
        },
        [&](const Progress& progress) { sent = progress.completedUnitCount(); }, success(),
        failure());
    ASSERT_TRUE(waitForOutcome());
    ASSERT_EQ(successes, 1) << (error ? error->description() : "");
    EXPECT_EQ(std::any_cast<Json>(object), Json({{"stored", true}}));
    auto recorded = server.requests("/api/upload");
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(std::to_string(sent), recorded[0].header("Content-Length"));
    const auto& parts = recorded[0].parts;
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0].name, "tags[]");
    EXPECT_EQ(parts[0].content, "a");
    EXPECT_EQ(parts[1].name, "tags[]");
    EXPECT_EQ(parts[2].name, "title");
    EXPECT_EQ(parts[2].content, "Q3");
    EXPECT_EQ(parts[3].name, "file");
    EXPECT_EQ(parts[3].filename, "report.pdf");
    EXPECT_EQ(parts[3].contentType, "application/pdf");
    EXPECT_TRUE(parts[3].content == contents);
}

TEST_F(HTTPSessionManagerTest, MultipartBodyWrittenToAFileUploadsFromThatFile) {
    test::TempDir folder;
    server.reply("/api/upload", Reply::json("{}"));
    auto request = manager->requestSerializer()->multipartFormRequestWithMethod(
        "POST", server.url("/api/upload").string(), {{"name", "x"}}, [](HTMultipartFormData& form) {
            form.appendPartWithFileData(toBytes("data"), "file", "d.txt", "text/plain");
        });
    ASSERT_TRUE(request);
    auto body = std::static_pointer_cast<HTMultipartBodyStream>(request->httpBodyStream);
    ASSERT_FALSE(body->writeToFile(folder / "body"));
    UrlRequest upload = *request;
    upload.httpBodyStream = nullptr;

    manager
        ->uploadTaskWithRequest(
            upload, Url::fileUrl(folder / "body"), nullptr,
            [&](const HttpResponsePtr&, const std::any&, const ErrorPtr& error) {
                ++successes;
                this->error = error;
            })
        ->resume();
    ASSERT_TRUE(waitForOutcome());
    EXPECT_FALSE(error);
    auto parts = server.requests("/api/upload").at(0).parts;
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].name, "name");
    EXPECT_EQ(parts[0].content, "x");
    EXPECT_EQ(parts[1].filename, "d.txt");
    EXPECT_EQ(parts[1].content, "data");
}

TEST_F(HTTPSessionManagerTest, ArchivedAndCopiedManagersComeBackWithWhatTheyKeep) {
    URLSessionConfiguration configuration;
    configuration.timeoutIntervalForRequest = 12;
    configuration.httpAdditionalHeaders["X-App"] = "notes";
    auto original = HTHTTPSessionManager::make(*Url::parse("https://127.0.0.1/api"), configuration);
    original->setRequestSerializer(HTJSONRequestSerializer::serializer());
    original->setResponseSerializer(HTHTTPResponseSerializer::serializer());
    original->setSecurityPolicy(HTSecurityPolicy::policyWithPinningMode(HTSSLPinningModePublicKey));
    std::vector<KeyedUnarchiver::AllowedClass> allowed{
        KeyedUnarchiver::allow<HTHTTPSessionManager>(),
        KeyedUnarchiver::allow<HTURLSessionManager>(),
        KeyedUnarchiver::allow<HTJSONRequestSerializer>(),
        KeyedUnarchiver::allow<HTHTTPResponseSerializer>(),
        KeyedUnarchiver::allow<HTSecurityPolicy>()};
    ErrorPtr error;
    struct Way {
        const char* name;
        std::function<HTHTTPSessionManagerPtr()> duplicate;
    } ways[] = {
        {"archived",
         [&] {
             auto decoded = KeyedUnarchiver::unarchivedObject<HTHTTPSessionManager>(
                 KeyedArchiver::archivedDocument(*original), allowed);
             error = decoded.error();
             return decoded.valueOr(nullptr);
         }},
        {"copied",
         [&] { return std::dynamic_pointer_cast<HTHTTPSessionManager>(original->copy()); }},
    };
    std::vector<HTURLSessionManagerPtr> managers{original};
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        auto decoded = way.duplicate();
        ASSERT_TRUE(decoded) << (error ? error->description() : "");
        managers.push_back(decoded);
        EXPECT_EQ(decoded->baseURL()->string(), "https://127.0.0.1/api/");
        EXPECT_EQ(decoded->sessionConfiguration().timeoutIntervalForRequest, 12);
        EXPECT_EQ(decoded->sessionConfiguration().httpAdditionalHeaders.at("X-App"), "notes");
        EXPECT_TRUE(
            std::dynamic_pointer_cast<HTJSONRequestSerializer>(decoded->requestSerializer()));
        EXPECT_FALSE(
            std::dynamic_pointer_cast<HTJSONResponseSerializer>(decoded->responseSerializer()));
        EXPECT_NE(decoded->requestSerializer(), original->requestSerializer());
        ASSERT_TRUE(decoded->securityPolicy());
        EXPECT_EQ(decoded->securityPolicy()->SSLPinningMode(), HTSSLPinningModePublicKey);
        // The duplicate owns its policy: loosening it leaves the original as strict as it was.
        EXPECT_NE(decoded->securityPolicy(), original->securityPolicy());
        decoded->securityPolicy()->setAllowInvalidCertificates(true);
        EXPECT_FALSE(original->securityPolicy()->allowInvalidCertificates());
    }

    // The plain manager keeps its configuration alone.
    auto plain = HTURLSessionManager::make(configuration);
    plain->setResponseSerializer(HTHTTPResponseSerializer::serializer());
    auto decoded = KeyedUnarchiver::unarchivedObject<HTURLSessionManager>(
        KeyedArchiver::archivedDocument(*plain), allowed);
    ASSERT_TRUE(decoded) << decoded.error()->description();
    auto back = *decoded;
    EXPECT_EQ(back->sessionConfiguration().timeoutIntervalForRequest, 12);
    EXPECT_TRUE(std::dynamic_pointer_cast<HTJSONResponseSerializer>(back->responseSerializer()));
    EXPECT_EQ(back->securityPolicy()->SSLPinningMode(), HTSSLPinningModeNone);
    managers.push_back(plain);
    managers.push_back(back);
    for (const auto& m : managers)
        m->invalidateSessionCancelingTasks(true);
}

}  // namespace
}  // namespace quarra
