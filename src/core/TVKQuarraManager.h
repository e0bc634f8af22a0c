#pragma once
// The request engine. So far it holds the mapping of a Quarra server's JSON reply to the SDK's
// error domains: a reply names a failure by a type string, which becomes a domain, a code and a
// message of the SDK's own, with the server's message kept beside it. The mapping has no state and
// is safe to call from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Json.h"

namespace quarra {

class TVKQuarraManager {
  public:
    // The error a reply stands for, or null when it reports success. A reply whose "responseStatus"
    // is not "SUCCESS" and that names no known failure (including a reply of the wrong shape) gives
    // defaultError().
    static ErrorPtr errorFromResponse(const Json& response);

    // Each gives its error when the reply's failure type is its own, else null.
    static ErrorPtr errorIfInvalidUsernamePassword(const Json& response);
    static ErrorPtr errorIfInvalidSessionId(const Json& response);
    static ErrorPtr errorIfInsufficientAccess(const Json& response);
    static ErrorPtr errorIfUserLockedOut(const Json& response);
    static ErrorPtr errorIfOperationNotAllowed(const Json& response);
    static ErrorPtr errorIfAPIOperationNotSupported(const Json& response);
    static ErrorPtr errorIfDownForMaintenance(const Json& response);
    static ErrorPtr errorIfPasscodeChangeRequired(const Json& response);
    static ErrorPtr errorIfInactiveUser(const Json& response);
    static ErrorPtr errorIfNoActiveQuarras(const Json& response);
    static ErrorPtr errorIfSoleInactiveQuarra(const Json& response);
    static ErrorPtr errorIfConfigurationModeEnabled(const Json& response);
    static ErrorPtr errorIfIPRange(const Json& response);
    static ErrorPtr errorIfSoleProtectedTemplateQuarra(const Json& response);
    static ErrorPtr errorIfInvalidData(const Json& response);
    static ErrorPtr errorIfParameterRequired(const Json& response);
    static ErrorPtr errorIfMaxFileSizeExceeded(const Json& response);
    static ErrorPtr errorIfMethodNotSupported(const Json& response);
    static ErrorPtr errorIfInvalidToken(const Json& response);
    static ErrorPtr errorIfExpiredToken(const Json& response);
    static ErrorPtr errorIfInvalidConfiguration(const Json& response);
    static ErrorPtr errorIfMalformedURL(const Json& response);
    static ErrorPtr errorIfInvalidFilter(const Json& response);
    static ErrorPtr errorIfInvalidDocument(const Json& response);

    // The exception-domain error -1 for a reply that names no known failure; its description
    // carries the whole reply for diagnosis.
    static ErrorPtr defaultError(const Json& response);
    // An error of `domain` and `code` when the reply's type equals `type` exactly, else null.
    static ErrorPtr sdkErrorForQuarraErrorType(std::string_view type, const char* domain, long code,
                                               std::string_view localizedDescription,
                                               const Json& response);
    // "type" of the first element of "errors" when it is a non-empty string, else none.
    static std::optional<std::string> quarraErrorTypeFromResponse(const Json& response);
    // The server's message under TVKQuarraServerErrorMessageKey and `localizedDescription` under
    // the localized-description key, each only when not empty; an empty object when neither is.
    static Json userInfoWithLocalizedDescription(std::string_view localizedDescription,
                                                 const Json& response);
};

}  // namespace quarra
