#pragma once
// The errors of the OAuth and OpenID client: its domains, the codes of its own failures, OAuth
// error replies turned into errors, and HTTP failures. Callers decide on domain and code, so these
// values never change. All builders are pure functions, safe on any thread.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/HttpResponse.h"
#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/Json.h"

namespace quarra {

inline constexpr const char* SSOGeneralErrorDomain = "com.tovik.sso.general";
inline constexpr const char* SSOOAuthAuthorizationErrorDomain = "com.tovik.sso.oauth_authorization";
inline constexpr const char* SSOOAuthTokenErrorDomain = "com.tovik.sso.oauth_token";
inline constexpr const char* SSOOAuthRegistrationErrorDomain = "com.tovik.sso.oauth_registration";
inline constexpr const char* SSOResourceServerAuthorizationErrorDomain =
    "com.tovik.sso.resourceserver";
// The code is the HTTP status.
inline constexpr const char* SSOHTTPErrorDomain = "com.tovik.sso.remote-http";

// User-info key of the whole OAuth error reply.
inline constexpr const char* SSOOAuthErrorResponseErrorKey = "SSOOAuthErrorResponseErrorKey";
// Fields of an OAuth error reply.
inline constexpr const char* SSOOAuthErrorFieldError = "error";
inline constexpr const char* SSOOAuthErrorFieldErrorDescription = "error_description";
inline constexpr const char* SSOOAuthErrorFieldErrorURI = "error_uri";

inline constexpr const char* SSOOAuthExceptionInvalidAuthorizationFlow =
    "An OAuth redirect was sent to a SSOAuthorizationFlowSession after it already completed.";

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

// Thrown for programming errors only; nothing in the client catches it.
class SSOException : public std::logic_error {
  public:
    SSOException(std::string name, const std::string& reason)
        : std::logic_error(reason), name_(std::move(name)) {}
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

class SSOErrorUtilities {
  public:
    SSOErrorUtilities() = delete;

    // A general-domain error; the user info holds the description when it is not empty.
    static ErrorPtr errorWithCode(long code, ErrorPtr underlyingError = nullptr,
                                  std::string_view description = {});

    static bool isOAuthErrorDomain(std::string_view domain);

    // The error of an OAuth error reply in one of the OAuth domains: the code from its "error"
    // field, a description composed of "error", "error_description" and "error_uri", the whole
    // reply under SSOOAuthErrorResponseErrorKey. Without such a reply (or in another domain) a
    // general network error carrying the underlying error's description.
    static ErrorPtr OAuthErrorWithDomain(std::string_view domain, const Json& OAuthResponse,
                                         ErrorPtr underlyingError = nullptr);

    // Exact, case-sensitive match; anything unknown is SSOOAuthErrorOther.
    static long OAuthErrorCodeFromString(std::string_view errorCode);

    // The status code as error code; a UTF-8 body becomes the description.
    static ErrorPtr HTTPErrorWithHTTPResponse(const HttpResponse& response,
                                              const std::optional<Bytes>& data);

    static ErrorPtr resourceServerAuthorizationErrorWithCode(long code, const Json& errorResponse,
                                                             ErrorPtr underlyingError = nullptr);

    [[noreturn]] static void raiseException(const std::string& name);
    [[noreturn]] static void raiseException(const std::string& name, const std::string& message);
};

}  // namespace quarra
