// How token and registration replies become results, against scripted replies of a loopback
// HTTPS server: OAuth error bodies in their domains (401 too), other failures in the general one.
#include <gtest/gtest.h>

#include "quarra/RunLoop.h"
#include "sso/SSOAuthState.h"
#include "sso/SSOAuthorizationService.h"
#include "sso/SSOErrorUtilities.h"
#include "support/QuarraTestServer.h"

namespace quarra {
namespace {

using test::QuarraTestServer;
using test::Reply;

// The result that `send` delivers through the callback it is given.
template <class R, class Send>
std::pair<std::shared_ptr<R>, ErrorPtr> answerOf(Send send) {
    std::shared_ptr<R> response;
    ErrorPtr error;
    int calls = 0;
    send([&](const std::shared_ptr<R>& r, const ErrorPtr& e) {
        response = r;
        error = e;
        ++calls;
    });
    EXPECT_TRUE(runMainUntil([&] { return calls > 0; }, std::chrono::seconds(60)));
    EXPECT_EQ(calls, 1);
    return {response, error};
}

class SSOReplyTest : public testing::Test {
  protected:
    void SetUp() override { server.trustAuthority(); }

    SSOServiceConfiguration configuration() const {
        return SSOServiceConfiguration(server.url("/authorize"), server.url("/token"),
                                       server.url("/reg"));
    }

    QuarraTestServer server;
};

// A reply nested far deeper than any token reply: refused by the parser, not by the stack.
Reply deeplyNested(int depth = 100'000) {
    return Reply::json(std::string(depth, '[') + std::string(depth, ']'));
}

// A gigabyte that stops after two megabytes: a client that reads the whole reply before it
// applies the limit waits here for good.
Reply endless() {
    Reply reply;
    reply.generatedLength = std::uint64_t{1} << 30;
    reply.stallAfter = 2 << 20;
    return reply;
}

TEST_F(SSOReplyTest, TokenRepliesMapToResponsesAndErrors) {
    Reply dropped;
    dropped.dropConnection = true;
    struct Case {
        const char* name;
        Reply reply;
        const char* domain;  // null: a token response
        long code;
        long underlyingStatus;  // 0: none expected
    };
    const Case cases[] = {
        {"invalid grant", Reply::json(R"({"error":"invalid_grant"})", 400),
         SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant, 400},
        {"wrong client secret", Reply::json(R"({"error":"invalid_client"})", 401),
         SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidClient, 401},
        {"rate limit", Reply::json(R"({"error":"slow_down"})", 429), SSOOAuthTokenErrorDomain,
         SSOOAuthErrorOther, 429},
        {"401 without OAuth body", Reply::json("denied", 401), SSOGeneralErrorDomain,
         SSOErrorCodeServer, 401},
        {"server failure", Reply::json(R"({"error":"server_error"})", 500), SSOGeneralErrorDomain,
         SSOErrorCodeServer, 500},
        {"empty 200", Reply::json("", 200), SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON, 0},
        {"200 list", Reply::json("[1]", 200), SSOGeneralErrorDomain, SSOErrorCodeNoTokenResponse,
         0},
        {"no reply", dropped, SSOGeneralErrorDomain, SSOErrorCodeNetwork, 0},
        {"200 without token fields", Reply::json("{}", 200), nullptr, 0, 0},
        {"nested too deep", deeplyNested(), SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON, 0},
        {"nested too deep in an error body", Reply::json(deeplyNested().body, 400),
         SSOGeneralErrorDomain, SSOErrorCodeServer, 400},
        {"too large", endless(), SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON, 0},
    };
    SSOTokenRequest request(configuration(), SSOGrantTypeRefreshToken, std::nullopt, std::nullopt,
                            "client", std::nullopt, std::nullopt, "refresh", std::nullopt, {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.reply("/token", c.reply);
        auto [response, error] = answerOf<SSOTokenResponse>([&](SSOTokenCallback callback) {
            SSOAuthorizationService::performTokenRequest(request, callback);
        });
        if (!c.domain) {
            ASSERT_TRUE(response);
            EXPECT_FALSE(response->accessToken());
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(c.domain, c.code)) << error->description();
        if (c.underlyingStatus) {
            ASSERT_TRUE(error->underlyingError());
            EXPECT_TRUE(error->underlyingError()->is(SSOHTTPErrorDomain, c.underlyingStatus));
        }
    }
}

TEST_F(SSOReplyTest, RegistrationRepliesMapToResponsesAndErrors) {
    SSORegistrationRequest request(configuration(), {*Url::parse("http://127.0.0.1/callback")},
                                   std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    struct Case {
        Reply reply;
        const char* domain;
        long code;
    };
    const Case cases[] = {
        {Reply::json(R"({"error":"invalid_client_metadata"})", 400),
         SSOOAuthRegistrationErrorDomain, SSOOAuthErrorOther},
        {Reply::json(R"({"error":"invalid_client"})", 401), SSOOAuthRegistrationErrorDomain,
         SSOOAuthErrorInvalidClient},
        // Rate limits carry no OAuth error for registration.
        {Reply::json(R"({"error":"slow_down"})", 429), SSOGeneralErrorDomain, SSOErrorCodeServer},
        {Reply::json(R"({"client_secret":"s"})", 201), SSOGeneralErrorDomain,
         SSOErrorCodeNoRegistrationResponse},
        {Reply::json(R"({"client_id":"new"})", 201), nullptr, 0},
        {deeplyNested(), SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON},
        {endless(), SSOGeneralErrorDomain, SSOErrorCodeReplyNotJSON},
    };
    for (const Case& c : cases) {
        server.reply("/reg", c.reply);
        auto [response, error] =
            answerOf<SSORegistrationResponse>([&](SSORegistrationCompletion completion) {
                SSOAuthorizationService::performRegistrationRequest(request, completion);
            });
        if (!c.domain) {
            ASSERT_TRUE(response);
            EXPECT_EQ(response->clientID(), "new");
            continue;
        }
        ASSERT_TRUE(error) << c.reply.body.substr(0, 100);
        EXPECT_TRUE(error->is(c.domain, c.code)) << error->description();
    }
}

}  // namespace
}  // namespace quarra

namespace quarra {
namespace {

// A redirect is the flow's when scheme, user, host, port and path match after dot segments are
// resolved; query and fragment do not count.
TEST(SSORedirectMatchTest, OnlyTheRedirectsOwnAddressIsTaken) {
    SSOServiceConfiguration configuration(*Url::parse("https://idp.example.com/authorize"),
                                          *Url::parse("https://idp.example.com/token"));
    auto request = *SSOAuthorizationRequest::create(
        configuration, "client", std::nullopt, std::vector<std::string>{"openid"},
        Url::parse("http://127.0.0.1:8123/a/./callback"), SSOResponseTypeCode);
    SSOAuthorizationFlowSessionImplementation flow(request);
    const std::pair<const char*, bool> cases[] = {
        {"http://127.0.0.1:8123/a/callback", true},
        {"http://127.0.0.1:8123/a/callback?code=x&state=y#frag", true},
        {"http://127.0.0.1:8123/a/b/../callback?code=x", true},
        {"http://127.0.0.1:8124/a/callback", false},
        {"http://127.0.0.2:8123/a/callback", false},
        {"https://127.0.0.1:8123/a/callback", false},
        {"http://127.0.0.1:8123/a/Callback", false},
        {"http://user@127.0.0.1:8123/a/callback", false},
        {"http://127.0.0.1/a/callback", false},
    };
    for (const auto& [url, matches] : cases)
        EXPECT_EQ(flow.shouldHandleURL(*Url::parse(url)), matches) << url;
}

}  // namespace
}  // namespace quarra

namespace quarra {
namespace {

// Freshness decides whether an action waits for a refresh; without a refresh token a stale state
// answers -11 and sends nothing.
TEST(SSOAuthStateFreshnessTest, StaleTokensWithoutRefreshTokenGiveMinusEleven) {
    SSOServiceConfiguration configuration(*Url::parse("https://idp.example.com/authorize"),
                                          *Url::parse("https://idp.example.com/token"));
    auto request = *SSOAuthorizationRequest::create(
        configuration, "client", std::nullopt, std::vector<std::string>{"openid"},
        Url::parse("http://127.0.0.1/callback"), SSOResponseTypeCode);
    struct Case {
        Json reply;
        bool markedForRefresh;
        bool fresh;
    };
    const Case cases[] = {
        {{{"access_token", "a"}, {"expires_in", 3600}}, false, true},
        {{{"access_token", "a"}, {"expires_in", 3600}}, true, false},
        {{{"access_token", "a"}, {"expires_in", 60}}, false, false},
        {{{"access_token", "a"}}, false, true},
        {{{"id_token", "i"}}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply.dump());
        auto state = std::make_shared<SSOAuthState>(
            std::make_shared<SSOAuthorizationResponse>(request, c.reply));
        if (c.markedForRefresh)
            state->setNeedsTokenRefresh();
        EXPECT_EQ(state->isTokenFresh(), c.fresh);
        ErrorPtr error;
        bool called = false;
        state->performActionWithFreshTokens([&](const std::optional<std::string>&,
                                                const std::optional<std::string>&,
                                                const ErrorPtr& e) {
            error = e;
            called = true;
        });
        EXPECT_FALSE(called) << "never inside the call";
        ASSERT_TRUE(runMainUntil([&] { return called; }));
        if (c.fresh) {
            EXPECT_FALSE(error);
        } else {
            ASSERT_TRUE(error);
            EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeNoRefreshToken));
        }
    }
}

}  // namespace
}  // namespace quarra
