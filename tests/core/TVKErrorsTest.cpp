#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "core/TVKQuarraManager.h"
#include "quarra/Bundle.h"
#include "quarra/TVKErrorMessageExtensions.h"
#include "quarra/TVKErrors.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

Json failure(const Json& type, const Json& message = "The server's words") {
    return {{"responseStatus", "FAILURE"}, {"errors", {{{"type", type}, {"message", message}}}}};
}

void expectDefaultError(const Json& reply) {
    ErrorPtr error = TVKQuarraManager::errorFromResponse(reply);
    ASSERT_TRUE(error) << reply;
    EXPECT_TRUE(error->is(TVKQuarraExceptionErrorDomain, -1)) << error->description();
    EXPECT_EQ(error->localizedDescription().rfind("An unknown error occurred\nresponse:\n", 0), 0u);
    EXPECT_FALSE(isQuarraServerError(*error));
    EXPECT_EQ(error->userInfo().size(), 1u);
}

}  // namespace

TEST(TVKErrorsTest, EveryServerFailureTypeMapsToItsDomainCodeAndMessage) {
    const char* A = TVKAuthorizationErrorDomain;
    const char* G = TVKQuarraErrorDomain;
    struct Case {
        const char* type;
        ErrorPtr (*method)(const Json&);
        const char* domain;
        long code;
        const char* message;
    };
    const Case cases[] = {
        {"USERNAME_OR_PASSWORD_INCORRECT", TVKQuarraManager::errorIfInvalidUsernamePassword, A, -1,
         "Authorization failed"},
        {"INVALID_SESSION_ID", TVKQuarraManager::errorIfInvalidSessionId, A, -2, "Invalid session"},
        {"INSUFFICIENT_ACCESS", TVKQuarraManager::errorIfInsufficientAccess, A, -3,
         "Insufficient access"},
        {"USER_LOCKED_OUT", TVKQuarraManager::errorIfUserLockedOut, A, -4,
         "This user is locked out"},
        {"OPERATION_NOT_ALLOWED", TVKQuarraManager::errorIfOperationNotAllowed, G, -2,
         "Operation not allowed"},
        {"API_OPERATION_NOT_SUPPORTED", TVKQuarraManager::errorIfAPIOperationNotSupported, G, -2,
         "Operation not allowed"},
        {"DOWN_FOR_MAINTENANCE", TVKQuarraManager::errorIfDownForMaintenance, G, -5,
         "Your Quarra server is currently down for maintenance"},
        {"PASSCODE_CHANGE_REQUIRED", TVKQuarraManager::errorIfPasscodeChangeRequired, G, -6,
         "A password change is required before logging in again"},
        {"INACTIVE_USER", TVKQuarraManager::errorIfInactiveUser, G, -7, "User is inactive"},
        {"NO_ACTIVE_QUARRAS", TVKQuarraManager::errorIfNoActiveQuarras, G, -8,
         "No active quarras found for this user"},
        {"SOLE_INACTIVE_QUARRA", TVKQuarraManager::errorIfSoleInactiveQuarra, G, -9,
         "No active quarras found for this user"},
        {"CONFIGURATION_MODE_ENABLED", TVKQuarraManager::errorIfConfigurationModeEnabled, G, -10,
         "Unable to login: Quarra is in configuration mode"},
        {"IP_RANGE", TVKQuarraManager::errorIfIPRange, G, -11, "An unknown error occurred"},
        {"SOLE_PROTECTED_TEMPLATE_QUARRA", TVKQuarraManager::errorIfSoleProtectedTemplateQuarra, G,
         -12, "An unknown error occurred"},
        {"INVALID_DATA", TVKQuarraManager::errorIfInvalidData, G, -1, "Invalid data in request"},
        {"PARAMETER_REQUIRED", TVKQuarraManager::errorIfParameterRequired, G, -3,
         "Missing parameter"},
        {"EXCEEDS_FILE_MAX_SIZE", TVKQuarraManager::errorIfMaxFileSizeExceeded, G, -4,
         "The maximum allowable file size was exceeded"},
        {"METHOD_NOT_SUPPORTED", TVKQuarraManager::errorIfMethodNotSupported, G, -14,
         "The quarra you are connecting to doesn\u2019t support this operation"},
        {"INVALID_TOKEN", TVKQuarraManager::errorIfInvalidToken, G, -15,
         "An unknown error occurred"},
        {"EXPIRED_TOKEN", TVKQuarraManager::errorIfExpiredToken, A, -16,
         "An unknown error occurred"},
        {"INVALID_CONFIGURATION", TVKQuarraManager::errorIfInvalidConfiguration, G, -17,
         "An unknown error occurred"},
        {"MALFORMED_URL", TVKQuarraManager::errorIfMalformedURL, G, -18,
         "An unknown error occurred"},
        {"INVALID_FILTER", TVKQuarraManager::errorIfInvalidFilter, G, -19,
         "The named search filter could not be found"},
        {"INVALID_DOCUMENT", TVKQuarraManager::errorIfInvalidDocument, G, -21,
         "The document could not be found on the server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Json reply = failure(c.type);
        for (ErrorPtr error : {TVKQuarraManager::errorFromResponse(reply), c.method(reply)}) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain(), c.domain);
            EXPECT_EQ(error->code(), c.code);
            EXPECT_EQ(error->localizedDescription(), c.message);
            EXPECT_EQ(error->userInfo()[TVKQuarraServerErrorMessageKey], "The server's words");
            EXPECT_TRUE(isQuarraServerError(*error));
        }
        // A method answers only for its own type; the comparison is exact.
        EXPECT_FALSE(c.method(failure("SOMETHING_ELSE")));
        EXPECT_FALSE(c.method(failure(std::string(c.type) + " ")));
        std::string lower = c.type;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        expectDefaultError(failure(lower));
    }
}

TEST(TVKErrorsTest, SuccessIsNoErrorUnlessTheServerNamesNoQuarra) {
    EXPECT_FALSE(TVKQuarraManager::errorFromResponse({{"responseStatus", "SUCCESS"}}));
    EXPECT_FALSE(TVKQuarraManager::errorFromResponse(
        {{"responseStatus", "SUCCESS"}, {"defaultUrl", "https://q.example/api"}}));

    ErrorPtr noQuarra = TVKQuarraManager::errorFromResponse(
        {{"responseStatus", "SUCCESS"}, {"defaultUrl", "https:///api"}});
    ASSERT_TRUE(noQuarra);
    EXPECT_TRUE(noQuarra->is(TVKQuarraErrorDomain, -8));
    EXPECT_EQ(noQuarra->userInfo(),
              Json({{LocalizedDescriptionKey, "No active quarras found for this user"}}));

    expectDefaultError({{"responseStatus", "success"}});
}

TEST(TVKErrorsTest, RepliesOfTheWrongShapeGiveTheDefaultErrorWithoutCrashing) {
    const Json replies[] = {
        Json(nullptr),
        Json::array({"SUCCESS"}),
        Json("SUCCESS"),
        Json::object(),
        {{"responseStatus", 1}},
        {{"responseStatus", "FAILURE"}},
        {{"responseStatus", "FAILURE"}, {"errors", Json::array()}},
        {{"responseStatus", "FAILURE"}, {"errors", "INVALID_SESSION_ID"}},
        {{"responseStatus", "FAILURE"}, {"errors", {{"type", "INVALID_SESSION_ID"}}}},
        {{"responseStatus", "FAILURE"}, {"errors", Json::array({"INVALID_SESSION_ID"})}},
        {{"responseStatus", "FAILURE"}, {"errors", Json::array({nullptr})}},
        failure(""),
        failure(42),
        failure(Json::array({"INVALID_SESSION_ID"})),
    };
    for (const Json& reply : replies) {
        SCOPED_TRACE(reply.dump(-1, ' ', false, Json::error_handler_t::replace));
        expectDefaultError(reply);
        EXPECT_EQ(TVKQuarraManager::quarraErrorTypeFromResponse(reply), std::nullopt);
        EXPECT_FALSE(TVKQuarraManager::errorIfInvalidSessionId(reply));
    }
    // A reply that is not valid UTF-8 is still described.
    expectDefaultError(failure(std::string("INVALID_\xff\xfe")));
    // The default error describes the reply it could not map.
    ErrorPtr error = TVKQuarraManager::errorFromResponse(failure("NEW_KIND"));
    EXPECT_NE(error->localizedDescription().find("NEW_KIND"), std::string::npos);
}

TEST(TVKErrorsTest, AMissingServerMessageIsLeftOut) {
    for (const Json& message : {Json(""), Json(nullptr), Json(7)}) {
        ErrorPtr error =
            TVKQuarraManager::errorFromResponse(failure("INVALID_SESSION_ID", message));
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(TVKAuthorizationErrorDomain, -2));
        EXPECT_FALSE(isQuarraServerError(*error));
        EXPECT_EQ(quarraServerErrorMessage(*error), std::nullopt);
    }
    EXPECT_EQ(TVKQuarraManager::userInfoWithLocalizedDescription("", failure("X", "")),
              Json::object());
}

// One blank before the server's text, whether or not the host's caption ends in one.
TEST(TVKErrorsTest, ServerErrorMessageJoinsDescriptionAndServerText) {
    ErrorPtr error = TVKQuarraManager::errorFromResponse(failure("USER_LOCKED_OUT", "Locked."));
    EXPECT_EQ(quarraServerErrorMessage(*error),
              "This user is locked out\nQuarra Response: Locked.");
    test::TempDir resources;
    for (const char* caption : {"Antwort:", "Antwort: "}) {
        std::ofstream(resources / "Localizable.strings.json")
            << Json{{"Quarra Response: ", caption}}.dump();
        Bundle::setMainBundle("com.example.host", Json::object(), resources.path().string());
        EXPECT_EQ(quarraServerErrorMessage(*error), "This user is locked out\nAntwort: Locked.")
            << caption;
    }
}

TEST(TVKErrorsTest, CancellationAndOAuthQuestions) {
    const std::pair<ErrorPtr, bool> cancellations[] = {
        {Error::make(TVKAuthorizationErrorDomain, -5), true},
        {Error::make(TVKAuthorizationErrorDomain, -8), true},
        {Error::make(TVKAuthorizationErrorDomain, -2), false},
        {Error::make(TVKQuarraErrorDomain, -5), false},
    };
    for (const auto& [error, expected] : cancellations) {
        EXPECT_EQ(isUserCanceledOperationError(*error), expected) << error->description();
    }
    const std::pair<const char*, bool> domains[] = {
        {"com.tovik.sso.general", true},      {"com.tovik.sso.oauth_authorization", true},
        {"com.tovik.sso.oauth_token", true},  {"com.tovik.sso.oauth_registration", true},
        {"com.tovik.sso.remote-http", true},  {"com.tovik.sso.resource_server", false},
        {TVKAuthorizationErrorDomain, false},
    };
    for (auto [domain, expected] : domains) {
        auto error = Error::make(domain, -3, std::string_view("d"));
        EXPECT_EQ(isOAuthError(*error), expected) << domain;
        EXPECT_EQ(debugOAuthErrorMessage(*error).has_value(), expected) << domain;
    }
    auto oauth = Error::make("com.tovik.sso.oauth_token", -3, std::string_view("bad grant"));
    EXPECT_EQ(debugOAuthErrorMessage(*oauth), oauth->description());
}
