#include <gtest/gtest.h>

#include "SSOFixtures.h"
#include "sso/SSOAuthorizationResponse.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSORegistrationResponse.h"
#include "sso/SSOTokenResponse.h"
#include "sso/SSOURLQueryComponent.h"

using namespace quarra;
using namespace std::chrono;

namespace {

SSOAuthorizationRequest authorizationRequest(std::optional<std::string> secret = std::nullopt) {
    return *SSOAuthorizationRequest::create(test::providerConfiguration(), "c1", std::move(secret),
                                            std::vector<std::string>{"openid"},
                                            *Url::parse("app:/cb"), SSOResponseTypeCode);
}

SSOAuthorizationResponse redirect(const char* url) {
    return SSOAuthorizationResponse(authorizationRequest(),
                                    SSOURLQueryComponent(*Url::parse(url)).dictionaryValue());
}

SSORegistrationRequest registrationRequest() {
    return SSORegistrationRequest(test::providerConfiguration(),
                                  {*Url::parse("app:/cb"), *Url::parse("https://h/cb?x=1")},
                                  std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
}

}  // namespace

TEST(SSOResponseTest, RedirectParametersFillTheAuthorizationResponse) {
    auto response = redirect("app:/cb?code=abc&state=xyz&session_state=s1");
    EXPECT_EQ(response.authorizationCode(), "abc");
    EXPECT_EQ(response.state(), "xyz");
    EXPECT_EQ(response.additionalParameters(), Json({{"session_state", "s1"}}));

    // On a redirect every value is text: "expires_in" fails the date type, a repeated name is a
    // list.
    auto odd = redirect("app:/cb?expires_in=3600&state=a&state=b&code=c&token_type=Bearer");
    EXPECT_FALSE(odd.accessTokenExpirationDate());
    EXPECT_FALSE(odd.state());
    EXPECT_EQ(odd.tokenType(), "Bearer");
    EXPECT_EQ(odd.additionalParameters(), Json({{"expires_in", "3600"}, {"state", {"a", "b"}}}));

    auto before = floor<microseconds>(system_clock::now());
    SSOAuthorizationResponse numeric(authorizationRequest(), {{"expires_in", 3600}});
    ASSERT_TRUE(numeric.accessTokenExpirationDate());
    EXPECT_GE(*numeric.accessTokenExpirationDate(), before + hours(1));
    EXPECT_LE(*numeric.accessTokenExpirationDate(), system_clock::now() + hours(1));
}

TEST(SSOResponseTest, CodeExchangeTakesTheRequestsClientAndVerifier) {
    auto response = redirect("app:/cb?code=abc&state=xyz");
    auto exchange = response.tokenExchangeRequest({{"resource", "r"}});
    ASSERT_TRUE(exchange) << exchange.error()->description();
    EXPECT_EQ(exchange->grantType(), "authorization_code");
    EXPECT_EQ(exchange->authorizationCode(), "abc");
    EXPECT_EQ(exchange->redirectURL(), Url::parse("app:/cb"));
    EXPECT_EQ(exchange->clientID(), "c1");
    EXPECT_FALSE(exchange->clientSecret());
    EXPECT_FALSE(exchange->scope());
    EXPECT_FALSE(exchange->refreshToken());
    EXPECT_EQ(exchange->codeVerifier(), response.request().codeVerifier());
    EXPECT_EQ(exchange->additionalParameters().at("resource"), "r");
    EXPECT_EQ(exchange->configuration(), response.request().configuration());

    auto withSecret = SSOAuthorizationResponse(authorizationRequest("s"), {{"code", "abc"}});
    EXPECT_EQ(withSecret.tokenExchangeRequest()->clientSecret(), "s");
}

TEST(SSOResponseTest, CodeExchangeWithoutACodeIsAnErrorNotACrash) {
    for (const char* url : {"app:/cb?state=xyz", "app:/cb?code=a&code=b", "app:/cb"}) {
        SCOPED_TRACE(url);
        ErrorPtr error = redirect(url).tokenExchangeRequest().error();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeNoAuthorizationCode));
        EXPECT_EQ(error->localizedDescription(),
                  "Attempted to create a token exchange request from an authorization response "
                  "with no authorization code.");
    }
}

TEST(SSOResponseTest, TokenRepliesMapOntoTheirFields) {
    auto request = *redirect("app:/cb?code=abc").tokenExchangeRequest();
    Json reply = Json::parse(R"({
        "access_token": "at", "token_type": "Bearer", "expires_in": 59.9, "id_token": "it",
        "refresh_token": "rt", "scope": "openid", "x_extra": {"nested": true}
    })");
    auto before = floor<microseconds>(system_clock::now());
    SSOTokenResponse response(request, reply);
    EXPECT_EQ(response.accessToken(), "at");
    EXPECT_EQ(response.tokenType(), "Bearer");
    EXPECT_EQ(response.idToken(), "it");
    EXPECT_EQ(response.refreshToken(), "rt");
    EXPECT_EQ(response.scope(), "openid");
    ASSERT_TRUE(response.accessTokenExpirationDate());
    EXPECT_GE(*response.accessTokenExpirationDate(), before + seconds(59));
    EXPECT_LT(*response.accessTokenExpirationDate(), before + seconds(60));
    EXPECT_EQ(response.additionalParameters(), Json({{"x_extra", {{"nested", true}}}}));
    EXPECT_EQ(response.request(), request);

    SSOTokenResponse odd(request, Json::parse(R"({"access_token": 5, "id_token": null})"));
    EXPECT_FALSE(odd.accessToken());
    EXPECT_FALSE(odd.idToken());
    EXPECT_FALSE(odd.accessTokenExpirationDate());
    EXPECT_EQ(odd.additionalParameters(), Json::parse(R"({"access_token": 5, "id_token": null})"));

    std::string text = response.description();
    for (const char* secret : {"\"at\"", "\"it\"", "\"rt\"", "abc"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(text.find("scope: \"openid\""), std::string::npos) << text;
}

TEST(SSOResponseTest, RegistrationRequestSerialisesItsFieldsOverAdditionalParameters) {
    EXPECT_EQ(
        Json::parse(toString(*registrationRequest().JSONString())),
        Json({{"redirect_uris", {"app:/cb", "https://h/cb?x=1"}}, {"application_type", "native"}}));

    SSORegistrationRequest full(
        test::providerConfiguration(), {}, std::vector<std::string>{"code"},
        std::vector<std::string>{"authorization_code", "refresh_token"}, "pairwise",
        "client_secret_basic",
        {{"application_type", "web"}, {"subject_type", "public"}, {"client_name", "Quarra"}});
    EXPECT_EQ(Json::parse(toString(*full.JSONString())), Json::parse(R"({
        "redirect_uris": [], "application_type": "native", "client_name": "Quarra",
        "response_types": ["code"], "grant_types": ["authorization_code", "refresh_token"],
        "subject_type": "pairwise", "token_endpoint_auth_method": "client_secret_basic"})"));
    SSORegistrationRequest keepsSubject(test::providerConfiguration(), {}, std::nullopt,
                                        std::nullopt, std::nullopt, std::nullopt,
                                        {{"subject_type", "public"}});
    EXPECT_EQ(Json::parse(toString(*keepsSubject.JSONString()))["subject_type"], "public");

    auto http = full.URLRequest();
    ASSERT_TRUE(http);
    EXPECT_EQ(http->url.string(), "https://idp.example.com/register");
    EXPECT_EQ(http->httpMethod, "POST");
    EXPECT_EQ(http->valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_EQ(Json::parse(toString(*http->httpBody)), Json::parse(toString(*full.JSONString())));

    SSORegistrationRequest notUtf8(test::providerConfiguration(), {}, std::nullopt, std::nullopt,
                                   std::nullopt, std::nullopt, {{"client_name", "\xFF"}});
    EXPECT_FALSE(notUtf8.JSONString());
    EXPECT_FALSE(notUtf8.URLRequest());
}

TEST(SSOResponseTest, RegistrationRepliesAreMappedAndValidated) {
    struct Case {
        const char* reply;
        bool valid;
    };
    const Case cases[] = {
        {R"({"client_id": "c"})", true},
        {"{}", true},
        {R"({"client_secret": "s", "client_secret_expires_at": 0})", true},
        {R"({"client_secret": "s"})", false},
        {R"({"client_secret": "s", "client_secret_expires_at": "0"})", false},
        {R"({"registration_access_token": "t"})", false},
        {R"({"registration_client_uri": "https://h/c/1"})", false},
        {R"({"registration_access_token": "t", "registration_client_uri": "https://h/c/1"})", true},
        {R"({"registration_access_token": "t", "registration_client_uri": "no url"})", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SSORegistrationResponse::create(registrationRequest(), Json::parse(c.reply))
                      .has_value(),
                  c.valid)
            << c.reply;
    }
    auto response = *SSORegistrationResponse::create(registrationRequest(), Json::parse(R"({
        "client_id": "c", "client_id_issued_at": 1700000000, "client_secret": "s",
        "client_secret_expires_at": 0, "registration_access_token": "t",
        "registration_client_uri": "https://h/c/1", "token_endpoint_auth_method": "none",
        "client_name": "Quarra"})"));
    EXPECT_EQ(response.clientID(), "c");
    EXPECT_EQ(response.clientIDIssuedAt(), SSODate(seconds(1700000000)));
    EXPECT_EQ(response.clientSecret(), "s");
    EXPECT_EQ(response.clientSecretExpiresAt(), SSODate());
    EXPECT_EQ(response.registrationAccessToken(), "t");
    EXPECT_EQ(response.registrationClientURI(), Url::parse("https://h/c/1"));
    EXPECT_EQ(response.tokenEndpointAuthenticationMethod(), "none");
    EXPECT_EQ(response.additionalParameters(), Json({{"client_name", "Quarra"}}));
    EXPECT_NE(response.description().find("clientIDIssuedAt: 2023-11-14 22:13:20 +0000"),
              std::string::npos);
}
