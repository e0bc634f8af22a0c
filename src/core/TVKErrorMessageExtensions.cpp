#include "quarra/TVKErrorMessageExtensions.h"

#include <algorithm>
#include <string_view>

#include "quarra/TVKErrors.h"
#include "quarra/Bundle.h"

namespace quarra {

bool isUserCanceledOperationError(const Error& error) {
    return error.is(TVKAuthorizationErrorDomain, TVKAuthorizationUserCanceledErrorCode) ||
           error.is(TVKAuthorizationErrorDomain, TVKAuthorizationOperationCanceledErrorCode);
}

bool isQuarraServerError(const Error& error) {
    auto value = error.userInfo().find(TVKQuarraServerErrorMessageKey);
    return value != error.userInfo().end() && !value->is_null();
}

std::optional<std::string> quarraServerErrorMessage(const Error& error) {
    if (!isQuarraServerError(error)) {
        return std::nullopt;
    }
    const Json& message = error.userInfo()[TVKQuarraServerErrorMessageKey];
    // The key ends in a blank of its own (and a host's text for it may too): one blank between.
    std::string caption = Bundle::main().localizedString("Quarra Response: ");
    if (caption.empty() || caption.back() != ' ')
        caption += ' ';
    return error.localizedDescription() + "\n" + caption +
           (message.is_string() ? message.get<std::string>()
                                : message.dump(-1, ' ', false, Json::error_handler_t::replace));
}

bool isOAuthError(const Error& error) {
    static constexpr std::string_view kDomains[] = {
        "com.tovik.sso.general", "com.tovik.sso.oauth_authorization", "com.tovik.sso.oauth_token",
        "com.tovik.sso.oauth_registration", "com.tovik.sso.remote-http"};
    return std::find(std::begin(kDomains), std::end(kDomains), error.domain()) !=
           std::end(kDomains);
}

std::optional<std::string> debugOAuthErrorMessage(const Error& error) {
    if (!isOAuthError(error)) {
        return std::nullopt;
    }
    return error.description();
}

std::optional<long> TVKHTTPStatusCode(const ErrorPtr& error) {
    for (const Error* e = error.get(); e; e = e->underlyingError().get()) {
        const Json& info = e->userInfo();
        auto response = info.find(HTNetworkingOperationFailingURLResponseErrorKey);
        if (response != info.end() && response->is_object()) {
            auto status = response->find("statusCode");
            if (status != response->end() && status->is_number_integer())
                return status->get<long>();
        }
    }
    return std::nullopt;
}

}  // namespace quarra
