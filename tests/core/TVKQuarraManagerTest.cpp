#include "core/TVKQuarraManager.h"

#include <gtest/gtest.h>

#include "auth/KeychainItemStore.h"
#include "quarra/TVKErrors.h"
#include "quarra/Bundle.h"
#include "platform/NetworkReachability.h"
#include "platform/URLSession.h"
#include "transport/HTHTTPSessionManager.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"
#include "support/SignInTestBed.h"

namespace quarra {
namespace {

using test::Outcome;
using test::QuarraTestService;
using test::RecordedRequest;
using test::Reply;
using test::SignInTestBed;

constexpr const char* Documents = "objects/documents";

class RequestEngineTest : public ::testing::Test {
  protected:
    TVKQuarraManager& engine() { return TVKQuarraManager::sharedInstance(); }

    // An endpoint of a Quarra that answers with what it received.
    void addEchoEndpoint(std::uint64_t quarra) {
        bed.service.addEndpoint(quarra, Documents,
                                [](const RecordedRequest& request, const QuarraTestService::User&) {
                                    return QuarraTestService::success(
                                        {{"method", request.method}, {"body", request.body}});
                                });
    }

    Outcome request(std::uint64_t quarra, unsigned long method = TVKQuarraRequestMethodGET,
                    const Json& parameters = Json::object(),
                    unsigned long encoding = TVKQuarraParameterEncodingFormURL,
                    const std::string& endpoint = Documents) {
        Outcome outcome;
        engine().requestQuarraEndpoint(endpoint, bed.quarra(quarra), method, parameters, encoding,
                                       outcome.requestHandler());
        EXPECT_TRUE(outcome.wait());
        return outcome;
    }

    SignInTestBed bed;
};

TEST_F(RequestEngineTest, RequestToTheCurrentQuarraCarriesItsUrlAndHeaders) {
    auto user = bed.signIn();
    addEchoEndpoint(SignInTestBed::FirstQuarra);

    Outcome outcome = request(SignInTestBed::FirstQuarra, TVKQuarraRequestMethodGET,
                              {{"search", "two words"}, {"limit", 5}});

    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.response["responseStatus"], "SUCCESS");
    auto sent = bed.first.requests(bed.service.apiPath(Documents));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].query, "limit=5&search=two%20words");
    EXPECT_EQ(sent[0].header("Authorization"), *user->sessionId());
    EXPECT_NE(sent[0].header("User-Agent").find(" QuarraMobileSDK/1.0.0 ("), std::string::npos)
        << sent[0].header("User-Agent");
    EXPECT_EQ(sent[0].header("ClientID"), Bundle::main().bundleIdentifier());
    // Sent at once: no sign-in to the Quarra it is already signed in to.
    EXPECT_EQ(bed.count("auth"), 0u);
    EXPECT_EQ(bed.service.headerFaults(), 0);
}

TEST_F(RequestEngineTest, ParametersTravelInTheEncodingAsked) {
    bed.signIn();
    addEchoEndpoint(SignInTestBed::FirstQuarra);
    const Json parameters = {{"name", "a b&c"}, {"count", 2}};
    struct Case {
        unsigned long method;
        unsigned long encoding;
        std::string contentType;
        std::string body;
    } cases[] = {
        {TVKQuarraRequestMethodPOST, TVKQuarraParameterEncodingFormURL,
         "application/x-www-form-urlencoded", "count=2&name=a%20b%26c"},
        {TVKQuarraRequestMethodPUT, TVKQuarraParameterEncodingFormURL,
         "application/x-www-form-urlencoded", "count=2&name=a%20b%26c"},
        {TVKQuarraRequestMethodPOST, TVKQuarraParameterEncodingJSON, "application/json",
         parameters.dump()},
    };
    for (const Case& c : cases) {
        bed.first.clearRequests();
        Outcome outcome = request(SignInTestBed::FirstQuarra, c.method, parameters, c.encoding);
        ASSERT_FALSE(outcome.error) << outcome.error->description();
        auto sent = bed.first.requests(bed.service.apiPath(Documents));
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].method, c.method == TVKQuarraRequestMethodPUT ? "PUT" : "POST");
        EXPECT_EQ(sent[0].header("Content-Type").substr(0, c.contentType.size()), c.contentType);
        if (c.encoding == TVKQuarraParameterEncodingJSON) {
            EXPECT_EQ(Json::parse(sent[0].body), parameters);
        } else {
            EXPECT_EQ(sent[0].body, c.body);
        }
    }
}

TEST_F(RequestEngineTest, RepliesBecomeTheSdksErrors) {
    bed.signIn();
    const std::string path = bed.service.apiPath(Documents);
    bed.first.replies(
        path,
        {QuarraTestService::failure("INVALID_DATA", "field x is bad"), Reply::json(R"([1, 2])"),
         Reply::json(R"({"responseStatus": "SUCCESS", "defaultUrl": "https:///api"})"),
         Reply::json(R"({"message": "boom"})", 500)});

    Outcome invalidData = request(SignInTestBed::FirstQuarra);
    ASSERT_TRUE(invalidData.error);
    EXPECT_TRUE(invalidData.error->is(TVKQuarraErrorDomain, -1));
    EXPECT_EQ(invalidData.error->userInfo()[TVKQuarraServerErrorMessageKey], "field x is bad");
    EXPECT_EQ(invalidData.response["errors"][0]["type"], "INVALID_DATA");

    // A reply that is no object says nothing about success: an error that carries it.
    Outcome array = request(SignInTestBed::FirstQuarra);
    ASSERT_TRUE(array.error);
    EXPECT_TRUE(array.error->is(TVKQuarraExceptionErrorDomain, -1));
    EXPECT_EQ(array.error->userInfo()[TVKInvalidServerResponseKey], Json::parse("[1, 2]"));
    EXPECT_TRUE(array.response.is_null());

    Outcome noQuarras = request(SignInTestBed::FirstQuarra);
    ASSERT_TRUE(noQuarras.error);
    EXPECT_TRUE(noQuarras.error->is(TVKQuarraErrorDomain, -8));

    // A status the transport refuses comes through as the transport's error.
    Outcome serverError = request(SignInTestBed::FirstQuarra);
    ASSERT_TRUE(serverError.error);
    EXPECT_NE(serverError.error->domain(), TVKQuarraExceptionErrorDomain);
    EXPECT_TRUE(serverError.response.is_null());
}

TEST_F(RequestEngineTest, UnknownMethodOrEncodingAnswersWithAnErrorAndSendsNothing) {
    bed.signIn();
    addEchoEndpoint(SignInTestBed::FirstQuarra);
    std::pair<unsigned long, unsigned long> cases[] = {{4, TVKQuarraParameterEncodingFormURL},
                                                       {0, TVKQuarraParameterEncodingJSON},
                                                       {TVKQuarraRequestMethodGET, 3}};
    for (auto [method, encoding] : cases) {
        Outcome outcome = request(SignInTestBed::FirstQuarra, method, {}, encoding);
        ASSERT_TRUE(outcome.error);
        EXPECT_TRUE(outcome.error->is(TVKQuarraErrorDomain, TVKInvalidRequestErrorCode));
        EXPECT_EQ(outcome.calls, 1);
    }
    EXPECT_EQ(bed.count(Documents), 0u);
}

TEST_F(RequestEngineTest, RequestToAnotherQuarraSignsInThereFirst) {
    bed.signIn();
    addEchoEndpoint(SignInTestBed::SecondQuarra);

    Outcome outcome = request(SignInTestBed::SecondQuarra);

    ASSERT_FALSE(outcome.error) << outcome.error->description();
    auto current = TVKQuarraAuthManager::sharedInstance().currentUser()->currentQuarra();
    EXPECT_EQ(current->Id(), SignInTestBed::SecondQuarra);
    EXPECT_EQ(bed.second.requests(bed.service.apiPath("auth")).size(), 1u);
    auto sent = bed.second.requests(bed.service.apiPath(Documents));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(bed.service.sessionQuarra(sent[0].header("Authorization")),
              SignInTestBed::SecondQuarra);
    EXPECT_EQ(bed.count("/auth/api"), 1u);

    // Now current: the next request goes straight there.
    request(SignInTestBed::SecondQuarra);
    EXPECT_EQ(bed.count("auth"), 1u);
    EXPECT_EQ(bed.count(Documents), 2u);
}

TEST_F(RequestEngineTest, InvalidSessionReplyLeadsToOneSignInAndOneResend) {
    bed.signIn();
    const std::string path = bed.service.apiPath(Documents);
    bed.first.replies(path, {QuarraTestService::failure("INVALID_SESSION_ID", "expired"),
                             QuarraTestService::success({{"n", 1}})});

    Outcome outcome = request(SignInTestBed::FirstQuarra);

    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.response["n"], 1);
    auto sent = bed.first.requests(path);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(bed.count("auth"), 1u);
    // The resend carries the session the sign-in made.
    EXPECT_NE(sent[0].header("Authorization"), sent[1].header("Authorization"));
    EXPECT_EQ(sent[1].header("Authorization"), KeychainItemStore::getSessionId());
}

TEST_F(RequestEngineTest, SecondInvalidSessionReplyReachesTheCaller) {
    bed.signIn();
    bed.first.reply(bed.service.apiPath(Documents),
                    QuarraTestService::failure("INVALID_SESSION_ID", "expired"));

    Outcome outcome = request(SignInTestBed::FirstQuarra);

    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -2));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(bed.count(Documents), 2u);
    EXPECT_EQ(bed.count("auth"), 1u);
}

TEST_F(RequestEngineTest, SignInFailureOfTheImplicitStepReachesTheCallerAndNothingIsSent) {
    // Nobody signed in: the sign-in would need the user.
    Outcome outcome;
    auto quarra = std::make_shared<TVKQuarra>(SignInTestBed::FirstQuarra, "First",
                                              bed.service.host(SignInTestBed::FirstQuarra));
    engine().requestQuarraEndpoint(Documents, quarra, TVKQuarraRequestMethodGET, {},
                                   TVKQuarraParameterEncodingFormURL, outcome.requestHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -20));
    EXPECT_TRUE(outcome.response.is_null());
    EXPECT_EQ(bed.first.requests().size(), 0u);
}

TEST_F(RequestEngineTest, HeadersBelongToTheirOwnRequest) {
    auto user = bed.signIn();
    bed.first.reply("/session", QuarraTestService::success());
    Outcome exchange, discovery, json, jsonSignIn;
    // Issued back to back: a bearer token, a sign-in host call, a JSON call with the session, and
    // a JSON call to an endpoint that takes no session.
    engine().requestExchangeTokenForSessionEndpoint(bed.first.url("/session").string(), "tok",
                                                    "client", exchange.requestHandler());
    engine().requestAuthEndpoint("auth/discovery", "127.0.0.1:" + std::to_string(bed.first.port()),
                                 TVKQuarraRequestMethodPOST, {{"username", "alice"}},
                                 discovery.requestHandler());
    auto quarra = bed.quarra(SignInTestBed::FirstQuarra);
    engine().requestQuarraEndpointInternal("objects/users/me", quarra, TVKQuarraRequestMethodGET,
                                           {}, TVKQuarraParameterEncodingJSON,
                                           json.requestHandler());
    engine().requestQuarraEndpointInternal(
        "auth", quarra, TVKQuarraRequestMethodPOST, {{"username", "alice"}, {"password", "x"}},
        TVKQuarraParameterEncodingJSON, jsonSignIn.requestHandler());
    ASSERT_TRUE(runMainUntil(
        [&] { return exchange.calls && discovery.calls && json.calls && jsonSignIn.calls; }));

    auto token = bed.first.requests("/session");
    ASSERT_EQ(token.size(), 1u);
    EXPECT_EQ(token[0].header("Authorization"), "Bearer tok");
    EXPECT_EQ(token[0].body, "client_id=client");
    EXPECT_EQ(bed.first.requests("/auth/discovery")[0].header("Authorization"), "");
    EXPECT_EQ(
        bed.first.requests(bed.service.apiPath("objects/users/me"))[0].header("Authorization"),
        *user->sessionId());
    EXPECT_EQ(bed.first.requests(bed.service.apiPath("auth"))[0].header("Authorization"), "");
    EXPECT_EQ(bed.service.headerFaults(), 0);
}

TEST_F(RequestEngineTest, CancelAllRequestsEndsRunningRequestsAndLeavesFreshManagers) {
    auto user = bed.signIn();
    Reply stalled = QuarraTestService::success();
    stalled.stallBeforeHead = true;
    bed.first.replies(bed.service.apiPath(Documents), {stalled, QuarraTestService::success()});
    Outcome cancelled;
    engine().requestQuarraEndpoint(Documents, bed.quarra(SignInTestBed::FirstQuarra),
                                   TVKQuarraRequestMethodGET, {}, TVKQuarraParameterEncodingFormURL,
                                   cancelled.requestHandler());
    ASSERT_TRUE(runMainUntil([&] { return bed.count(Documents) == 1; }));

    engine().cancelAllRequests();

    ASSERT_TRUE(cancelled.wait());
    ASSERT_TRUE(cancelled.error);
    EXPECT_EQ(cancelled.calls, 1);
    bed.first.releaseStalls();
    Outcome after = request(SignInTestBed::FirstQuarra);
    ASSERT_FALSE(after.error) << after.error->description();
    auto sent = bed.first.requests(bed.service.apiPath(Documents));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].header("Authorization"), *user->sessionId());
    EXPECT_EQ(bed.service.headerFaults(), 0);
}

// The engine listens for the completion of background transfers (upload and download tasks) only,
// so a request's data task completes without a task-complete notification built for nobody.
TEST_F(RequestEngineTest, OnlyTransfersCountAsHeardByTheEngine) {
    auto session = engine().formURLEncodedSessionManager()->session();
    UrlRequest request(*Url::parse("https://127.0.0.1/"));
    auto data = session->dataTask(request).value();
    auto download = session->downloadTask(request).value();
    auto& center = NotificationCenter::defaultCenter();
    EXPECT_FALSE(center.hasObservers(HTNetworkingTaskDidCompleteNotification, data.get()));
    EXPECT_TRUE(center.hasObservers(HTNetworkingTaskDidCompleteNotification, download.get()));
}

class OfflineEngineTest : public RequestEngineTest {
  protected:
    OfflineEngineTest() { NetworkReachabilityProvider::setCurrent(network); }
    ~OfflineEngineTest() override { NetworkReachabilityProvider::setCurrent(nullptr); }

    std::shared_ptr<FixedNetworkReachabilityProvider> network =
        std::make_shared<FixedNetworkReachabilityProvider>(0);
};

TEST_F(OfflineEngineTest, WithoutNetworkNothingIsSentExceptTheTokenExchange) {
    // Asked on the main thread before any status was delivered: answers at once.
    ErrorPtr gate = engine().isConnectedToNetwork();
    ASSERT_TRUE(gate);
    EXPECT_TRUE(gate->is(TVKNetworkErrorDomain, -1));
    EXPECT_EQ(gate->localizedDescription(), "No network connection");

    Outcome signIn, internal, exchange;
    engine().requestAuthEndpoint("auth/api", "127.0.0.1:" + std::to_string(bed.first.port()),
                                 TVKQuarraRequestMethodPOST, {}, signIn.requestHandler());
    auto quarra = std::make_shared<TVKQuarra>(SignInTestBed::FirstQuarra, "First",
                                              bed.service.host(SignInTestBed::FirstQuarra));
    engine().requestQuarraEndpointInternal("objects/users/me", quarra, TVKQuarraRequestMethodGET,
                                           {}, TVKQuarraParameterEncodingFormURL,
                                           internal.requestHandler());
    bed.first.reply("/session", QuarraTestService::success());
    engine().requestExchangeTokenForSessionEndpoint(bed.first.url("/session").string(), "tok",
                                                    "client", exchange.requestHandler());
    ASSERT_TRUE(runMainUntil([&] { return signIn.calls && internal.calls && exchange.calls; }));

    for (Outcome* refused : {&signIn, &internal}) {
        ASSERT_TRUE(refused->error);
        EXPECT_TRUE(refused->error->is(TVKNetworkErrorDomain, -1));
    }
    EXPECT_FALSE(exchange.error);
    EXPECT_EQ(bed.first.requests().size(), 1u);

    // The network comes back: the first status releases requests.
    network->setFlags(NetworkReachabilityFlagsReachable);
    ASSERT_TRUE(runMainUntil([&] { return !engine().isConnectedToNetwork(); }));
}

TEST(RequestEngineUrls, QuarraAddressesKeepTheirPort) {
    TVKQuarra quarra(1, "q", "127.0.0.1:8443");
    EXPECT_EQ(TVKQuarraManager::quarraDNS(quarra), "127.0.0.1:8443");
    EXPECT_EQ(TVKQuarraManager::urlForQuarraEndpoint("objects/documents?x=1",
                                                     TVKQuarraManager::quarraDNS(quarra)),
              "https://127.0.0.1:8443/api/v1/objects/documents?x=1");
    EXPECT_EQ(TVKQuarraManager::urlForAuthEndpoint("auth/api", "signin.example.com"),
              "https://signin.example.com/auth/api");
}

TEST(RequestEngineUrls, OnlyTheThreeSignInEndpointsGoWithoutSession) {
    for (const char* endpoint : {"auth", "auth/discovery", "auth/api"})
        EXPECT_FALSE(TVKQuarraManager::endpointRequiresAuthorization(endpoint)) << endpoint;
    for (const char* endpoint : {"auth/api/", "Auth", "objects/users/me", "auth/discovery?x"})
        EXPECT_TRUE(TVKQuarraManager::endpointRequiresAuthorization(endpoint)) << endpoint;
}

TEST(RequestEngineRedaction, SessionIdsNeverReachTheLog) {
    Json signIn = {{"responseStatus", "SUCCESS"},
                   {"sessionid", "s1"},
                   {"nested", {{"sessionId", "s2"}, {"list", {{{"SessionID", "s3"}}}}}},
                   {"name", "kept"}};
    std::string logged = TVKQuarraManager::redactedResponse(signIn, "https://h/auth/api").dump();
    for (const char* secret : {"s1", "s2", "s3"})
        EXPECT_EQ(logged.find(secret), std::string::npos) << logged;
    EXPECT_NE(logged.find("kept"), std::string::npos);

    Json me = {{"responseStatus", "SUCCESS"}, {"data", {{"username", "alice"}}}};
    EXPECT_EQ(TVKQuarraManager::redactedResponse(me, "https://h/api/v1/objects/users/me"),
              Json({{"responseStatus", "SUCCESS"}}));
}

}  // namespace
}  // namespace quarra
