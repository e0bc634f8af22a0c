#include "sso/SSOErrorUtilities.h"

#include <array>
#include <utility>

#include "platform/Utf8.h"

namespace quarra {
namespace {

// The text of a reply field; absent for a missing field or a JSON null. Providers that send a
// number or an object where text belongs still get their value shown.
std::optional<std::string> fieldText(const Json& reply, const char* key) {
    auto it = reply.find(key);
    if (it == reply.end() || it->is_null())
        return std::nullopt;
    return it->is_string() ? it->get<std::string>() : it->dump();
}

}  // namespace

ErrorPtr SSOErrorUtilities::errorWithCode(long code, ErrorPtr underlyingError,
                                          std::string_view description) {
    return Error::make(SSOGeneralErrorDomain, code, description, std::move(underlyingError));
}

bool SSOErrorUtilities::isOAuthErrorDomain(std::string_view domain) {
    return domain == SSOOAuthRegistrationErrorDomain ||
           domain == SSOOAuthAuthorizationErrorDomain || domain == SSOOAuthTokenErrorDomain;
}

ErrorPtr SSOErrorUtilities::OAuthErrorWithDomain(std::string_view domain, const Json& OAuthResponse,
                                                 ErrorPtr underlyingError) {
    std::optional<std::string> error;
    if (isOAuthErrorDomain(domain) && OAuthResponse.is_object()) {
        error = fieldText(OAuthResponse, SSOOAuthErrorFieldError);
    }
    if (!error) {
        std::string description = underlyingError ? underlyingError->localizedDescription() : "";
        return errorWithCode(SSOErrorCodeNetwork, std::move(underlyingError), description);
    }
    std::string description = *error;
    if (auto text = fieldText(OAuthResponse, SSOOAuthErrorFieldErrorDescription)) {
        description += ": " + *text;
    }
    if (auto uri = fieldText(OAuthResponse, SSOOAuthErrorFieldErrorURI)) {
        if (!description.empty())
            description += " - ";
        description += *uri;
    }
    if (description.empty()) {
        description =
            "OAuth error: " + *error + " - https://www.rfc-editor.org/rfc/rfc6749#section-5.2";
    }
    Json userInfo = {{SSOOAuthErrorResponseErrorKey, OAuthResponse},
                     {LocalizedDescriptionKey, description}};
    return Error::make(std::string(domain), OAuthErrorCodeFromString(*error), std::move(userInfo),
                       std::move(underlyingError));
}

long SSOErrorUtilities::OAuthErrorCodeFromString(std::string_view errorCode) {
    static constexpr std::array<std::pair<std::string_view, long>, 10> kCodes = {{
        {"invalid_request", SSOOAuthErrorInvalidRequest},
        {"unauthorized_client", SSOOAuthErrorUnauthorizedClient},
        {"access_denied", SSOOAuthErrorAccessDenied},
        {"unsupported_response_type", SSOOAuthErrorUnsupportedResponseType},
        {"invalid_scope", SSOOAuthErrorInvalidScope},
        {"server_error", SSOOAuthErrorServerError},
        {"temporarily_unavailable", SSOOAuthErrorTemporarilyUnavailable},
        {"invalid_client", SSOOAuthErrorInvalidClient},
        {"invalid_grant", SSOOAuthErrorInvalidGrant},
        {"unsupported_grant_type", SSOOAuthErrorUnsupportedGrantType},
    }};
    for (const auto& [text, code] : kCodes) {
        if (text == errorCode)
            return code;
    }
    return SSOOAuthErrorOther;
}

ErrorPtr SSOErrorUtilities::HTTPErrorWithHTTPResponse(const HttpResponse& response,
                                                      const std::optional<Bytes>& data) {
    std::string description;
    if (data && isValidUtf8(toString(*data)))
        description = toString(*data);
    return Error::make(SSOHTTPErrorDomain, response.statusCode, std::string_view(description));
}

ErrorPtr SSOErrorUtilities::resourceServerAuthorizationErrorWithCode(long code,
                                                                     const Json& errorResponse,
                                                                     ErrorPtr underlyingError) {
    Json userInfo = Json::object();
    if (!errorResponse.is_null())
        userInfo[SSOOAuthErrorResponseErrorKey] = errorResponse;
    return Error::make(SSOResourceServerAuthorizationErrorDomain, code, std::move(userInfo),
                       std::move(underlyingError));
}

void SSOErrorUtilities::raiseException(const std::string& name) {
    raiseException(name, name);
}

void SSOErrorUtilities::raiseException(const std::string& name, const std::string& message) {
    throw SSOException(name, message);
}

}  // namespace quarra
