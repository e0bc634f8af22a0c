#include "auth/TVKQuarraAuthManager.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>

#include "auth/KeychainItemStore.h"
#include "quarra/TVKQuarraAuth.h"
#include "auth/TVKQuarraAuthInternal.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "platform/Keychain.h"
#include "platform/NetworkReachability.h"
#include "platform/UserDefaults.h"
#include "sso/SSOErrorUtilities.h"
#include "storage/crypt/KeychainItemStoreCrypt.h"
#include "support/FailingKeychainStore.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

extern char** environ;

namespace quarra {
namespace {

using test::Outcome;
using test::QuarraTestService;
using test::Reply;
using test::SignInTestBed;

TVKQuarraAuthManager& auth() {
    return TVKQuarraAuthManager::sharedInstance();
}

// --- Replies of the sign-in host and the Quarras, without a server

TEST(SignInReplies, PasswordSignInReplyTakesTheShapeOfAQuarraReply) {
    Json reply = {{"responseStatus", "SUCCESS"},
                  {"sessionid", "s"},
                  {"defaultUrl", "b.example.com"},
                  {"quarras",
                   {{{"quarraID", 1}, {"name", "A"}, {"dnsName", "a.example.com"}},
                    {{"quarraID", 5'000'000'001}, {"name", "B"}, {"dnsName", "b.example.com"}},
                    {{"quarraID", "6000000002"}, {"name", "B2"}, {"dnsName", "b.example.com"}},
                    {{"quarraID", "x"}, {"name", "broken"}, {"dnsName", "c.example.com"}}}}};
    Json converted = TVKQuarraAuthManager::authServerResponseToQuarraServerResponse(reply);
    EXPECT_EQ(converted["sessionId"], "s");
    EXPECT_EQ(converted["responseStatus"], "SUCCESS");
    // Two Quarras on the default host: the later one is current. Unusable ids are left out.
    EXPECT_EQ(converted["quarraId"], 6'000'000'002u);
    ASSERT_EQ(converted["quarraIds"].size(), 3u);
    EXPECT_EQ(converted["quarraIds"][1],
              Json({{"id", 5'000'000'001u}, {"name", "B"}, {"url", "b.example.com"}}));

    reply["defaultUrl"] = "elsewhere.example.com";
    EXPECT_FALSE(
        TVKQuarraAuthManager::authServerResponseToQuarraServerResponse(reply).contains("quarraId"));
    Json failure = {{"responseStatus", "FAILURE"}, {"errors", Json::array()}};
    EXPECT_EQ(TVKQuarraAuthManager::authServerResponseToQuarraServerResponse(failure), failure);
}

TEST(SignInReplies, DiscoveryNamesTheSignInMethod) {
    Json profile = {{"as_metadata", {{"issuer", "https://idp"}}}};
    Json noMetadata = {{"as_metadata", nullptr}};
    struct Case {
        Json data;
        long type;
        Json profile;
    } cases[] = {
        {{{"auth_type", "password"}, {"auth_profiles", {profile}}}, TVKAuthTypePassword, nullptr},
        {{{"auth_type", "sso"}, {"auth_profiles", {noMetadata, profile}}},
         TVKAuthTypeSingleSignOn,
         profile},
        {{{"auth_type", "sso"}, {"auth_profiles", {noMetadata}}}, TVKAuthTypeUnknown, nullptr},
        {{{"auth_type", "kerberos"}}, TVKAuthTypeUnknown, nullptr},
        {nullptr, TVKAuthTypeUnknown, nullptr},
    };
    for (const Case& c : cases) {
        Json reply = {{"data", c.data}};
        EXPECT_EQ(TVKQuarraAuthManager::authTypeFromResponse(reply), c.type) << reply;
        EXPECT_EQ(TVKQuarraAuthManager::oauthProfileFromResponse(reply), c.profile) << reply;
    }
}

TEST(SignInReplies, QuarraRepliesGiveTheSameUserWithIdsAsNumbersOrText) {
    Json quarraIds = {{{"id", 3}, {"name", "A"}, {"url", "a.example.com:8443"}},
                      {{"id", "5000000001"}, {"name", "B"}, {"url", "b.example.com"}}};
    std::pair<Json, Json> ids[] = {{5'000'000'001u, 9'000'000'007u}, {"5000000001", "9000000007"}};
    for (const auto& [quarraId, userId] : ids) {
        ASSERT_FALSE(auth().updateSessionInfo("carol", std::nullopt, false,
                                              {{"sessionId", "s"},
                                               {"quarraIds", quarraIds},
                                               {"quarraId", quarraId},
                                               {"userId", userId}}));
        auto user = auth().currentUser();
        EXPECT_EQ(user->currentQuarra()->Id(), 5'000'000'001u);
        EXPECT_EQ(user->userId(), 9'000'000'007u);
        ASSERT_EQ(user->quarras().size(), 2u);
        EXPECT_EQ(user->quarras()[0]->URL()->hostAndPort(), "a.example.com:8443");
    }
    ASSERT_FALSE(
        auth().updateSessionInfo("carol", std::nullopt, false,
                                 {{"sessionId", "s"}, {"quarraIds", quarraIds}, {"quarraId", 3}}));
    EXPECT_EQ(auth().currentUser()->userId(), 0u);
}

TEST(SignInReplies, ReplyWithoutUsableCurrentQuarraStoresNothing) {
    Json quarra = {{"id", 1}, {"name", "A"}, {"url", "a.example.com"}};
    Json replies[] = {
        {{"sessionId", "s"}, {"quarraIds", {quarra}}, {"quarraId", 2}},
        {{"sessionId", "s"}, {"quarraIds", Json::array()}},
        {{"sessionId", "s"}},
    };
    for (const Json& reply : replies) {
        Outcome outcome;
        auth().finalizeAuthorization(reply, nullptr, "dave", std::nullopt, false,
                                     outcome.userHandler());
        ASSERT_EQ(outcome.calls, 1) << reply;
        ASSERT_TRUE(outcome.error);
        EXPECT_TRUE(outcome.error->is(TVKQuarraErrorDomain, -13)) << reply;
        EXPECT_FALSE(outcome.user);
        EXPECT_FALSE(auth().currentUser());
        EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
        EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
    }

    // Without a current Quarra named, the first one is current.
    Outcome outcome;
    auth().finalizeAuthorization({{"sessionId", "s"}, {"quarraIds", {quarra}}}, nullptr, "dave",
                                 std::nullopt, false, outcome.userHandler());
    ASSERT_FALSE(outcome.error);
    EXPECT_EQ(outcome.user->currentQuarra()->Id(), 1u);
}

// --- Signing in against the test servers

class SignInTest : public ::testing::Test {
  protected:
    SignInTestBed bed;
};

TEST_F(SignInTest, PasswordSignInStoresTheSession) {
    auto user = bed.signIn();

    EXPECT_EQ(user, auth().currentUser());
    EXPECT_EQ(user->username(), "alice");
    EXPECT_EQ(user->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
    EXPECT_EQ(user->quarras().size(), 2u);
    EXPECT_EQ(KeychainItemStore::getUsername(), "alice");
    EXPECT_EQ(bed.service.sessionQuarra(**KeychainItemStore::getSessionId()),
              SignInTestBed::FirstQuarra);
    // No biometric opt-in: the password is not kept.
    EXPECT_EQ(KeychainItemStore::getPassword(), std::nullopt);
    auto archived = TVKQuarraConfigurationManager::sharedInstance().readUserForUsername("alice");
    ASSERT_TRUE(archived && *archived);
    EXPECT_TRUE((*archived)->isEqual(*user));
    EXPECT_TRUE(
        KeychainItemStoreCrypt::getFileEncryptionKeyForUsername("alice").valueOr(std::nullopt));
    EXPECT_TRUE(
        KeychainItemStoreCrypt::getEncryptedUsernameForUsername("alice").valueOr(std::nullopt));
    EXPECT_FALSE(auth().sessionIsInvalid());
    auto sent = bed.first.requests("/auth/api");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, "password=secret&username=alice");
}

TEST_F(SignInTest, IdsSentAsTextGiveTheSameUser) {
    bed.service.setIdsAsStrings(true);
    auto user = bed.signIn();
    EXPECT_EQ(user->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
    ASSERT_EQ(user->quarras().size(), 2u);
    EXPECT_EQ(user->quarras()[1]->Id(), SignInTestBed::SecondQuarra);

    Outcome outcome;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.user->userId(), SignInTestBed::AliceId);
    EXPECT_EQ(outcome.user->currentQuarra()->Id(), SignInTestBed::SecondQuarra);
}

TEST_F(SignInTest, PasswordIsKeptOnlyWithBiometricOptIn) {
    auto& defaults = UserDefaults::standard();
    defaults.setBool(true, auth().userDefaultsBiometricAuthenticationUserSelectedKey());
    bed.signIn();
    EXPECT_EQ(KeychainItemStore::getPassword(), "secret");

    // Refreshing signs in with the session; the kept password stays.
    Outcome refresh;
    auth().refreshUserWithHandler(refresh.userHandler());
    ASSERT_TRUE(refresh.wait());
    ASSERT_FALSE(refresh.error) << refresh.error->description();
    EXPECT_EQ(KeychainItemStore::getPassword(), "secret");

    // A sign-in that is not to keep the password deletes the one kept before.
    Outcome again;
    auth().loginToAuthServerWithUsername("alice", "secret", false, again.userHandler());
    ASSERT_TRUE(again.wait());
    ASSERT_FALSE(again.error);
    EXPECT_EQ(KeychainItemStore::getPassword(), std::nullopt);
}

TEST_F(SignInTest, WrongPasswordLeavesTheSignedInUser) {
    auto user = bed.signIn();
    auto session = *KeychainItemStore::getSessionId();
    Outcome outcome;
    auth().loginToAuthServerWithUsername("bob", "wrong", outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -1));
    EXPECT_FALSE(outcome.user);
    EXPECT_EQ(auth().currentUser(), user);
    EXPECT_EQ(*KeychainItemStore::getSessionId(), session);
    EXPECT_EQ(KeychainItemStore::getUsername(), "alice");
}

TEST_F(SignInTest, AuthenticationAsksForTheUserWhoCannotBeAskedYet) {
    // Nobody signed in.
    Outcome nobody;
    auth().authenticateWithHandler(nobody.userHandler());
    ASSERT_TRUE(nobody.wait());
    EXPECT_TRUE(nobody.error->is(TVKAuthorizationErrorDomain, -20));

    bed.signIn();
    Outcome password;
    auth().authenticateWithHandler(password.userHandler());
    ASSERT_TRUE(password.wait());
    EXPECT_TRUE(password.error->is(TVKAuthorizationErrorDomain, -20));
    EXPECT_EQ(bed.count("/auth/discovery"), 1u);

    bed.service.setSingleSignOnUser("alice");
    Outcome sso;
    auth().authenticateWithHandler(sso.userHandler());
    ASSERT_TRUE(sso.wait());
    // The profile's metadata lacks the required fields: single sign-on reports them.
    EXPECT_TRUE(sso.error->is(SSOGeneralErrorDomain, SSOErrorCodeInvalidMetadata));
    EXPECT_EQ(sso.user, auth().currentUser());
    EXPECT_EQ(sso.calls, 1);
}

// The second half of SignedInUserComesBackInANewProcess; skipped unless started by it.
TEST(SignInRestore, RestoredProcess) {
    const char* data = getenv("QUARRA_TEST_RESTORE_DATA");
    if (!data)
        GTEST_SKIP() << "runs only as the second process of a restore test";
    setenv("XDG_DATA_HOME", data, 1);
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();

    auto user = auth().currentUser();
    ASSERT_TRUE(user);
    EXPECT_EQ(user->username(), "alice");
    EXPECT_EQ(user->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
    EXPECT_EQ(user->sessionId(), getenv("QUARRA_TEST_RESTORE_SESSION"));
    // The restored session works at once, without signing in again.
    Outcome outcome;
    TVKQuarraManager::sharedInstance().requestQuarraEndpoint(
        "objects/users/me", user->currentQuarra(), TVKQuarraRequestMethodGET, {},
        TVKQuarraParameterEncodingFormURL, outcome.requestHandler());
    ASSERT_TRUE(outcome.wait());
    EXPECT_FALSE(outcome.error) << outcome.error->description();
}

TEST_F(SignInTest, SignedInUserComesBackInANewProcess) {
    bed.signIn();
    std::string data = getenv("XDG_DATA_HOME");
    std::string session = **KeychainItemStore::getSessionId();
    setenv("QUARRA_TEST_RESTORE_DATA", data.c_str(), 1);
    setenv("QUARRA_TEST_RESTORE_SESSION", session.c_str(), 1);
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=SignInRestore.RestoredProcess";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    unsetenv("QUARRA_TEST_RESTORE_DATA");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(bed.count("objects/users/me"), 1u);
    EXPECT_EQ(bed.count("auth"), 0u);
    EXPECT_EQ(bed.count("/auth/api"), 1u);
}

// --- Switching, checking, refreshing, logging out

TEST_F(SignInTest, SwitchingAnswersWithoutRequestWhenItCannot) {
    bed.signIn();
    Outcome noRetries;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 0, noRetries.userHandler());
    ASSERT_EQ(noRetries.calls, 1);
    EXPECT_TRUE(noRetries.error->is(TVKQuarraErrorDomain, -13));
    EXPECT_EQ(noRetries.error->userInfo()[TVKQuarraRequestedQuarraIDKey],
              SignInTestBed::SecondQuarra);

    Outcome notMember;
    auth().switchCurrentQuarra(std::make_shared<TVKQuarra>(99, "other", "127.0.0.1:1"), 3,
                               notMember.userHandler());
    ASSERT_EQ(notMember.calls, 1);
    EXPECT_TRUE(notMember.error->is(TVKAuthorizationErrorDomain, -3));

    // Not forced, to the current Quarra: answered at once.
    Outcome current;
    auth().loginToQuarraServer(bed.quarra(SignInTestBed::FirstQuarra), false,
                               current.userHandler());
    ASSERT_EQ(current.calls, 1);
    EXPECT_FALSE(current.error);
    EXPECT_EQ(bed.count("auth"), 0u);

    // Forced: the "auth" exchange always runs.
    Outcome forced;
    auth().loginToQuarraServer(bed.quarra(SignInTestBed::FirstQuarra), true, forced.userHandler());
    ASSERT_TRUE(forced.wait());
    EXPECT_FALSE(forced.error);
    EXPECT_EQ(bed.count("auth"), 1u);
}

TEST_F(SignInTest, SwitchingSignsInToTheOtherQuarra) {
    auto before = bed.signIn();
    auto oldSession = *KeychainItemStore::getSessionId();
    Outcome outcome;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.user->currentQuarra()->Id(), SignInTestBed::SecondQuarra);
    EXPECT_EQ(outcome.user->userId(), SignInTestBed::AliceId);
    EXPECT_NE(*KeychainItemStore::getSessionId(), oldSession);
    auto sent = bed.second.requests(bed.service.apiPath("auth"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].body, "password=" + *oldSession + "&username=alice");

    // The server signs in to another Quarra than asked: -13 at once, no retry.
    bed.service.setAuthMakesCurrent(SignInTestBed::SecondQuarra);
    Outcome elsewhere;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::FirstQuarra), 3, elsewhere.userHandler());
    ASSERT_TRUE(elsewhere.wait());
    EXPECT_TRUE(elsewhere.error->is(TVKQuarraErrorDomain, -13));
    EXPECT_EQ(bed.count("auth"), 2u);
}

TEST_F(SignInTest, RejectedSessionAsksTheUserAndSendsNoMoreSignIns) {
    bed.signIn();
    bed.service.expireSessions();
    Outcome outcome;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -20));
    EXPECT_TRUE(auth().sessionIsInvalid());
    EXPECT_EQ(bed.count("auth"), 1u);

    Outcome again;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, again.userHandler());
    ASSERT_TRUE(again.wait());
    EXPECT_TRUE(again.error->is(TVKAuthorizationErrorDomain, -20));
    EXPECT_EQ(bed.count("auth"), 1u);

    // A sign-in makes the session good again.
    bed.signIn();
    EXPECT_FALSE(auth().sessionIsInvalid());
}

TEST_F(SignInTest, NetworkFailureDuringTheQuarraSignInIsReportedAsSuch) {
    bed.signIn();
    Reply drop;
    drop.dropConnection = true;
    bed.second.reply(bed.service.apiPath("auth"), drop);
    Outcome outcome;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_NE(outcome.error->domain(), TVKAuthorizationErrorDomain);
    EXPECT_FALSE(auth().sessionIsInvalid());
    EXPECT_EQ(bed.count("/auth/discovery"), 0u);
    EXPECT_EQ(auth().currentUser()->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
}

TEST_F(SignInTest, MissingSessionLogsOutAndTellsTheCaller) {
    bed.signIn();
    TVKUserPtr loggedOut;
    auth().setLogoutHandler([&](const TVKUserPtr& user) { loggedOut = user; });
    KeychainItemStore item(KeychainItemStore::sessionIdentifier());
    EXPECT_EQ(item.resetKeychainItem(), nullptr);

    Outcome outcome;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, outcome.userHandler());
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.error->is(TVKAuthorizationErrorDomain, -20));
    ASSERT_TRUE(loggedOut);
    EXPECT_EQ(loggedOut->username(), "alice");
    EXPECT_FALSE(auth().currentUser());
    EXPECT_EQ(bed.count("auth"), 0u);
}

using FailingStore = test::FailingKeychainStore;

TEST_F(SignInTest, KeychainThatRefusesTheSessionFailsTheSignInAndStoresNothing) {
    auto store = std::make_shared<FailingStore>(Keychain::standard().store());
    Keychain::standard().setStore(store);
    store->failing = FailingStore::Writes;

    Outcome outcome;
    auth().loginToAuthServerWithUsername("alice", "secret", outcome.userHandler());
    ASSERT_TRUE(outcome.wait());
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain(), KeychainErrorDomain);
    EXPECT_FALSE(outcome.user);
    EXPECT_FALSE(auth().currentUser());
    store->failing = FailingStore::None;
    EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
    EXPECT_EQ(TVKQuarraConfigurationManager::sharedInstance().readUserForUsername("alice"),
              nullptr);
}

TEST_F(SignInTest, UnreadableKeychainIsAnErrorNeverALogoutOrAnEmptySecret) {
    auto user = bed.signIn();
    auto store = std::make_shared<FailingStore>(Keychain::standard().store());
    Keychain::standard().setStore(store);
    bool loggedOut = false;
    auth().setLogoutHandler([&](const TVKUserPtr&) { loggedOut = true; });
    const size_t signIns = bed.count("auth");
    store->failing = FailingStore::Everything;

    Outcome switched;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, switched.userHandler());
    ASSERT_TRUE(switched.wait());
    ASSERT_TRUE(switched.error);
    EXPECT_EQ(switched.error->domain(), KeychainErrorDomain);

    Outcome refreshed;
    auth().refreshUserWithHandler(refreshed.userHandler());
    ASSERT_TRUE(refreshed.wait());
    ASSERT_TRUE(refreshed.error);
    EXPECT_EQ(refreshed.error->domain(), KeychainErrorDomain);

    EXPECT_FALSE(loggedOut);
    EXPECT_EQ(auth().currentUser(), user);
    EXPECT_EQ(bed.count("auth"), signIns);  // nothing sent with an empty session

    store->failing = FailingStore::None;
    Outcome again;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, again.userHandler());
    ASSERT_TRUE(again.wait());
    EXPECT_FALSE(again.error);
}

TEST_F(SignInTest, RemoteCheckTellsALiveFromARejectedSession) {
    Outcome nobody;
    bool checked = false;
    auth().isRemotelyAuthenticatedWithHandler(
        [&](bool authenticated, const TVKUserInternalPtr& user, const ErrorPtr& error) {
            checked = true;
            EXPECT_FALSE(authenticated || user || error);
        });
    EXPECT_TRUE(checked);

    auto user = bed.signIn();
    struct Answer {
        bool done = false, authenticated = false;
        TVKUserInternalPtr user;
        ErrorPtr error;
    };
    auto check = [] {
        Answer answer;
        auth().isRemotelyAuthenticatedWithHandler(
            [&](bool authenticated, const TVKUserInternalPtr& u, const ErrorPtr& e) {
                answer = {true, authenticated, u, e};
            });
        EXPECT_TRUE(runMainUntil([&] { return answer.done; }));
        return answer;
    };
    Answer live = check();
    EXPECT_TRUE(live.authenticated);
    EXPECT_EQ(live.user, user);
    auto sent = bed.first.requests(bed.service.apiPath("objects/users/me"));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query, "exclude_app_licensing=true&exclude_quarra_membership=true");

    bed.service.expireSessions();
    Answer rejected = check();
    EXPECT_FALSE(rejected.authenticated);
    EXPECT_EQ(rejected.user, user);
    EXPECT_FALSE(rejected.error);

    bed.first.reply(bed.service.apiPath("objects/users/me"),
                    QuarraTestService::failure("DOWN_FOR_MAINTENANCE", "later"));
    Answer failed = check();
    EXPECT_FALSE(failed.authenticated);
    ASSERT_TRUE(failed.error);
    EXPECT_TRUE(failed.error->is(TVKQuarraErrorDomain, -5));
}

TEST_F(SignInTest, RefreshGetsAFreshSessionOnTheDefaultQuarra) {
    Outcome nobody;
    auth().refreshUserWithHandler(nobody.userHandler());
    ASSERT_EQ(nobody.calls, 1);
    EXPECT_TRUE(nobody.error->is(TVKAuthorizationErrorDomain, -20));

    bed.signIn();
    Outcome toSecond;
    auth().switchCurrentQuarra(bed.quarra(SignInTestBed::SecondQuarra), 3, toSecond.userHandler());
    ASSERT_TRUE(toSecond.wait());
    auto session = *KeychainItemStore::getSessionId();

    Outcome refresh;
    auth().refreshUserWithHandler(refresh.userHandler());
    ASSERT_TRUE(refresh.wait());
    ASSERT_FALSE(refresh.error) << refresh.error->description();
    EXPECT_EQ(refresh.user->currentQuarra()->Id(), SignInTestBed::FirstQuarra);
    EXPECT_NE(*KeychainItemStore::getSessionId(), session);
    auto sent = bed.first.requests("/auth/api");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].body, "password=" + *session + "&username=alice");

    // A session the server no longer takes: the user has to sign in.
    bed.service.expireSessions();
    Outcome expired;
    auth().refreshUserWithHandler(expired.userHandler());
    ASSERT_TRUE(expired.wait());
    EXPECT_TRUE(expired.error->is(TVKAuthorizationErrorDomain, -20));
    EXPECT_EQ(bed.count("/auth/api"), 2u);
}

TEST_F(SignInTest, LogoutClearsTheSessionAndKeepsTheUsersOwnData) {
    auto user = bed.signIn();
    EXPECT_EQ(KeychainItemStore::setPasscode("1234", "alice"), nullptr);
    auth().updateLastAttemptedLoginUsername("alice");
    int calls = 0;
    auth().setLogoutHandler([&](const TVKUserPtr& signedOut) {
        ++calls;
        EXPECT_EQ(signedOut, user);
        // A nested logout does nothing.
        EXPECT_EQ(auth().logout(), nullptr);
    });

    EXPECT_EQ(TVKQuarraAuth::sharedInstance().logout(), nullptr);
    EXPECT_EQ(TVKQuarraAuth::sharedInstance().logout(), nullptr);

    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(TVKQuarraAuth::sharedInstance().currentUser());
    EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
    EXPECT_EQ(TVKQuarraConfigurationManager::sharedInstance().readUserForUsername("alice"),
              nullptr);
    EXPECT_EQ(KeychainItemStore::getPasscodeForUsername("alice"), "1234");
    EXPECT_EQ(auth().lastAttemptedLoginUsername(), "alice");
    EXPECT_TRUE(
        KeychainItemStoreCrypt::getFileEncryptionKeyForUsername("alice").valueOr(std::nullopt));
    EXPECT_TRUE(
        KeychainItemStoreCrypt::getEncryptedUsernameForUsername("alice").valueOr(std::nullopt));
    bed.signIn();

    // Requests still work after the managers were rebuilt.
    Outcome after;
    TVKQuarraManager::sharedInstance().requestQuarraEndpoint(
        "objects/users/me", bed.quarra(SignInTestBed::FirstQuarra), TVKQuarraRequestMethodGET, {},
        TVKQuarraParameterEncodingFormURL, after.requestHandler());
    ASSERT_TRUE(after.wait());
    EXPECT_FALSE(after.error);
}

TEST_F(SignInTest, LogoutWithAnUnreadableKeychainReportsWhatStaysAndIsFinishedLater) {
    UserDefaults::standard().setBool(true,
                                     auth().userDefaultsBiometricAuthenticationUserSelectedKey());
    bed.signIn();
    ASSERT_EQ(KeychainItemStore::getPassword(), SignInTestBed::AlicePassword);
    auto store = std::make_shared<FailingStore>(Keychain::standard().store());
    Keychain::standard().setStore(store);
    int calls = 0;
    auth().setLogoutHandler([&](const TVKUserPtr&) { ++calls; });

    store->failing = FailingStore::Everything;
    EXPECT_TRUE(isKeychainError(TVKQuarraAuth::sharedInstance().logout(), KeychainReadFailedError));
    // Signed out of this process, and what does not need the keychain is gone.
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(auth().currentUser());
    EXPECT_EQ(TVKQuarraConfigurationManager::sharedInstance().readUserForUsername("alice"),
              nullptr);

    store->failing = FailingStore::None;
    EXPECT_EQ(KeychainItemStore::getPassword(), SignInTestBed::AlicePassword);
    EXPECT_TRUE(KeychainItemStore::getSessionId().valueOr(std::nullopt));
    EXPECT_EQ(TVKQuarraAuth::sharedInstance().logout(), nullptr);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(KeychainItemStore::getUsername(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getPassword(), std::nullopt);
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);
}

TEST_F(SignInTest, InvalidatedSessionIsRejectedByTheServer) {
    // Signed out: nothing changes.
    auth().invalidateSession();
    EXPECT_EQ(KeychainItemStore::getSessionId(), std::nullopt);

    bed.signIn();
    TVKQuarraAuthInternal::sharedInstance().invalidateSession();
    EXPECT_EQ(KeychainItemStore::getSessionId(), "5038271946");
    Outcome outcome;
    auth().isRemotelyAuthenticatedWithHandler(
        [&](bool authenticated, const TVKUserInternalPtr&, const ErrorPtr& error) {
            outcome.calls++;
            EXPECT_FALSE(authenticated);
            EXPECT_FALSE(error);
        });
    ASSERT_TRUE(outcome.wait());
}

TEST_F(SignInTest, InternalFacadeChangesTheSignInHost) {
    auto& internal = TVKQuarraAuthInternal::sharedInstance();
    bed.service.serveSignInHost(bed.second);
    internal.setAuthDNS("127.0.0.1:" + std::to_string(bed.second.port()));
    EXPECT_EQ(internal.authDNS(), auth().authDNS());

    Outcome outcome;
    internal.authenticateWithUsername(
        "alice", "secret", [&](const TVKUserPtr& user, const ErrorPtr& error) {
            outcome.calls++;
            outcome.error = error;
            EXPECT_EQ(user, TVKQuarraAuth::sharedInstance().currentUser());
        });
    ASSERT_TRUE(outcome.wait());
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(bed.second.requests("/auth/api").size(), 1u);
    EXPECT_EQ(bed.first.requests("/auth/api").size(), 0u);
    auto found = internal.quarraWithId(SignInTestBed::SecondQuarra);
    ASSERT_TRUE(found);
    EXPECT_EQ((*found)->Id(), SignInTestBed::SecondQuarra);
    auto missing = internal.quarraWithId(1);
    ASSERT_FALSE(missing);
    EXPECT_TRUE(missing.error()->is(TVKAuthorizationErrorDomain,
                                    TVKAuthorizationInsufficientAccessErrorCode));
}

}  // namespace
}  // namespace quarra
