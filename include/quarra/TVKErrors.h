#pragma once
// The SDK's error domains and user-info keys. Hosts compare errors against these values.

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

// Failures an upgrade task reports itself (the keychain's own errors keep their domain).
inline constexpr const char* TVKUpgradeErrorDomain = "com.tovik.quarra_mobile_sdk.upgrade";
enum TVKUpgradeErrorCode : long {
    // The value stored under the new identifier did not read back as written.
    TVKUpgradeReadBackErrorCode = 1,
    // The users folder could not be listed, so it is unknown whose items to move.
    TVKUpgradeUsersUnlistableErrorCode = 2,
};

}  // namespace quarra
