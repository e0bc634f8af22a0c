#pragma once
// The errors of the OAuth and OpenID client: its domains, the codes of its own failures, OAuth
// error replies turned into errors, and HTTP failures. Callers decide on domain and code, so these
// values never change. All builders are pure functions, safe on any thread.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/HttpResponse.h"
#include "quarra/Json.h"
#include "quarra/TVKErrors.h"

namespace quarra {

// User-info key of the whole OAuth error reply.
inline constexpr const char* SSOOAuthErrorResponseErrorKey = "SSOOAuthErrorResponseErrorKey";
// Fields of an OAuth error reply.
inline constexpr const char* SSOOAuthErrorFieldError = "error";
inline constexpr const char* SSOOAuthErrorFieldErrorDescription = "error_description";
inline constexpr const char* SSOOAuthErrorFieldErrorURI = "error_uri";

inline constexpr const char* SSOOAuthExceptionInvalidAuthorizationFlow =
    "An OAuth redirect was sent to a SSOAuthorizationFlowSession after it already completed.";

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
