#include <gtest/gtest.h>

#include <thread>

#include "SSOFixtures.h"
#include "sso/SSOAuthorizationResponse.h"
#include "sso/SSORegistrationResponse.h"
#include "sso/SSOTokenResponse.h"
#include "sso/SSOURLQueryComponent.h"

using namespace quarra;
using namespace std::chrono;

namespace {

SSOAuthorizationResponse authorizationResponse() {
    auto request = *SSOAuthorizationRequest::create(
        test::providerConfiguration(), "c1", "secret", std::vector<std::string>{"openid"},
        *Url::parse("com.example.app:/cb"), SSOResponseTypeCode, {{"prompt", "login"}});
    return SSOAuthorizationResponse(request, {{"code", "abc"},
                                              {"state", *request.state()},
                                              {"expires_in", 3600},
                                              {"session_state", {{"nested", {1, nullptr}}}}});
}

SSOTokenResponse tokenResponse() {
    return SSOTokenResponse(*authorizationResponse().tokenExchangeRequest({{"resource", "r"}}),
                            {{"access_token", "at"},
                             {"expires_in", 60},
                             {"id_token", "it"},
                             {"refresh_token", "rt"},
                             {"x_extra", 1.5}});
}

SSORegistrationResponse registrationResponse() {
    SSORegistrationRequest request(test::providerConfiguration(),
                                   {*Url::parse("app:/cb"), *Url::parse("https://h/cb")},
                                   std::vector<std::string>{"code"}, std::nullopt, "public",
                                   std::nullopt, {{"client_name", "Quarra"}});
    return *SSORegistrationResponse::create(request, {{"client_id", "c"},
                                                      {"client_id_issued_at", 1700000000},
                                                      {"client_secret", "s"},
                                                      {"client_secret_expires_at", 0},
                                                      {"registration_access_token", "t"},
                                                      {"registration_client_uri", "https://h/c"},
                                                      {"extra", {1, 2}}});
}

template <class T>
Result<std::shared_ptr<T>> restore(const Json& document) {
    return KeyedUnarchiver::unarchivedObject<T>(document, T::archiveClasses());
}

template <class T>
void expectRoundTrip(const T& original) {
    Json document = KeyedArchiver::archivedDocument(original);
    // Through text, as the archive is stored.
    auto restored = restore<T>(Json::parse(document.dump()));
    ASSERT_TRUE(restored) << restored.error()->description() << "\n" << document.dump(2);
    EXPECT_EQ(**restored, original) << document.dump(2);
}

}  // namespace

TEST(SSOArchiveTest, EveryMessageRestoresEqual) {
    SCOPED_TRACE("configuration");
    expectRoundTrip(test::providerConfiguration());
    expectRoundTrip(
        SSOServiceConfiguration(*Url::parse("https://a/auth"), *Url::parse("https://a/t")));
    expectRoundTrip(authorizationResponse().request());
    expectRoundTrip(authorizationResponse());
    expectRoundTrip(tokenResponse().request());
    expectRoundTrip(tokenResponse());
    expectRoundTrip(registrationResponse().request());
    expectRoundTrip(registrationResponse());
    expectRoundTrip(SSOTokenResponse(tokenResponse().request(), Json::object()));
}

TEST(SSOArchiveTest, RedirectsWithBytesThatAreNoTextStillArchive) {
    SSOAuthorizationResponse response(
        authorizationResponse().request(),
        SSOURLQueryComponent(*Url::parse("app:/cb?code=%FF&x%FE=%C3")).dictionaryValue());
    expectRoundTrip(response);
    EXPECT_EQ(response.authorizationCode(), "\xEF\xBF\xBD");
    EXPECT_NE(response.description().find("additionalParameters: {\"x\xEF\xBF\xBD\""),
              std::string::npos);
}

TEST(SSOArchiveTest, RestoredValuesAreTheArchivedOnesNotRecomputed) {
    auto original = tokenResponse();
    Json document = KeyedArchiver::archivedDocument(original);
    std::this_thread::sleep_for(milliseconds(5));
    auto restored = restore<SSOTokenResponse>(document).value();
    EXPECT_EQ(restored->accessTokenExpirationDate(), original.accessTokenExpirationDate());
    EXPECT_EQ(restored->request().clientSecret(), "secret");
    EXPECT_EQ(restored->request().configuration().discoveryDocument()->scopesSupported(),
              Json({"openid", "profile"}));
    EXPECT_EQ(restored->additionalParameters(), Json({{"x_extra", 1.5}}));

    // The response type is not read back: a restored request is a "code" request.
    Json request = KeyedArchiver::archivedDocument(authorizationResponse().request());
    request["$root"]["response_type"] = "token";
    EXPECT_EQ(restore<SSOAuthorizationRequest>(request).value()->responseType(), "code");
}

TEST(SSOArchiveTest, ArchivesWithValuesOfTheWrongTypeAreRefused) {
    const Json authorization = KeyedArchiver::archivedDocument(authorizationResponse());
    const Json token = KeyedArchiver::archivedDocument(tokenResponse());
    const Json registration = KeyedArchiver::archivedDocument(registrationResponse());
    struct Case {
        const Json* document;
        const char* pointer;
        Json value;  // null: the key is removed
    };
    const Case cases[] = {
        {&authorization, "/$root/code", 5},
        {&authorization, "/$root/expires_in", "tomorrow"},
        {&authorization, "/$root/expires_in", 1.5},
        {&authorization, "/$root/additionalParameters", "text"},
        {&authorization, "/$root/request", "request"},
        {&authorization, "/$root/request/$class", "SSOTokenRequest"},
        {&authorization, "/$root/request/client_id", Json::array()},
        {&authorization, "/$root/request/client_id", nullptr},
        {&authorization, "/$root/request/redirect_uri", "com.example.app:/cb"},
        {&authorization, "/$root/request/redirect_uri/string", "not a url"},
        {&authorization, "/$root/request/additionalParameters/value/prompt", 1},
        {&authorization, "/$root/request/configuration", nullptr},
        {&authorization, "/$root/request/configuration/tokenEndpoint", nullptr},
        {&authorization, "/$root/request/configuration/$class", "Unknown"},
        {&authorization, "/$root/request/configuration/discoveryDocument/discoveryDictionary",
         Json::array()},
        {&authorization,
         "/$root/request/configuration/discoveryDocument/discoveryDictionary/value/issuer",
         nullptr},
        {&token, "/$root/access_token", true},
        {&token, "/$root/request/grant_type", nullptr},
        {&token, "/$root/request/code_verifier", Json::object()},
        {&token, "/$root/request/additionalParameters/value", Json::array()},
        {&registration, "/$root/client_id_issued_at", "2023"},
        {&registration, "/$root/registration_client_uri", "https://h/c"},
        {&registration, "/$root/request/redirect_uris/value/0", "no url"},
        {&registration, "/$root/request/redirect_uris/value/1", 3},
        {&registration, "/$root/request/response_types", "code"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pointer) + " = " + c.value.dump());
        Json document = *c.document;
        Json::json_pointer pointer(c.pointer);
        ASSERT_TRUE(document.contains(pointer));
        if (c.value.is_null()) {
            document[pointer.parent_pointer()].erase(pointer.back());
        } else {
            document[pointer] = c.value;
        }
        ErrorPtr error;
        if (c.document == &authorization) {
            error = restore<SSOAuthorizationResponse>(document).error();
        } else if (c.document == &token) {
            error = restore<SSOTokenResponse>(document).error();
        } else {
            error = restore<SSORegistrationResponse>(document).error();
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), KeyedArchiveErrorDomain);
    }
}

TEST(SSOArchiveTest, OnlyTheMessageClassesMayAppearInAnArchive) {
    Json document = KeyedArchiver::archivedDocument(tokenResponse());
    ErrorPtr error = KeyedUnarchiver::unarchivedObject<SSOTokenResponse>(
                         document, {KeyedUnarchiver::allow<SSOTokenResponse>()})
                         .error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), KeyedArchiveClassNotAllowed);
    // The root must be the class asked for.
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject<SSOAuthorizationResponse>(
        document, SSOAuthorizationResponse::archiveClasses()));
}
