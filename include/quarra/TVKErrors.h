#pragma once
// The error domains and codes a host receives from the SDK, and the user-info keys they carry.
// Hosts compare errors against these values. Beside the SDK's own domains below, a handler can
// receive:
//   URLErrorDomain (quarra/URLError.h): the request could not be made or completed (no connection
//     -1004/-1009, time-out -1001, a refused certificate -1202, cancelled -999, ...);
//   HTURLResponseSerializationErrorDomain: the server answered with a status or content type the
//     request does not accept (-1011, the status through TVKHTTPStatusCode(); -1016);
//   HTJSONReadingErrorDomain: a reply that should be JSON is not;
//   PosixErrorDomain (quarra/Error.h, the errno value): a local file could not be read or written;
//   KeychainErrorDomain (quarra/KeychainErrors.h): a secret could not be read or stored (a locked
//     or absent keyring);
//   ImageErrorDomain (quarra/Image.h): a thumbnail could not be decoded;
//   JsonParseErrorDomain (quarra/Json.h): a JSON text the host handed over is malformed.
// A mapped error may carry the error that caused it as its underlying error.
#include <optional>

#include "quarra/Error.h"
#include "quarra/KeychainErrors.h"
#include "quarra/URLError.h"

namespace quarra {

inline constexpr const char* TVKAuthorizationErrorDomain = "com.tovik.error.auth.domain";
inline constexpr const char* TVKQuarraErrorDomain = "com.tovik.error.general.domain";
inline constexpr const char* TVKQuarraExceptionErrorDomain = "com.tovik.error.exception.domain";
inline constexpr const char* TVKNetworkErrorDomain = "com.tovik.error.network.domain";
inline constexpr const char* TVKAPIErrorDomain = "com.tovik.error.API.domain";
inline constexpr const char* TVKCryptographyErrorDomain = "com.tovik.error.crypt";
inline constexpr const char* TVKCacheErrorDomain = "com.tovik.error.cache";

// The server's own message text of a mapped server error.
inline constexpr const char* TVKQuarraServerErrorMessageKey = "com.tovik.error.message.key";
inline constexpr const char* TVKQuarraRequestedQuarraIDKey = "com.tovik.error.requestedquarra.key";
inline constexpr const char* TVKInvalidServerResponseKey = "com.tovik.error.response.key";

// The codes of each domain. Codes of the same value in two domains are distinct errors: the
// authorization domain's -2 is an invalid session, the general domain's -2 a refused operation.

// TVKAuthorizationErrorDomain.
enum TVKAuthorizationErrorCode : long {
    TVKAuthorizationInvalidUsernamePasswordErrorCode = -1,
    // The server rejected the session id; the request engine signs in again once and resends.
    TVKAuthorizationInvalidSessionErrorCode = -2,
    TVKAuthorizationInsufficientAccessErrorCode = -3,
    TVKAuthorizationUserLockedOutErrorCode = -4,
    // The user cancelled (the sign-in screen, the browser step of single sign-on).
    TVKAuthorizationUserCanceledErrorCode = -5,
    // The sign-in host named an authorization type the SDK cannot use.
    TVKAuthorizationInvalidConfigurationErrorCode = -6,
    // Also read as a cancellation by the host-facing checks.
    TVKAuthorizationOperationCanceledErrorCode = -8,
    // The token exchange is retried on it.
    TVKAuthorizationExpiredTokenErrorCode = -16,
    TVKAuthorizationAuthenticationRequiredErrorCode = -20,
};

// TVKQuarraErrorDomain.
enum TVKQuarraErrorCode : long {
    TVKQuarraInvalidDataErrorCode = -1,
    TVKQuarraOperationNotAllowedErrorCode = -2,
    TVKQuarraParameterRequiredErrorCode = -3,
    TVKQuarraMaxFileSizeExceededErrorCode = -4,
    TVKQuarraDownForMaintenanceErrorCode = -5,
    TVKQuarraPasscodeChangeRequiredErrorCode = -6,
    TVKQuarraInactiveUserErrorCode = -7,
    TVKQuarraNoActiveQuarrasErrorCode = -8,
    TVKQuarraSoleInactiveQuarraErrorCode = -9,
    TVKQuarraConfigurationModeEnabledErrorCode = -10,
    TVKQuarraIPRangeErrorCode = -11,
    TVKQuarraSoleProtectedTemplateQuarraErrorCode = -12,
    // The requested Quarra is not among the user's, or no default Quarra could be determined.
    TVKQuarraUnavailableErrorCode = -13,
    TVKQuarraMethodNotSupportedErrorCode = -14,
    TVKQuarraInvalidTokenErrorCode = -15,
    TVKQuarraInvalidConfigurationErrorCode = -17,
    TVKQuarraMalformedURLErrorCode = -18,
    TVKQuarraInvalidFilterErrorCode = -19,
    // A cache was handed a Quarra it is not associated with (or no entries to store).
    TVKQuarraNotAssociatedWithCacheErrorCode = -20,
    TVKQuarraInvalidDocumentErrorCode = -21,
    // A user name (or per-user file name) that would leave its folder.
    TVKInvalidUsernameErrorCode = -30,
    // A request with a method or encoding code the engine does not know.
    TVKInvalidRequestErrorCode = -31,
};

// TVKQuarraExceptionErrorDomain.
enum TVKQuarraExceptionErrorCode : long {
    // The server's reply named no failure the SDK knows; the reply is in the description.
    TVKQuarraUnknownServerErrorCode = -1,
};

// TVKNetworkErrorDomain.
enum TVKNetworkErrorCode : long {
    TVKNetworkNotConnectedErrorCode = -1,
};

// TVKAPIErrorDomain.
enum TVKAPIErrorCode : long {
    // A background transfer that could not be started or whose result could not be used.
    TVKAPITransferFailedErrorCode = -1,
    // The file to upload cannot be read (the cause is the underlying error).
    TVKAPIFileUnreadableErrorCode = -2,
    // The file to upload is larger than TVKMaximumUploadFileSize ("File size exceeds allowable
    // size"); the same code as a failed transfer, as hosts have always matched it.
    TVKAPIFileTooLargeErrorCode = -1,
    // Another process of the application runs the background transfers (they share one data
    // folder); this one starts none until that process has ended.
    TVKAPITransfersRunElsewhereErrorCode = -4,
};

// TVKCryptographyErrorDomain.
enum TVKCryptographyErrorCode : long {
    // No file-encryption key for the user (or the keychain holding it could not be read).
    TVKCryptographyNoKeyErrorCode = -1,
    TVKCryptographyNotSignedInErrorCode = -2,
    TVKCryptographyEncryptionFailedErrorCode = -3,
    TVKCryptographyDecryptionFailedErrorCode = -4,
    TVKCryptographyInvalidFileErrorCode = -5,
};

// TVKCacheErrorDomain.
enum TVKCacheErrorCode : long {
    TVKCacheStatementFailedErrorCode = -1,
    TVKCacheOpenFailedErrorCode = -2,
    TVKCacheNotAuthenticatedErrorCode = -3,
};

// The HTTP transport's domains. Their codes are those of URLErrorDomain for the same kind of
// failure.
inline constexpr const char* HTURLResponseSerializationErrorDomain =
    "com.tovik.transport.error.serialization.response";
inline constexpr const char* HTURLRequestSerializationErrorDomain =
    "com.tovik.transport.error.serialization.request";
// User-info key of a response validation error's response: an object with "url", "statusCode"
// and "headers".
inline constexpr const char* HTNetworkingOperationFailingURLResponseErrorKey =
    "com.tovik.transport.serialization.response.error.response";
inline constexpr const char* HTJSONReadingErrorDomain = "com.tovik.transport.error.json";
enum HTJSONReadingErrorCode : long {
    HTJSONReadingCorruptError = 3840,
};

// The single sign-on client's domains (signing in through an OpenID provider).
inline constexpr const char* SSOGeneralErrorDomain = "com.tovik.sso.general";
inline constexpr const char* SSOOAuthAuthorizationErrorDomain = "com.tovik.sso.oauth_authorization";
inline constexpr const char* SSOOAuthTokenErrorDomain = "com.tovik.sso.oauth_token";
inline constexpr const char* SSOOAuthRegistrationErrorDomain = "com.tovik.sso.oauth_registration";
inline constexpr const char* SSOResourceServerAuthorizationErrorDomain =
    "com.tovik.sso.resourceserver";
// The code is the HTTP status.
inline constexpr const char* SSOHTTPErrorDomain = "com.tovik.sso.remote-http";

// Codes of SSOGeneralErrorDomain.
enum SSOErrorCode : long {
    SSOErrorCodeInvalidMetadata = -2,
    SSOErrorCodeUserCancelled = -3,
    SSOErrorCodeBrowserClosed = -4,
    SSOErrorCodeNetwork = -5,
    SSOErrorCodeServer = -6,
    SSOErrorCodeReplyNotJSON = -7,
    SSOErrorCodeNoTokenResponse = -8,
    SSOErrorCodeBrowserUnavailable = -9,
    SSOErrorCodeNoRefreshToken = -11,
    SSOErrorCodeNoRegistrationResponse = -12,
    SSOErrorCodeRequestNotSerializable = -13,
    // A code exchange was asked of an authorization response that carries no code.
    SSOErrorCodeNoAuthorizationCode = -14,
};

// Codes of the three OAuth domains, from the reply's "error" text (RFC 6749 sections 4.1.2.1, 5.2).
enum SSOOAuthErrorCode : long {
    SSOOAuthErrorInvalidRequest = -2,
    SSOOAuthErrorUnauthorizedClient = -3,
    SSOOAuthErrorAccessDenied = -4,
    SSOOAuthErrorUnsupportedResponseType = -5,
    SSOOAuthErrorInvalidScope = -6,
    SSOOAuthErrorServerError = -7,
    SSOOAuthErrorTemporarilyUnavailable = -8,
    SSOOAuthErrorInvalidClient = -9,
    SSOOAuthErrorInvalidGrant = -10,
    SSOOAuthErrorUnsupportedGrantType = -11,
    SSOOAuthErrorOther = -61440,
    // Authorization domain only: the redirect's state is not the request's.
    SSOOAuthErrorStateMismatch = -61439,
};

// The HTTP status of the reply that made `error` (or an error beneath it), when a reply was the
// cause; none for failures before any reply arrived.
std::optional<long> TVKHTTPStatusCode(const ErrorPtr& error);

// Failures an upgrade task reports itself (the keychain's own errors keep their domain).
inline constexpr const char* TVKUpgradeErrorDomain = "com.tovik.quarra_mobile_sdk.upgrade";
enum TVKUpgradeErrorCode : long {
    // The value stored under the new identifier did not read back as written.
    TVKUpgradeReadBackErrorCode = 1,
    // The users folder could not be listed, so it is unknown whose items to move.
    TVKUpgradeUsersUnlistableErrorCode = 2,
};

}  // namespace quarra
