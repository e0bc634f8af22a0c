#include <gtest/gtest.h>

#include "sso/SSOErrorUtilities.h"

using namespace quarra;

TEST(SSOErrorUtilitiesTest, MapsTheOAuthErrorCodesOfRfc6749ExactlyAndCaseSensitively) {
    const std::pair<const char*, long> cases[] = {
        {"invalid_request", -2},
        {"unauthorized_client", -3},
        {"access_denied", -4},
        {"unsupported_response_type", -5},
        {"invalid_scope", -6},
        {"server_error", -7},
        {"temporarily_unavailable", -8},
        {"invalid_client", -9},
        {"invalid_grant", -10},
        {"unsupported_grant_type", -11},
        {"INVALID_GRANT", -61440},
        {"invalid_grant ", -61440},
        {"", -61440},
        {"interaction_required", -61440},
    };
    for (auto [text, code] : cases) {
        EXPECT_EQ(SSOErrorUtilities::OAuthErrorCodeFromString(text), code) << text;
    }
}

TEST(SSOErrorUtilitiesTest, ComposesTheDescriptionOfAnOAuthErrorReply) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"error": "invalid_grant"})", "invalid_grant"},
        {R"({"error": "invalid_grant", "error_description": "Token expired"})",
         "invalid_grant: Token expired"},
        {R"({"error": "invalid_grant", "error_description": "Token expired", "error_uri": "x"})",
         "invalid_grant: Token expired - x"},
        {R"({"error": "invalid_grant", "error_uri": "x"})", "invalid_grant - x"},
        // The URI follows nothing, so no separator.
        {R"({"error": "", "error_uri": "u"})", "u"},
        {R"({"error": ""})", "OAuth error:  - https://www.rfc-editor.org/rfc/rfc6749#section-5.2"},
        {R"({"error": "", "error_uri": ""})",
         "OAuth error:  - https://www.rfc-editor.org/rfc/rfc6749#section-5.2"},
    };
    for (auto [reply, description] : cases) {
        SCOPED_TRACE(reply);
        Json json = Json::parse(reply);
        auto error = SSOErrorUtilities::OAuthErrorWithDomain(SSOOAuthTokenErrorDomain, json);
        EXPECT_EQ(error->domain(), SSOOAuthTokenErrorDomain);
        EXPECT_EQ(error->localizedDescription(), description);
        EXPECT_EQ(error->userInfo()[SSOOAuthErrorResponseErrorKey], json);
    }
    auto error = SSOErrorUtilities::OAuthErrorWithDomain(
        SSOOAuthAuthorizationErrorDomain, {{"error", "access_denied"}}, Error::make("x", 1));
    EXPECT_TRUE(error->is(SSOOAuthAuthorizationErrorDomain, SSOOAuthErrorAccessDenied));
    ASSERT_TRUE(error->underlyingError());
    EXPECT_EQ(error->underlyingError()->domain(), "x");
}

TEST(SSOErrorUtilitiesTest, WithoutAnOAuthReplyGivesANetworkErrorCarryingTheUnderlyingError) {
    auto underlying = Error::make("transport", 7, std::string_view("Connection reset"));
    const std::pair<const char*, Json> cases[] = {
        {SSOOAuthTokenErrorDomain, Json{{"error_description", "no error field"}}},
        {SSOOAuthRegistrationErrorDomain, Json()},
        {SSOOAuthTokenErrorDomain, Json{{"error", nullptr}}},
        {SSOHTTPErrorDomain, Json{{"error", "invalid_grant"}}},
        {SSOGeneralErrorDomain, Json{{"error", "invalid_grant"}}},
    };
    for (const auto& [domain, reply] : cases) {
        SCOPED_TRACE(std::string(domain) + " " + reply.dump());
        auto error = SSOErrorUtilities::OAuthErrorWithDomain(domain, reply, underlying);
        EXPECT_TRUE(error->is(SSOGeneralErrorDomain, SSOErrorCodeNetwork));
        EXPECT_EQ(error->localizedDescription(), "Connection reset");
        EXPECT_EQ(error->underlyingError(), underlying);
        EXPECT_TRUE(SSOErrorUtilities::OAuthErrorWithDomain(domain, reply)->userInfo().empty());
    }
}

TEST(SSOErrorUtilitiesTest, RecognisesOnlyTheThreeOAuthDomains) {
    EXPECT_TRUE(SSOErrorUtilities::isOAuthErrorDomain(SSOOAuthAuthorizationErrorDomain));
    EXPECT_TRUE(SSOErrorUtilities::isOAuthErrorDomain(SSOOAuthTokenErrorDomain));
    EXPECT_TRUE(SSOErrorUtilities::isOAuthErrorDomain(SSOOAuthRegistrationErrorDomain));
    EXPECT_FALSE(SSOErrorUtilities::isOAuthErrorDomain(SSOHTTPErrorDomain));
    EXPECT_FALSE(SSOErrorUtilities::isOAuthErrorDomain(SSOGeneralErrorDomain));
    EXPECT_FALSE(SSOErrorUtilities::isOAuthErrorDomain(SSOResourceServerAuthorizationErrorDomain));
}

TEST(SSOErrorUtilitiesTest, HTTPErrorsTakeTheStatusAndAUtf8BodyAsDescription) {
    struct Case {
        std::optional<Bytes> body;
        const char* description;  // nullptr: none
    };
    const Case cases[] = {
        {toBytes("Service Unavailable"), "Service Unavailable"},
        {toBytes("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"), "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"},
        {std::nullopt, nullptr},
        {Bytes{0xFF, 0xFE, 'x'}, nullptr},
        {Bytes{0xC0, 0xAF}, nullptr},              // overlong "/"
        {Bytes{0xED, 0xA0, 0x80}, nullptr},        // a surrogate
        {Bytes{0xF4, 0x90, 0x80, 0x80}, nullptr},  // beyond U+10FFFF
        {Bytes{'a', 0xE2, 0x82}, nullptr},         // cut short
    };
    for (const auto& c : cases) {
        auto error = SSOErrorUtilities::HTTPErrorWithHTTPResponse(
            HttpResponse(*Url::parse("https://idp/token"), 503, {}), c.body);
        EXPECT_TRUE(error->is(SSOHTTPErrorDomain, 503));
        if (c.description) {
            EXPECT_EQ(error->userInfo()[LocalizedDescriptionKey], c.description);
        } else {
            EXPECT_TRUE(error->userInfo().empty()) << error->description();
        }
    }
}

TEST(SSOErrorUtilitiesTest, BuildsGeneralAndResourceServerErrors) {
    auto plain = SSOErrorUtilities::errorWithCode(SSOErrorCodeUserCancelled);
    EXPECT_TRUE(plain->is(SSOGeneralErrorDomain, -3));
    EXPECT_TRUE(plain->userInfo().empty());
    EXPECT_FALSE(plain->underlyingError());

    auto underlying = Error::make("x", 1);
    auto full = SSOErrorUtilities::errorWithCode(SSOErrorCodeBrowserUnavailable, underlying,
                                                 "Unable to open the web browser.");
    EXPECT_EQ(full->localizedDescription(), "Unable to open the web browser.");
    EXPECT_EQ(full->underlyingError(), underlying);

    Json reply = {{"error", "invalid_token"}};
    auto resource = SSOErrorUtilities::resourceServerAuthorizationErrorWithCode(401, reply);
    EXPECT_TRUE(resource->is(SSOResourceServerAuthorizationErrorDomain, 401));
    EXPECT_EQ(resource->userInfo()[SSOOAuthErrorResponseErrorKey], reply);
    EXPECT_TRUE(SSOErrorUtilities::resourceServerAuthorizationErrorWithCode(401, nullptr)
                    ->userInfo()
                    .empty());
}

TEST(SSOErrorUtilitiesTest, ProgrammingErrorsThrowWithNameAndReason) {
    try {
        SSOErrorUtilities::raiseException("Name", "100% wrong");
        FAIL() << "nothing thrown";
    } catch (const SSOException& e) {
        EXPECT_EQ(e.name(), "Name");
        EXPECT_STREQ(e.what(), "100% wrong");
    }
    EXPECT_THROW(SSOErrorUtilities::raiseException(SSOOAuthExceptionInvalidAuthorizationFlow),
                 SSOException);
}
