// The OAuth client against a real OpenID provider on loopback: discovery, the authorization-code
// flow with PKCE through the test agent and through the desktop agent's loopback listener, the
// code exchange, refresh with rotation, registration, and the provider's refusals.
#include <gtest/gtest.h>

#include "platform/KeyedArchiver.h"
#include "quarra/RunLoop.h"
#include "sso/SSOAuthState.h"
#include "sso/SSOAuthorizationService.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOExternalUserAgentLinux.h"
#include "sso/SSOURLQueryComponent.h"
#include "support/JwtVerifier.h"
#include "support/OpenIDTestProvider.h"
#include "support/ProviderTestDriver.h"

namespace quarra {
namespace {

using test::OpenIDTestProvider;
using test::ProviderTestAgent;
using test::ProviderTestBrowser;
using test::ProviderTestDriver;

// Bounds a wait on a loaded machine; every wait ends on an event long before.
constexpr auto kLimit = std::chrono::seconds(120);

struct StateOutcome {
    int calls = 0;
    std::shared_ptr<SSOAuthState> state;
    ErrorPtr error;
    SSOAuthState::StateCallback callback() {
        return [this](const std::shared_ptr<SSOAuthState>& s, const ErrorPtr& e) {
            ++calls;
            state = s;
            error = e;
        };
    }
};

struct TokenOutcome {
    int calls = 0;
    std::shared_ptr<SSOTokenResponse> response;
    ErrorPtr error;
    SSOTokenCallback callback() {
        return [this](const std::shared_ptr<SSOTokenResponse>& r, const ErrorPtr& e) {
            ++calls;
            response = r;
            error = e;
        };
    }
};

struct Tokens {
    std::optional<std::string> access, id;
    ErrorPtr error;
    bool done = false;
};

class SSOProviderTest : public testing::Test {
  protected:
    SSOServiceConfiguration discover() {
        std::optional<SSOServiceConfiguration> found;
        bool done = false;
        SSOAuthorizationService::discoverServiceConfigurationForIssuer(
            *Url::parse(provider.issuer()),
            [&](const std::optional<SSOServiceConfiguration>& c, const ErrorPtr& e) {
                EXPECT_FALSE(e) << e->description();
                found = c;
                done = true;
            });
        EXPECT_TRUE(runMainUntil([&] { return done; }, kLimit));
        return found.value();
    }

    SSOAuthorizationRequest request(const char* client = OpenIDTestProvider::NativeClient,
                                    std::optional<std::string> secret = std::nullopt,
                                    const char* redirect = "http://127.0.0.1:9/callback") {
        return *SSOAuthorizationRequest::create(discover(), client, std::move(secret),
                                                std::vector<std::string>{"openid", "profile"},
                                                Url::parse(redirect), SSOResponseTypeCode);
    }

    StateOutcome signIn(const SSOAuthorizationRequest& request,
                        std::shared_ptr<SSOExternalUserAgent> agent) {
        StateOutcome outcome;
        auto flow = SSOAuthState::authStateByPresentingAuthorizationRequest(request, agent,
                                                                            outcome.callback());
        EXPECT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
        return outcome;
    }

    Tokens freshTokens(const std::shared_ptr<SSOAuthState>& state) {
        Tokens tokens;
        state->performActionWithFreshTokens([&](const std::optional<std::string>& a,
                                                const std::optional<std::string>& i,
                                                const ErrorPtr& e) {
            tokens = {a, i, e, true};
        });
        EXPECT_TRUE(runMainUntil([&] { return tokens.done; }, kLimit));
        return tokens;
    }

    TokenOutcome send(const SSOTokenRequest& request) {
        TokenOutcome outcome;
        SSOAuthorizationService::performTokenRequest(request, outcome.callback());
        EXPECT_EQ(outcome.calls, 0) << "a reply never arrives inside the call";
        EXPECT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
        return outcome;
    }

    OpenIDTestProvider provider;
};

TEST_F(SSOProviderTest, DiscoveryReadsTheProvidersMetadataAndReportsAMissingDocument) {
    SSOServiceConfiguration configuration = discover();
    EXPECT_EQ(configuration.tokenEndpoint(), provider.url("/token"));
    EXPECT_EQ(configuration.registrationEndpoint(), provider.url("/reg"));

    ErrorPtr error;
    bool done = false;
    SSOAuthorizationService::discoverServiceConfigurationForDiscoveryURL(
        provider.url("/no-such-metadata"),
        [&](const std::optional<SSOServiceConfiguration>& c, const ErrorPtr& e) {
            EXPECT_FALSE(c);
            error = e;
            done = true;
        });
    ASSERT_TRUE(runMainUntil([&] { return done; }, kLimit));
    ASSERT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeNetwork));
    EXPECT_TRUE(error->underlyingError()->is(SSOHTTPErrorDomain, 404));
}

TEST_F(SSOProviderTest, CodeFlowWithPkceGivesSignedTokensAndRefreshRotatesThem) {
    auto agent = std::make_shared<ProviderTestAgent>();
    StateOutcome outcome = signIn(request(), agent);
    ASSERT_TRUE(outcome.state) << outcome.error->description();
    auto state = outcome.state;
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(state->isAuthorized());
    ASSERT_TRUE(state->accessToken() && state->idToken() && state->refreshToken());
    std::string why;
    auto claims = test::verifyRS256(*state->idToken(), provider.jwks(), &why);
    ASSERT_TRUE(claims) << why;
    EXPECT_EQ((*claims)["sub"], "alice");
    EXPECT_EQ((*claims)["aud"], OpenIDTestProvider::NativeClient);
    // The code was the redirect's; the description of the state shows no token.
    EXPECT_EQ(state->description().find(*state->refreshToken()), std::string::npos);
    EXPECT_EQ(state->description().find(*state->accessToken()), std::string::npos);

    // Three callers during one refresh share it: one grant, the same new tokens for all.
    const std::string oldRefresh = *state->refreshToken();
    const std::string oldAccess = *state->accessToken();
    state->setNeedsTokenRefresh();
    std::vector<Tokens> seen(3);
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        state->performActionWithFreshTokens([&, i](const std::optional<std::string>& a,
                                                   const std::optional<std::string>& id,
                                                   const ErrorPtr& e) {
            seen[i] = {a, id, e, true};
            order.push_back(i);
        });
    }
    ASSERT_TRUE(runMainUntil([&] { return order.size() == 3; }, kLimit));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (const Tokens& tokens : seen) {
        EXPECT_FALSE(tokens.error) << tokens.error->description();
        EXPECT_EQ(tokens.access, seen[0].access);
    }
    EXPECT_NE(seen[0].access, oldAccess);
    EXPECT_NE(state->refreshToken(), oldRefresh);
    EXPECT_FALSE(state->needsTokenRefresh());

    // The rotated-away refresh token is refused: invalid_grant.
    TokenOutcome reuse = send(SSOTokenRequest(
        state->lastAuthorizationResponse()->request().configuration(), SSOGrantTypeRefreshToken,
        std::nullopt, std::nullopt, OpenIDTestProvider::NativeClient, std::nullopt, std::nullopt,
        oldRefresh, std::nullopt, {}));
    ASSERT_TRUE(reuse.error);
    EXPECT_TRUE(reuse.error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant));
}

TEST_F(SSOProviderTest, ProviderRefusalsReachTheCallerAsOAuthErrors) {
    // The person cancels on the login page.
    StateOutcome denied =
        signIn(request(), std::make_shared<ProviderTestAgent>(ProviderTestDriver::Options{
                              .login = "alice", .password = "x", .deny = true}));
    ASSERT_TRUE(denied.error);
    EXPECT_TRUE(denied.error->is(SSOOAuthAuthorizationErrorDomain, SSOOAuthErrorAccessDenied));

    // A redirect whose state was changed on the way.
    auto tamper = [](const Url& url) {
        std::string text = url.string();
        size_t at = text.find("state=") + 6;
        text[at] = text[at] == 'A' ? 'B' : 'A';
        return *Url::parse(text);
    };
    StateOutcome tampered = signIn(
        request(), std::make_shared<ProviderTestAgent>(ProviderTestDriver::Options{}, tamper));
    ASSERT_TRUE(tampered.error);
    EXPECT_TRUE(tampered.error->is(SSOOAuthAuthorizationErrorDomain, SSOOAuthErrorStateMismatch));
    EXPECT_FALSE(tampered.state);

    // A code is good once, and only with its own verifier.
    auto agent = std::make_shared<ProviderTestAgent>();
    SSOAuthorizationRequest original = request();
    std::shared_ptr<SSOAuthorizationResponse> response;
    ErrorPtr flowError;
    bool finished = false;
    SSOAuthorizationService::presentAuthorizationRequest(
        original, agent,
        [&](const std::shared_ptr<SSOAuthorizationResponse>& r, const ErrorPtr& e) {
            response = r;
            flowError = e;
            finished = true;
        });
    ASSERT_TRUE(runMainUntil([&] { return finished; }, kLimit));
    ASSERT_TRUE(response) << flowError->description();
    SSOTokenRequest exchange = *response->tokenExchangeRequest();
    SSOTokenRequest wrongVerifier(exchange.configuration(), exchange.grantType(),
                                  exchange.authorizationCode(), exchange.redirectURL(),
                                  exchange.clientID(), std::nullopt, std::nullopt, std::nullopt,
                                  SSOAuthorizationRequest::generateCodeVerifier(), {});
    TokenOutcome wrong = send(wrongVerifier);
    ASSERT_TRUE(wrong.error);
    EXPECT_TRUE(wrong.error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant));
    // The provider revokes a code once it was presented with a wrong verifier, or takes it once:
    // either way a second use is refused.
    TokenOutcome first = send(exchange);
    TokenOutcome reused = send(exchange);
    ASSERT_TRUE(reused.error);
    EXPECT_TRUE(reused.error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant));
}

TEST_F(SSOProviderTest, ConfidentialClientSecretTravelsIntactAndAWrongOneIsInvalidClient) {
    const std::string secret = OpenIDTestProvider::ConfidentialSecret;
    StateOutcome outcome = signIn(request(OpenIDTestProvider::ConfidentialClient, secret),
                                  std::make_shared<ProviderTestAgent>());
    ASSERT_TRUE(outcome.state) << outcome.error->description();

    SSOTokenRequest refresh = outcome.state->tokenRefreshRequest();
    SSOTokenRequest wrongSecret(refresh.configuration(), refresh.grantType(), std::nullopt,
                                refresh.redirectURL(), refresh.clientID(), secret + "x",
                                std::nullopt, refresh.refreshToken(), std::nullopt, {});
    TokenOutcome refused = send(wrongSecret);
    // 401 with an OAuth body: the OAuth error, with the HTTP status beneath.
    ASSERT_TRUE(refused.error);
    EXPECT_TRUE(refused.error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidClient));
    EXPECT_TRUE(refused.error->underlyingError()->is(SSOHTTPErrorDomain, 401));
}

TEST_F(SSOProviderTest, RegisteredClientSignsIn) {
    SSOServiceConfiguration configuration = discover();
    SSORegistrationRequest registration(
        configuration, {*Url::parse("http://127.0.0.1/callback")}, std::vector<std::string>{"code"},
        std::vector<std::string>{"authorization_code", "refresh_token"}, std::nullopt,
        "client_secret_basic", {});
    std::shared_ptr<SSORegistrationResponse> registered;
    ErrorPtr error;
    bool done = false;
    SSOAuthorizationService::performRegistrationRequest(
        registration, [&](const std::shared_ptr<SSORegistrationResponse>& r, const ErrorPtr& e) {
            registered = r;
            error = e;
            done = true;
        });
    ASSERT_TRUE(runMainUntil([&] { return done; }, kLimit));
    ASSERT_TRUE(registered) << error->description();
    ASSERT_TRUE(registered->clientID() && registered->clientSecret());

    auto signInRequest = *SSOAuthorizationRequest::create(
        configuration, *registered->clientID(), registered->clientSecret(),
        std::vector<std::string>{"openid"}, Url::parse("http://127.0.0.1:9/callback"),
        SSOResponseTypeCode);
    StateOutcome outcome = signIn(signInRequest, std::make_shared<ProviderTestAgent>());
    ASSERT_TRUE(outcome.state) << outcome.error->description();
    EXPECT_TRUE(outcome.state->idToken());
}

TEST_F(SSOProviderTest, ArchivedStateRefreshesAfterRestore) {
    StateOutcome outcome = signIn(request(), std::make_shared<ProviderTestAgent>());
    ASSERT_TRUE(outcome.state) << outcome.error->description();
    outcome.state->setNeedsTokenRefresh();
    Json archive = KeyedArchiver::archivedDocument(*outcome.state);
    auto decoded =
        KeyedUnarchiver::unarchivedObject<SSOAuthState>(archive, SSOAuthState::archiveClasses());
    ASSERT_TRUE(decoded) << decoded.error()->description();
    auto restored = *decoded;
    EXPECT_EQ(restored->refreshToken(), outcome.state->refreshToken());
    EXPECT_EQ(restored->idToken(), outcome.state->idToken());
    EXPECT_TRUE(restored->needsTokenRefresh());

    Tokens tokens = freshTokens(restored);
    EXPECT_FALSE(tokens.error) << tokens.error->description();
    EXPECT_NE(tokens.access, outcome.state->accessToken());
    EXPECT_NE(restored->refreshToken(), outcome.state->refreshToken());

    // The original still holds the refresh token that the restored copy used up: the provider
    // refuses it, and the state becomes invalid, its error archived as domain and code only.
    Tokens refused = freshTokens(outcome.state);
    ASSERT_TRUE(refused.error);
    EXPECT_TRUE(refused.error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant));
    EXPECT_FALSE(refused.access);
    EXPECT_FALSE(outcome.state->isAuthorized());
    EXPECT_FALSE(outcome.state->idToken());
    EXPECT_FALSE(outcome.state->needsTokenRefresh());
    Json invalid = KeyedArchiver::archivedDocument(*outcome.state);
    auto reread =
        KeyedUnarchiver::unarchivedObject<SSOAuthState>(invalid, SSOAuthState::archiveClasses())
            .valueOr(nullptr);
    ASSERT_TRUE(reread && reread->authorizationError());
    EXPECT_TRUE(
        reread->authorizationError()->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant));
    EXPECT_TRUE(reread->authorizationError()->userInfo().empty());
}

TEST_F(SSOProviderTest, StoppedProviderIsATransientErrorThatKeepsTheTokens) {
    StateOutcome outcome = signIn(request(), std::make_shared<ProviderTestAgent>());
    ASSERT_TRUE(outcome.state) << outcome.error->description();
    auto state = outcome.state;
    const auto access = state->accessToken();
    const auto refresh = state->refreshToken();
    provider.stop();
    state->setNeedsTokenRefresh();
    Tokens tokens = freshTokens(state);
    ASSERT_TRUE(tokens.error);
    EXPECT_TRUE(tokens.error->is(SSOGeneralErrorDomain, SSOErrorCodeNetwork));
    EXPECT_EQ(tokens.access, access);
    EXPECT_EQ(state->refreshToken(), refresh);
    EXPECT_TRUE(state->isAuthorized());
    EXPECT_FALSE(state->authorizationError());
}

TEST_F(SSOProviderTest, DesktopAgentTakesTheRedirectOnItsLoopbackListener) {
    // The browser resolves "localhost" itself, to ::1 where the host has it.
    for (const char* configured :
         {OpenIDTestProvider::LoopbackRedirect, "http://localhost/callback"}) {
        SCOPED_TRACE(configured);
        auto browser = std::make_shared<ProviderTestBrowser>();
        auto agent = std::make_shared<SSOExternalUserAgentLinux>(browser);
        // The configured redirect has no port: the agent's listener chooses one.
        Url redirect = agent->redirectURLForRequest(*Url::parse(configured));
        ASSERT_TRUE(redirect.port());
        EXPECT_EQ(redirect.host(), Url::parse(configured)->host());
        auto signInRequest = *SSOAuthorizationRequest::create(
            discover(), OpenIDTestProvider::NativeClient, std::nullopt,
            std::vector<std::string>{"openid"}, redirect, SSOResponseTypeCode);
        StateOutcome outcome = signIn(signInRequest, agent);
        ASSERT_TRUE(outcome.state) << outcome.error->description();
        EXPECT_TRUE(outcome.state->idToken());
        EXPECT_EQ(browser->opened(), 1);
        EXPECT_FALSE(agent->externalUserAgentFlowInProgress());
    }
}

// A browser that opens nothing: the person never comes back.
struct SilentBrowser : Browser {
    bool openURL(const Url&) override { return true; }
};
struct BrokenBrowser : Browser {
    bool openURL(const Url&) override { return false; }
};

TEST_F(SSOProviderTest, DesktopAgentEndsEveryFlowOnce) {
    // Cancelled while the listener waits: user-cancelled, once, and the listener is gone.
    auto agent = std::make_shared<SSOExternalUserAgentLinux>(std::make_shared<SilentBrowser>());
    Url redirect = agent->redirectURLForRequest(*Url::parse(OpenIDTestProvider::LoopbackRedirect));
    SSOAuthorizationRequest waiting = *SSOAuthorizationRequest::create(
        discover(), OpenIDTestProvider::NativeClient, std::nullopt,
        std::vector<std::string>{"openid"}, redirect, SSOResponseTypeCode);
    StateOutcome cancelled;
    auto flow = SSOAuthState::authStateByPresentingAuthorizationRequest(waiting, agent,
                                                                        cancelled.callback());
    EXPECT_TRUE(flow->isWaiting());
    // Another address on the redirect's scheme is not the flow's: it keeps waiting.
    EXPECT_FALSE(flow->resumeAuthorizationFlowWithURL(*Url::parse("http://127.0.0.1/other")));
    EXPECT_TRUE(flow->isWaiting());
    flow->cancel();
    flow->cancel();
    ASSERT_TRUE(runMainUntil([&] { return cancelled.calls > 0; }, kLimit));
    EXPECT_TRUE(cancelled.error->is(SSOGeneralErrorDomain, SSOErrorCodeUserCancelled));
    // The redirect that arrives after the end is not taken, and nothing is called again.
    EXPECT_FALSE(flow->resumeAuthorizationFlowWithURL(redirect));
    RunLoop::main().runPending();
    EXPECT_EQ(cancelled.calls, 1);

    // A browser that cannot be started.
    StateOutcome broken = signIn(
        request(), std::make_shared<SSOExternalUserAgentLinux>(std::make_shared<BrokenBrowser>()));
    ASSERT_TRUE(broken.error);
    EXPECT_TRUE(broken.error->is(SSOGeneralErrorDomain, SSOErrorCodeBrowserUnavailable));
    EXPECT_EQ(broken.calls, 1);
}

}  // namespace
}  // namespace quarra
