#include "core/TVKQuarraManager.h"

#include "core/TVKErrors.h"
#include "platform/Bundle.h"

namespace quarra {
namespace {

std::string sdkText(const std::string& key) {
    return Bundle::sdk().localizedString(key);
}

// The server's failure types in the order they are tested. The messages are the English keys of the
// SDK's string table.
struct ServerFailure {
    const char* type;
    const char* domain;
    long code;
    const char* message;
};

constexpr const char* kUnknownError = "An unknown error occurred";
constexpr const char* kNoActiveQuarras = "No active quarras found for this user";

enum Failure {
    InvalidUsernamePassword,
    InvalidSessionId,
    InsufficientAccess,
    UserLockedOut,
    OperationNotAllowed,
    APIOperationNotSupported,
    DownForMaintenance,
    PasscodeChangeRequired,
    InactiveUser,
    NoActiveQuarras,
    SoleInactiveQuarra,
    ConfigurationModeEnabled,
    IPRange,
    SoleProtectedTemplateQuarra,
    InvalidData,
    ParameterRequired,
    MaxFileSizeExceeded,
    MethodNotSupported,
    InvalidToken,
    ExpiredToken,
    InvalidConfiguration,
    MalformedURL,
    InvalidFilter,
    InvalidDocument,
};

constexpr ServerFailure kFailures[] = {
    {"USERNAME_OR_PASSWORD_INCORRECT", TVKAuthorizationErrorDomain, -1, "Authorization failed"},
    {"INVALID_SESSION_ID", TVKAuthorizationErrorDomain, -2, "Invalid session"},
    {"INSUFFICIENT_ACCESS", TVKAuthorizationErrorDomain, -3, "Insufficient access"},
    {"USER_LOCKED_OUT", TVKAuthorizationErrorDomain, -4, "This user is locked out"},
    {"OPERATION_NOT_ALLOWED", TVKQuarraErrorDomain, -2, "Operation not allowed"},
    {"API_OPERATION_NOT_SUPPORTED", TVKQuarraErrorDomain, -2, "Operation not allowed"},
    {"DOWN_FOR_MAINTENANCE", TVKQuarraErrorDomain, -5,
     "Your Quarra server is currently down for maintenance"},
    {"PASSCODE_CHANGE_REQUIRED", TVKQuarraErrorDomain, -6,
     "A password change is required before logging in again"},
    {"INACTIVE_USER", TVKQuarraErrorDomain, -7, "User is inactive"},
    {"NO_ACTIVE_QUARRAS", TVKQuarraErrorDomain, -8, kNoActiveQuarras},
    {"SOLE_INACTIVE_QUARRA", TVKQuarraErrorDomain, -9, kNoActiveQuarras},
    {"CONFIGURATION_MODE_ENABLED", TVKQuarraErrorDomain, -10,
     "Unable to login: Quarra is in configuration mode"},
    {"IP_RANGE", TVKQuarraErrorDomain, -11, kUnknownError},
    {"SOLE_PROTECTED_TEMPLATE_QUARRA", TVKQuarraErrorDomain, -12, kUnknownError},
    {"INVALID_DATA", TVKQuarraErrorDomain, -1, "Invalid data in request"},
    {"PARAMETER_REQUIRED", TVKQuarraErrorDomain, -3, "Missing parameter"},
    {"EXCEEDS_FILE_MAX_SIZE", TVKQuarraErrorDomain, -4,
     "The maximum allowable file size was exceeded"},
    {"METHOD_NOT_SUPPORTED", TVKQuarraErrorDomain, -14,
     "The quarra you are connecting to doesn\u2019t support this operation"},
    {"INVALID_TOKEN", TVKQuarraErrorDomain, -15, kUnknownError},
    {"EXPIRED_TOKEN", TVKAuthorizationErrorDomain, -16, kUnknownError},
    {"INVALID_CONFIGURATION", TVKQuarraErrorDomain, -17, kUnknownError},
    {"MALFORMED_URL", TVKQuarraErrorDomain, -18, kUnknownError},
    {"INVALID_FILTER", TVKQuarraErrorDomain, -19, "The named search filter could not be found"},
    {"INVALID_DOCUMENT", TVKQuarraErrorDomain, -21,
     "The document could not be found on the server"},
};
static_assert(std::size(kFailures) == InvalidDocument + 1);

// The first element of "errors" when the reply has one that is an object. A reply of another shape
// names no failure; it must never bring the caller down.
const Json* firstServerError(const Json& response) {
    if (!response.is_object()) {
        return nullptr;
    }
    auto errors = response.find("errors");
    if (errors == response.end() || !errors->is_array() || errors->empty() ||
        !errors->front().is_object()) {
        return nullptr;
    }
    return &errors->front();
}

ErrorPtr errorFor(Failure failure, const Json& response) {
    const ServerFailure& f = kFailures[failure];
    return TVKQuarraManager::sdkErrorForQuarraErrorType(f.type, f.domain, f.code,
                                                        sdkText(f.message), response);
}

}  // namespace

ErrorPtr TVKQuarraManager::errorFromResponse(const Json& response) {
    if (jsonString(response, "responseStatus") == "SUCCESS") {
        // The server answers a user without any active Quarra with success and an empty host.
        if (jsonString(response, "defaultUrl") == "https:///api") {
            return Error::make(TVKQuarraErrorDomain, -8,
                               std::string_view(sdkText(kNoActiveQuarras)));
        }
        return nullptr;
    }
    if (auto type = quarraErrorTypeFromResponse(response)) {
        for (const ServerFailure& f : kFailures) {
            if (*type == f.type) {
                return Error::make(f.domain, f.code,
                                   userInfoWithLocalizedDescription(sdkText(f.message), response));
            }
        }
    }
    return defaultError(response);
}

// clang-format off
ErrorPtr TVKQuarraManager::errorIfInvalidUsernamePassword(const Json& r) { return errorFor(InvalidUsernamePassword, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidSessionId(const Json& r) { return errorFor(InvalidSessionId, r); }
ErrorPtr TVKQuarraManager::errorIfInsufficientAccess(const Json& r) { return errorFor(InsufficientAccess, r); }
ErrorPtr TVKQuarraManager::errorIfUserLockedOut(const Json& r) { return errorFor(UserLockedOut, r); }
ErrorPtr TVKQuarraManager::errorIfOperationNotAllowed(const Json& r) { return errorFor(OperationNotAllowed, r); }
ErrorPtr TVKQuarraManager::errorIfAPIOperationNotSupported(const Json& r) { return errorFor(APIOperationNotSupported, r); }
ErrorPtr TVKQuarraManager::errorIfDownForMaintenance(const Json& r) { return errorFor(DownForMaintenance, r); }
ErrorPtr TVKQuarraManager::errorIfPasscodeChangeRequired(const Json& r) { return errorFor(PasscodeChangeRequired, r); }
ErrorPtr TVKQuarraManager::errorIfInactiveUser(const Json& r) { return errorFor(InactiveUser, r); }
ErrorPtr TVKQuarraManager::errorIfNoActiveQuarras(const Json& r) { return errorFor(NoActiveQuarras, r); }
ErrorPtr TVKQuarraManager::errorIfSoleInactiveQuarra(const Json& r) { return errorFor(SoleInactiveQuarra, r); }
ErrorPtr TVKQuarraManager::errorIfConfigurationModeEnabled(const Json& r) { return errorFor(ConfigurationModeEnabled, r); }
ErrorPtr TVKQuarraManager::errorIfIPRange(const Json& r) { return errorFor(IPRange, r); }
ErrorPtr TVKQuarraManager::errorIfSoleProtectedTemplateQuarra(const Json& r) { return errorFor(SoleProtectedTemplateQuarra, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidData(const Json& r) { return errorFor(InvalidData, r); }
ErrorPtr TVKQuarraManager::errorIfParameterRequired(const Json& r) { return errorFor(ParameterRequired, r); }
ErrorPtr TVKQuarraManager::errorIfMaxFileSizeExceeded(const Json& r) { return errorFor(MaxFileSizeExceeded, r); }
ErrorPtr TVKQuarraManager::errorIfMethodNotSupported(const Json& r) { return errorFor(MethodNotSupported, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidToken(const Json& r) { return errorFor(InvalidToken, r); }
ErrorPtr TVKQuarraManager::errorIfExpiredToken(const Json& r) { return errorFor(ExpiredToken, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidConfiguration(const Json& r) { return errorFor(InvalidConfiguration, r); }
ErrorPtr TVKQuarraManager::errorIfMalformedURL(const Json& r) { return errorFor(MalformedURL, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidFilter(const Json& r) { return errorFor(InvalidFilter, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidDocument(const Json& r) { return errorFor(InvalidDocument, r); }
// clang-format on

ErrorPtr TVKQuarraManager::defaultError(const Json& response) {
    // A reply that is not valid UTF-8 is still described, with its bad bytes replaced.
    std::string description = sdkText(kUnknownError) + "\nresponse:\n" +
                              response.dump(4, ' ', false, Json::error_handler_t::replace);
    return Error::make(TVKQuarraExceptionErrorDomain, -1, std::string_view(description));
}

ErrorPtr TVKQuarraManager::sdkErrorForQuarraErrorType(std::string_view type, const char* domain,
                                                      long code,
                                                      std::string_view localizedDescription,
                                                      const Json& response) {
    auto replyType = quarraErrorTypeFromResponse(response);
    if (!replyType || *replyType != type) {
        return nullptr;
    }
    return Error::make(domain, code,
                       userInfoWithLocalizedDescription(localizedDescription, response));
}

std::optional<std::string> TVKQuarraManager::quarraErrorTypeFromResponse(const Json& response) {
    const Json* first = firstServerError(response);
    std::string type = first ? jsonString(*first, "type") : std::string();
    if (type.empty()) {
        return std::nullopt;
    }
    return type;
}

Json TVKQuarraManager::userInfoWithLocalizedDescription(std::string_view localizedDescription,
                                                        const Json& response) {
    Json userInfo = Json::object();
    const Json* first = firstServerError(response);
    std::string serverMessage = first ? jsonString(*first, "message") : std::string();
    if (!serverMessage.empty()) {
        userInfo[TVKQuarraServerErrorMessageKey] = serverMessage;
    }
    if (!localizedDescription.empty()) {
        userInfo[LocalizedDescriptionKey] = std::string(localizedDescription);
    }
    return userInfo;
}

}  // namespace quarra
