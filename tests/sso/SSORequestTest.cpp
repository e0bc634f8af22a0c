#include <gtest/gtest.h>

#include "SSOFixtures.h"
#include "sso/SSOAuthorizationRequest.h"
#include "sso/SSOTokenRequest.h"
#include "sso/SSOTokenUtilities.h"

using namespace quarra;
using Items = std::vector<std::pair<std::string, std::string>>;

namespace {

const Url kRedirect = *Url::parse("com.example.app:/oauth2redirect");

SSOAuthorizationRequest fixedRequest(SSOAuthorizationRequest::Parameters additional = {}) {
    return *SSOAuthorizationRequest::create(
        test::providerConfiguration(), "client 1", "secret", "openid profile", kRedirect,
        SSOResponseTypeCode, "st+te", "verifier", "challenge", "S256", std::move(additional));
}

}  // namespace

TEST(SSORequestTest, AuthorizationUrlHoldsTheParametersInTheirOrderAndNoSecrets) {
    const std::pair<SSOAuthorizationRequest::Parameters, Items> cases[] = {
        {{},
         {{"response_type", "code"},
          {"client_id", "client 1"},
          {"redirect_uri", "com.example.app:/oauth2redirect"},
          {"scope", "openid profile"},
          {"state", "st+te"},
          {"code_challenge", "challenge"},
          {"code_challenge_method", "S256"}}},
        // Additional parameters come after the client, in name order; a standard name repeats.
        {{{"prompt", "login&x=y"}, {"login_hint", "a@b.c"}, {"scope", "extra"}},
         {{"response_type", "code"},
          {"client_id", "client 1"},
          {"login_hint", "a@b.c"},
          {"prompt", "login&x=y"},
          {"scope", "extra"},
          {"scope", "openid profile"},
          {"redirect_uri", "com.example.app:/oauth2redirect"},
          {"state", "st+te"},
          {"code_challenge", "challenge"},
          {"code_challenge_method", "S256"}}},
    };
    for (const auto& [additional, items] : cases) {
        std::string url = fixedRequest(additional).authorizationRequestURL().string();
        SCOPED_TRACE(url);
        // The endpoint's own query ("prompt=login") is replaced.
        EXPECT_TRUE(url.starts_with("https://idp.example.com/authorize?response_type=code&"));
        EXPECT_EQ(url.find("secret"), std::string::npos);
        EXPECT_EQ(url.find("verifier"), std::string::npos);
        EXPECT_EQ(test::pythonQueryItems(url, true), items);
    }
    EXPECT_EQ(fixedRequest().authorizationRequestURL().string(),
              "https://idp.example.com/authorize?response_type=code&client_id=client%201&"
              "redirect_uri=com.example.app:/oauth2redirect&scope=openid%20profile&state=st%2Bte&"
              "code_challenge=challenge&code_challenge_method=S256");
    EXPECT_EQ(fixedRequest().redirectScheme(), "com.example.app");
}

TEST(SSORequestTest, GeneratedRequestsCarryFreshStateAndS256Pkce) {
    auto make = [] {
        return *SSOAuthorizationRequest::create(test::providerConfiguration(), "c1", std::nullopt,
                                                std::vector<std::string>{"openid", "email"},
                                                kRedirect, SSOResponseTypeCode);
    };
    auto first = make(), second = make();
    ASSERT_TRUE(first.state() && first.codeVerifier() && first.codeChallenge());
    EXPECT_EQ(first.state()->size(), 43u);
    EXPECT_EQ(first.codeVerifier()->size(), 43u);
    EXPECT_EQ(*first.codeChallenge(), SSOTokenUtilities::encodeBase64urlNoPadding(
                                          SSOTokenUtilities::sha256(*first.codeVerifier())));
    EXPECT_EQ(first.codeChallengeMethod(), "S256");
    EXPECT_EQ(first.scope(), "openid email");
    EXPECT_FALSE(first.clientSecret());
    EXPECT_TRUE(first.additionalParameters().empty());
    EXPECT_NE(first.state(), second.state());
    EXPECT_NE(first.codeVerifier(), second.codeVerifier());
    EXPECT_NE(first.state(), first.codeVerifier());

    auto noScope = *SSOAuthorizationRequest::create(test::providerConfiguration(), "c1",
                                                    std::nullopt, std::nullopt, kRedirect, "code");
    EXPECT_FALSE(noScope.scope());
    Items items = test::pythonQueryItems(noScope.authorizationRequestURL().string(), true);
    for (const auto& [name, value] : items)
        EXPECT_NE(name, "scope");
}

TEST(SSORequestTest, OnlyTheCodeFlowMakesARequest) {
    for (const char* type : {"token", "id_token", "Code", "code id_token", ""}) {
        EXPECT_FALSE(SSOAuthorizationRequest::create(test::providerConfiguration(), "c1",
                                                     std::nullopt, std::nullopt, kRedirect, type))
            << type;
    }
}

TEST(SSORequestTest, TokenRequestBodyHoldsTheFieldsInTheirOrder) {
    SSOTokenRequest exchange(test::providerConfiguration(), SSOGrantTypeAuthorizationCode, "x+y",
                             *Url::parse("app:/cb?x=1"), "c1", std::nullopt, std::nullopt,
                             std::nullopt, "v", {{"resource", "https://api"}, {"code", "again"}});
    UrlRequest request = exchange.URLRequest();
    EXPECT_EQ(request.url.string(), "https://idp.example.com/token");
    EXPECT_EQ(request.httpMethod, "POST");
    EXPECT_EQ(request.valueForHTTPHeaderField("content-type"),
              "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_FALSE(request.valueForHTTPHeaderField("Authorization"));
    EXPECT_EQ(toString(*request.httpBody),
              "grant_type=authorization_code&redirect_uri=app:/cb?x%3D1&code=x%2By&code=again&"
              "code_verifier=v&resource=https://api&client_id=c1");
    EXPECT_EQ(test::pythonQueryItems(toString(*request.httpBody)),
              (Items{{"grant_type", "authorization_code"},
                     {"redirect_uri", "app:/cb?x=1"},
                     {"code", "x+y"},
                     {"code", "again"},
                     {"code_verifier", "v"},
                     {"resource", "https://api"},
                     {"client_id", "c1"}}));

    SSOTokenRequest refresh = SSOTokenRequest::withScopes(
        test::providerConfiguration(), SSOGrantTypeRefreshToken, std::nullopt, kRedirect, "c1",
        std::nullopt, {"openid", "profile"}, "r/t", std::nullopt, {});
    EXPECT_EQ(test::pythonQueryItems(toString(*refresh.URLRequest().httpBody)),
              (Items{{"grant_type", "refresh_token"},
                     {"scope", "openid profile"},
                     {"redirect_uri", "com.example.app:/oauth2redirect"},
                     {"refresh_token", "r/t"},
                     {"client_id", "c1"}}));
}

TEST(SSORequestTest, ClientSecretsTravelFormEncodedInBasicAuthentication) {
    const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
        {{"c1", "secret"}, "c1:secret"},
        {{"c1", "a+b%c:d"}, "c1:a%2Bb%25c%3Ad"},
        {{"client:1", "s p"}, "client%3A1:s%20p"},
        {{"c\xC3\xA9", "\xE2\x82\xAC"}, "c%C3%A9:%E2%82%AC"},
    };
    for (const auto& [credentials, encoded] : cases) {
        auto [clientID, secret] = credentials;
        SCOPED_TRACE(encoded);
        SSOTokenRequest request(test::providerConfiguration(), SSOGrantTypeAuthorizationCode, "x",
                                kRedirect, clientID, secret, std::nullopt, std::nullopt, "v", {});
        UrlRequest http = request.URLRequest();
        EXPECT_EQ(http.valueForHTTPHeaderField("Authorization"),
                  "Basic " + SSOTokenUtilities::encodeBase64(toBytes(encoded)));
        for (const auto& [name, value] : test::pythonQueryItems(toString(*http.httpBody))) {
            EXPECT_NE(name, "client_id");
        }
    }
}

TEST(SSORequestTest, DescriptionsMaskSecrets) {
    SSOTokenRequest refresh(test::providerConfiguration(), SSOGrantTypeRefreshToken, "the-code",
                            std::nullopt, "c1", "the-secret", std::nullopt, "the-refresh-token",
                            "the-verifier", {});
    std::string text = refresh.description();
    EXPECT_TRUE(text.starts_with("<SSOTokenRequest: 0x")) << text;
    EXPECT_NE(text.find("https://idp.example.com/token"), std::string::npos);
    for (const char* secret : {"the-code", "the-secret", "the-refresh-token", "the-verifier"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(fixedRequest().description().find("client_id=client%201"), std::string::npos);
}
