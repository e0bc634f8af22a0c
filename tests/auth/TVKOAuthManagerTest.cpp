// The SDK's single sign-on end to end: discovery answers single sign-on, the OpenID test provider
// signs the user in through the desktop agent (its browser played by the test driver, its redirect
// taken on the loopback listener), the test Quarra server checks the ID token's signature against
// the provider's keys and hands out a session, and the user and the stored state come back after a
// restart.
#include "auth/TVKOAuthManager.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "quarra/Browser.h"
#include "quarra/Bundle.h"
#include "quarra/TVKErrors.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "sso/SSOAuthorizationService.h"
#include "sso/SSOErrorUtilities.h"
#include "support/OpenIDTestProvider.h"
#include "support/ProviderTestDriver.h"
#include "support/SignInTestBed.h"

extern char** environ;

namespace quarra {
namespace {

using test::OpenIDTestProvider;
using test::Outcome;
using test::ProviderTestBrowser;
using test::SignInTestBed;

constexpr auto kLimit = std::chrono::seconds(120);

TVKQuarraAuthManager& authManager() {
    return TVKQuarraAuthManager::sharedInstance();
}
TVKOAuthManager& oauth() {
    return TVKOAuthManager::sharedInstance();
}

// The host names its OAuth client before the SDK starts.
struct OAuthHost {
    explicit OAuthHost(const char* redirect = OpenIDTestProvider::LoopbackRedirect) {
        Bundle::setMainBundle("com.tovik.quarra.ssotest",
                              {{"com.tovik.oauth.client_id", OpenIDTestProvider::NativeClient},
                               {"com.tovik.oauth.redirect_uri", redirect}});
    }
};

// Every log line the SDK writes.
class KeepingLogger : public LDAbstractLogger {
  public:
    KeepingLogger() : LDAbstractLogger("test.keeping") {}
    void logMessage(const LDLogMessagePtr& message) override {
        std::lock_guard lock(mutex_);
        text_ += message->message() + "\n";
    }
    std::string text() {
        LDLog::sharedInstance().flushLog();
        std::lock_guard lock(mutex_);
        return text_;
    }

  private:
    std::mutex mutex_;
    std::string text_;
};

struct SilentBrowser : Browser {
    bool openURL(const Url&) override { return true; }
};

class SingleSignOnTest : public testing::Test {
  protected:
    void SetUp() override {
        bed.service.serveSessionExchange(bed.first, provider.issuer());
        profile = {{"as_metadata", provider.metadata()},
                   {"quarra_session_endpoint", bed.first.url("/oauth/session").string()}};
        bed.service.setSingleSignOnProfile("alice", profile);
        Browser::setShared(browser);
        LDLog::sharedInstance().addLogger(logger);
    }
    void TearDown() override { Browser::setShared(nullptr); }

    Outcome signIn(const std::string& username = "alice") {
        Outcome outcome;
        authManager().authorizeOAuthUser(username, profile, outcome.userHandler());
        EXPECT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
        return outcome;
    }

    OAuthHost host;
    OpenIDTestProvider provider;
    SignInTestBed bed;
    Json profile;
    std::shared_ptr<ProviderTestBrowser> browser = std::make_shared<ProviderTestBrowser>();
    std::shared_ptr<KeepingLogger> logger = std::make_shared<KeepingLogger>();
};

// The secrets a state holds and was made from.
std::vector<std::string> secretsOf(const SSOAuthState& state) {
    std::vector<std::string> secrets;
    for (const auto& secret : {state.accessToken(), state.idToken(), state.refreshToken(),
                               state.lastAuthorizationResponse()->authorizationCode(),
                               state.lastAuthorizationResponse()->request().codeVerifier()}) {
        if (secret)
            secrets.push_back(*secret);
    }
    return secrets;
}

TEST_F(SingleSignOnTest, UserSignsInThroughTheProviderAndAStoredStateSkipsTheBrowser) {
    Outcome discovery;
    long type = 0;
    Json found;
    authManager().checkAuthTypeForUsername("alice", [&](long t, const Json& p, const ErrorPtr& e) {
        type = t;
        found = p;
        discovery.error = e;
        ++discovery.calls;
    });
    ASSERT_TRUE(discovery.wait());
    ASSERT_EQ(type, TVKAuthTypeSingleSignOn);

    Outcome first;
    authManager().authorizeOAuthUser("alice", found, first.userHandler());
    ASSERT_TRUE(runMainUntil([&] { return first.calls > 0; }, kLimit));
    ASSERT_FALSE(first.error) << first.error->description();
    ASSERT_TRUE(first.user);
    EXPECT_EQ(first.user, authManager().currentUser());
    EXPECT_EQ(first.user->username(), "alice");
    EXPECT_EQ(first.user->userId(), SignInTestBed::AliceId);
    EXPECT_EQ(first.user->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
    EXPECT_TRUE(bed.service.sessionQuarra(*first.user->sessionId()));
    EXPECT_EQ(bed.service.exchangedSessions(), 1);
    EXPECT_EQ(browser->opened(), 1);
    // Kept for alice, marked so that the next sign-in refreshes first.
    ASSERT_TRUE(oauth().authState());
    EXPECT_TRUE(oauth().authState()->needsTokenRefresh());
    EXPECT_EQ(oauth().authStateUsername(), "alice");
    EXPECT_TRUE(KeychainItemStore::getOAuthState().valueOr(std::nullopt));
    // The ID token went to the server, which checked its signature.
    const std::string bearer = bed.first.requests("/oauth/session").front().header("Authorization");
    EXPECT_EQ(bearer, "Bearer " + *oauth().authState()->idToken());

    const auto firstSession = first.user->sessionId();
    std::vector<std::string> secrets = secretsOf(*oauth().authState());
    ASSERT_EQ(secrets.size(), 5u);
    Outcome second = signIn();
    ASSERT_FALSE(second.error) << second.error->description();
    EXPECT_EQ(browser->opened(), 1);
    EXPECT_EQ(bed.service.exchangedSessions(), 2);
    EXPECT_NE(second.user->sessionId(), firstSession);

    // The flow and the exchanges were logged, and no code, verifier or token with them.
    for (const std::string& secret : secretsOf(*oauth().authState()))
        secrets.push_back(secret);
    const std::string log = logger->text();
    EXPECT_NE(log.find("OAUTH Exchanging idToken"), std::string::npos);
    EXPECT_NE(log.find("OAUTH Received URL"), std::string::npos);
    for (const std::string& secret : secrets)
        EXPECT_EQ(log.find(secret), std::string::npos) << "a secret in the log";
}

// The second half of SignedInUserAndStateComeBackInANewProcess; skipped unless started by it.
TEST(SingleSignOnRestore, RestoredProcess) {
    const char* data = getenv("QUARRA_TEST_SSO_RESTORE_DATA");
    if (!data)
        GTEST_SKIP() << "runs only as the second process of a restore test";
    OAuthHost host;
    setenv("XDG_DATA_HOME", data, 1);
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    auto user = authManager().currentUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->username(), "alice");
    ASSERT_TRUE(oauth().authState());
    EXPECT_EQ(oauth().authStateUsername(), "alice");
    EXPECT_TRUE(oauth().authState()->needsTokenRefresh());
    EXPECT_TRUE(oauth().authState()->refreshToken());
}

TEST_F(SingleSignOnTest, SignedInUserAndStateComeBackInANewProcess) {
    Outcome outcome = signIn();
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    std::string data = getenv("XDG_DATA_HOME");
    setenv("QUARRA_TEST_SSO_RESTORE_DATA", data.c_str(), 1);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=SingleSignOnRestore.RestoredProcess";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    unsetenv("QUARRA_TEST_SSO_RESTORE_DATA");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SingleSignOnTest, AnotherUserNeverReusesTheStoredState) {
    ASSERT_FALSE(signIn().error);
    auto bobBrowser = std::make_shared<ProviderTestBrowser>(
        test::ProviderTestDriver::Options{.login = "bob", .password = "x", .deny = false});
    Browser::setShared(bobBrowser);
    Outcome bob = signIn("bob");
    ASSERT_FALSE(bob.error) << bob.error->description();
    EXPECT_EQ(bobBrowser->opened(), 1);
    EXPECT_EQ(bob.user->username(), "bob");
    EXPECT_EQ(bob.user->currentQuarra()->Id(), SignInTestBed::SecondQuarra);
    EXPECT_EQ(oauth().authStateUsername(), "bob");
}

TEST_F(SingleSignOnTest, ExpiredTokenAnswersAreResentTwiceAfterARefreshThenClearTheState) {
    bed.service.expireExchangeTokens(3);
    Outcome outcome = signIn();
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -16));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(bed.first.requests("/oauth/session").size(), 3u);
    EXPECT_FALSE(oauth().authState());
    EXPECT_EQ(KeychainItemStore::getOAuthState(), std::nullopt);
    EXPECT_FALSE(authManager().currentUser());

    // Once the server takes the token again, the next sign-in goes through the browser anew.
    Outcome again = signIn();
    ASSERT_FALSE(again.error) << again.error->description();
    EXPECT_EQ(browser->opened(), 2);
}

TEST_F(SingleSignOnTest, UnusableProfilesAndCancelsEndTheSignInOnce) {
    // Metadata without its required fields: the handler hears of it before the call returns.
    Outcome missing;
    Json broken = profile;
    broken["as_metadata"].erase("jwks_uri");
    authManager().authorizeOAuthUser("alice", broken, missing.userHandler());
    ASSERT_EQ(missing.calls, 1);
    EXPECT_TRUE(missing.error->is(SSOGeneralErrorDomain, SSOErrorCodeInvalidMetadata));

    // The person closes the browser step.
    Browser::setShared(std::make_shared<SilentBrowser>());
    EXPECT_FALSE(authManager().resumeOAuthFlowWithURL(*Url::parse("http://127.0.0.1/callback")));
    Outcome cancelled;
    authManager().authorizeOAuthUser("alice", profile, cancelled.userHandler());
    auto flow = oauth().currentAuthorizationFlow();
    ASSERT_TRUE(flow);
    flow->cancel();
    ASSERT_TRUE(runMainUntil([&] { return cancelled.calls > 0; }, kLimit));
    ASSERT_TRUE(cancelled.error);
    EXPECT_TRUE(cancelled.error->is(TVKAuthorizationErrorDomain, -5));
    EXPECT_TRUE(
        cancelled.error->underlyingError()->is(SSOGeneralErrorDomain, SSOErrorCodeUserCancelled));
    RunLoop::main().runPending();
    EXPECT_EQ(cancelled.calls, 1);
}

TEST(SingleSignOnHost, RegisteredSchemesAreFoundIgnoringLetterCase) {
    Bundle::setMainBundle(
        "com.tovik.quarra.ssotest",
        {{"CFBundleURLTypes",
          {{{"CFBundleURLSchemes", {"com.example.Notes"}}}, {{"CFBundleURLName", "x"}}}}});
    EXPECT_TRUE(TVKOAuthManager::appBundleHasURIScheme("com.example.notes"));
    EXPECT_FALSE(TVKOAuthManager::appBundleHasURIScheme("com.example.note"));
    EXPECT_FALSE(TVKOAuthManager::appBundleHasURIScheme(""));
}

TEST(SingleSignOnState, CorruptStoredStateIsDeleted) {
    OAuthHost host;
    ASSERT_EQ(KeychainItemStore::setOAuthState(toBytes(std::string("{not an archive"))), nullptr);
    ASSERT_TRUE(KeychainItemStore::getOAuthState().valueOr(std::nullopt));
    EXPECT_FALSE(oauth().authState());
    EXPECT_EQ(KeychainItemStore::getOAuthState(), std::nullopt);
}

TEST(SingleSignOnScheme, RedirectOnTheHostsSchemeArrivesThroughOpenURL) {
    OAuthHost host(OpenIDTestProvider::SchemeRedirect);
    OpenIDTestProvider provider;
    SignInTestBed bed;
    bed.service.serveSessionExchange(bed.first, provider.issuer());
    Json profile = {{"as_metadata", provider.metadata()},
                    {"quarra_session_endpoint", bed.first.url("/oauth/session").string()}};
    int taken = 0;
    Browser::setShared(std::make_shared<ProviderTestBrowser>(
        test::ProviderTestDriver::Options{}, [&](const Url& redirect) {
            taken += TVKSDKApplicationDelegate::sharedInstance().openURL(redirect) ? 1 : 0;
            // The same URL again finds no flow waiting.
            EXPECT_FALSE(TVKSDKApplicationDelegate::sharedInstance().openURL(redirect));
        }));
    Outcome outcome;
    authManager().authorizeOAuthUser("alice", profile, outcome.userHandler());
    ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
    Browser::setShared(nullptr);
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(outcome.user->username(), "alice");
}

}  // namespace
}  // namespace quarra

namespace quarra {
namespace {

TEST_F(SingleSignOnTest, RefusedRefreshTokenStartsTheBrowserSignInAgain) {
    ASSERT_FALSE(signIn().error);
    // Someone else uses the stored refresh token up (the provider rotates it).
    auto state = oauth().authState();
    std::shared_ptr<SSOTokenResponse> rotated;
    SSOAuthorizationService::performTokenRequest(
        state->tokenRefreshRequest(),
        [&](const std::shared_ptr<SSOTokenResponse>& r, const ErrorPtr&) { rotated = r; });
    ASSERT_TRUE(runMainUntil([&] { return rotated != nullptr; }, kLimit));

    Outcome again = signIn();
    ASSERT_FALSE(again.error) << again.error->description();
    EXPECT_EQ(again.calls, 1);
    EXPECT_EQ(browser->opened(), 2);
    EXPECT_NE(oauth().authState(), state);
    EXPECT_EQ(authManager().currentUser()->username(), "alice");
}

// Whether something listens on 127.0.0.1:`port`.
bool listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// The port the waiting flow's listener took.
int listenerPort() {
    auto flow = std::dynamic_pointer_cast<SSOAuthorizationFlowSessionImplementation>(
        oauth().currentAuthorizationFlow());
    return flow ? flow->request().redirectURL()->port().value_or(0) : 0;
}

TEST_F(SingleSignOnTest, ABrowserThatNeverReturnsEndsAtTheTimeLimitOrTheHostsCancel) {
    Browser::setShared(std::make_shared<SilentBrowser>());
    struct Case {
        const char* name;
        std::chrono::milliseconds limit;
        long underlyingCode;
    };
    const Case cases[] = {
        {"time limit", std::chrono::milliseconds(1), SSOErrorCodeBrowserClosed},
        {"host's cancel", std::chrono::hours(1), SSOErrorCodeUserCancelled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(TVKQuarraAuth::sharedInstance().setSignInTimeLimit(c.limit), nullptr);
        Outcome outcome;
        authManager().authorizeOAuthUser("alice", profile, outcome.userHandler());
        const int port = listenerPort();
        ASSERT_NE(port, 0);
        EXPECT_TRUE(listening(port));
        if (c.underlyingCode == SSOErrorCodeUserCancelled)
            TVKQuarraAuth::sharedInstance().cancelSignIn();
        ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, kLimit));
        RunLoop::main().runPending();
        EXPECT_EQ(outcome.calls, 1);
        ASSERT_TRUE(outcome.error);
        EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -5));
        EXPECT_TRUE(outcome.error->underlyingError()->is(SSOGeneralErrorDomain, c.underlyingCode));
        EXPECT_FALSE(oauth().currentAuthorizationFlow());
        EXPECT_FALSE(listening(port));
    }
}

TEST(SingleSignOnTimeLimit, OnlyAPositiveLimitIsTaken) {
    TVKQuarraAuth& auth = TVKQuarraAuth::sharedInstance();
    ASSERT_EQ(auth.setSignInTimeLimit(std::chrono::minutes(2)), nullptr);
    for (auto refused : {std::chrono::milliseconds(0), std::chrono::milliseconds(-1),
                         std::chrono::milliseconds(std::chrono::milliseconds::min())}) {
        SCOPED_TRACE(refused.count());
        ErrorPtr error = auth.setSignInTimeLimit(refused);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(TVKAuthorizationErrorDomain, -6));
        EXPECT_EQ(oauth().authorizationTimeLimit(), std::chrono::minutes(2));
    }
    ASSERT_EQ(auth.setSignInTimeLimit(std::chrono::milliseconds(1)), nullptr);
    EXPECT_EQ(oauth().authorizationTimeLimit(), std::chrono::milliseconds(1));
    ASSERT_EQ(auth.setSignInTimeLimit(std::chrono::minutes(5)), nullptr);
}

TEST_F(SingleSignOnTest, ANewBrowserStepEndsTheOneBefore) {
    Browser::setShared(std::make_shared<SilentBrowser>());
    Outcome alice, bob;
    authManager().authorizeOAuthUser("alice", profile, alice.userHandler());
    auto first = oauth().currentAuthorizationFlow();
    const int firstPort = listenerPort();
    authManager().authorizeOAuthUser("bob", profile, bob.userHandler());
    ASSERT_TRUE(runMainUntil([&] { return alice.calls > 0; }, kLimit));
    ASSERT_TRUE(alice.error);
    EXPECT_TRUE(alice.error->is(TVKAuthorizationErrorDomain, -5));
    EXPECT_FALSE(listening(firstPort));
    auto second = oauth().currentAuthorizationFlow();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(bob.calls, 0);

    TVKQuarraAuth::sharedInstance().cancelSignIn();
    ASSERT_TRUE(runMainUntil([&] { return bob.calls > 0; }, kLimit));
    RunLoop::main().runPending();
    EXPECT_EQ(alice.calls, 1);
    EXPECT_EQ(bob.calls, 1);
    EXPECT_TRUE(bob.error->is(TVKAuthorizationErrorDomain, -5));
}

TEST_F(SingleSignOnTest, ConcurrentReauthenticationsOfOneUserShareOneBrowserStep) {
    ASSERT_FALSE(signIn().error);
    // No stored tokens: the next sign-in needs the browser.
    oauth().clearAuthState();
    Outcome callers[3];
    for (Outcome& caller : callers)
        authManager().authenticateWithHandler(caller.userHandler());
    ASSERT_TRUE(runMainUntil(
        [&] {
            return std::all_of(std::begin(callers), std::end(callers),
                               [](const Outcome& o) { return o.calls > 0; });
        },
        kLimit));
    RunLoop::main().runPending();
    for (const Outcome& caller : callers) {
        EXPECT_EQ(caller.calls, 1);
        EXPECT_FALSE(caller.error) << caller.error->description();
        EXPECT_EQ(caller.user, authManager().currentUser());
    }
    EXPECT_EQ(browser->opened(), 2);
    EXPECT_EQ(bed.service.exchangedSessions(), 2);
}

}  // namespace
}  // namespace quarra
