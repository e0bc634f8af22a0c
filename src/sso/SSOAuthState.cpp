#include "sso/SSOAuthState.h"

#include <syslog.h>

#include <ctime>

#include "quarra/Dispatch.h"
#include "sso/SSOAuthorizationService.h"
#include "sso/SSODescription.h"
#include "sso/SSOErrorUtilities.h"

namespace quarra {
namespace {

std::string masked(const std::optional<std::string>& token) {
    return token ? "\"[" + std::to_string(token->size()) + " characters]\"" : "(null)";
}

std::string described(const std::optional<std::string>& text) {
    return text ? "\"" + *text + "\"" : "(null)";
}

std::string describedDate(const std::optional<SSODate>& date) {
    if (!date)
        return "(null)";
    std::time_t seconds = std::chrono::system_clock::to_time_t(
        std::chrono::time_point_cast<std::chrono::system_clock::duration>(*date));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return text;
}

}  // namespace

std::shared_ptr<SSOAuthorizationFlowSessionImplementation>
SSOAuthState::authStateByPresentingAuthorizationRequest(const SSOAuthorizationRequest& request,
                                                        std::shared_ptr<SSOExternalUserAgent> agent,
                                                        StateCallback callback) {
    auto deliver = [callback](std::shared_ptr<SSOAuthState> state, ErrorPtr error) {
        // The flow may finish on any thread; the caller hears of it on the main queue.
        DispatchQueue::main()->async([callback, state = std::move(state), error] {
            if (callback)
                callback(state, error);
        });
    };
    return SSOAuthorizationService::presentAuthorizationRequest(
        request, std::move(agent),
        [deliver](const std::shared_ptr<SSOAuthorizationResponse>& response,
                  const ErrorPtr& error) {
            if (!response) {
                deliver(nullptr, error);
                return;
            }
            if (response->request().responseType() != SSOResponseTypeCode) {
                deliver(std::make_shared<SSOAuthState>(response), error);
                return;
            }
            auto exchange = response->tokenExchangeRequest();
            if (!exchange) {
                deliver(nullptr, exchange.error());
                return;
            }
            SSOAuthorizationService::performTokenRequest(
                *exchange, [deliver, response](const std::shared_ptr<SSOTokenResponse>& token,
                                               const ErrorPtr& tokenError) {
                    if (!token) {
                        deliver(nullptr, tokenError);
                        return;
                    }
                    deliver(std::make_shared<SSOAuthState>(response, token), nullptr);
                });
        });
}

SSOAuthState::SSOAuthState(std::shared_ptr<const SSOAuthorizationResponse> authorizationResponse,
                           std::shared_ptr<const SSOTokenResponse> tokenResponse,
                           std::shared_ptr<const SSORegistrationResponse> registrationResponse) {
    if (registrationResponse)
        updateWithRegistrationResponse(std::move(registrationResponse));
    if (authorizationResponse)
        updateWithAuthorizationResponse(std::move(authorizationResponse), nullptr);
    if (tokenResponse)
        updateWithTokenResponse(std::move(tokenResponse), nullptr);
}

void SSOAuthState::didChangeState() {
    if (auto delegate = stateChangeDelegate_.lock())
        delegate->didChangeState(*this);
}

void SSOAuthState::updateWithRegistrationResponse(
    std::shared_ptr<const SSORegistrationResponse> response) {
    lastRegistrationResponse_ = std::move(response);
    refreshToken_.reset();
    scope_.reset();
    lastAuthorizationResponse_ = nullptr;
    lastTokenResponse_ = nullptr;
    authorizationError_ = nullptr;
    didChangeState();
}

void SSOAuthState::updateWithAuthorizationResponse(
    std::shared_ptr<const SSOAuthorizationResponse> response, const ErrorPtr& error) {
    if (error && error->domain() == SSOOAuthAuthorizationErrorDomain) {
        updateWithAuthorizationError(error);
        return;
    }
    if (!response)
        return;
    scope_ = response->scope() ? response->scope() : response->request().scope();
    lastAuthorizationResponse_ = std::move(response);
    lastTokenResponse_ = nullptr;
    refreshToken_.reset();
    authorizationError_ = nullptr;
    didChangeState();
}

void SSOAuthState::updateWithTokenResponse(std::shared_ptr<const SSOTokenResponse> response,
                                           const ErrorPtr& error) {
    if (authorizationError_) {
        syslog(LOG_NOTICE,
               "SSOAuthState:updateWithTokenResponse should not be called in an error state [%s] "
               "call updateWithAuthorizationResponse with the result of the fresh authorization "
               "response first",
               authorizationError_->description().c_str());
        authorizationError_ = nullptr;
    }
    if (error && error->domain() == SSOOAuthTokenErrorDomain) {
        updateWithAuthorizationError(error);
        return;
    }
    if (!response)
        return;
    if (auto scope = response->scope())
        scope_ = std::move(scope);
    if (auto refreshToken = response->refreshToken())
        refreshToken_ = std::move(refreshToken);
    lastTokenResponse_ = std::move(response);
    didChangeState();
}

void SSOAuthState::updateWithAuthorizationError(const ErrorPtr& error) {
    authorizationError_ = error;
    didChangeState();
    if (auto delegate = errorDelegate_.lock())
        delegate->authStateDidEncounterAuthorizationError(*this, error);
}

SSOTokenRequest SSOAuthState::tokenRefreshRequest(
    SSOTokenRequest::Parameters additionalParameters) const {
    if (!refreshToken_ || !lastAuthorizationResponse_) {
        SSOErrorUtilities::raiseException(
            "Attempted to create a token refresh request from a token response with no refresh "
            "token.");
    }
    const SSOAuthorizationRequest& original = lastAuthorizationResponse_->request();
    // The scope granted, not the one first asked for: a provider that granted less refuses a
    // refresh that asks for more (RFC 6749 section 6).
    return SSOTokenRequest(original.configuration(), SSOGrantTypeRefreshToken, std::nullopt,
                           original.redirectURL(), original.clientID(), original.clientSecret(),
                           scope_ ? scope_ : original.scope(), refreshToken_, std::nullopt,
                           std::move(additionalParameters));
}

bool SSOAuthState::isAuthorized() const {
    return !authorizationError_ && (accessToken() || idToken() || refreshToken_);
}

bool SSOAuthState::isTokenFresh() const {
    if (needsTokenRefresh_)
        return false;
    if (auto expiry = accessTokenExpirationDate()) {
        auto remaining = std::chrono::duration<double>(*expiry - std::chrono::system_clock::now());
        return remaining.count() > kExpiryTimeTolerance;
    }
    return accessToken().has_value();
}

template <class T>
std::optional<T> SSOAuthState::latest(
    std::optional<T> (SSOTokenResponse::*fromToken)() const,
    std::optional<T> (SSOAuthorizationResponse::*fromAuthorization)() const) const {
    // The token response decides by being there, not by holding the value.
    if (authorizationError_)
        return std::nullopt;
    if (lastTokenResponse_)
        return ((*lastTokenResponse_).*fromToken)();
    if (lastAuthorizationResponse_)
        return ((*lastAuthorizationResponse_).*fromAuthorization)();
    return std::nullopt;
}

std::optional<std::string> SSOAuthState::accessToken() const {
    return latest(&SSOTokenResponse::accessToken, &SSOAuthorizationResponse::accessToken);
}

std::optional<std::string> SSOAuthState::tokenType() const {
    return latest(&SSOTokenResponse::tokenType, &SSOAuthorizationResponse::tokenType);
}

std::optional<SSODate> SSOAuthState::accessTokenExpirationDate() const {
    return latest(&SSOTokenResponse::accessTokenExpirationDate,
                  &SSOAuthorizationResponse::accessTokenExpirationDate);
}

std::optional<std::string> SSOAuthState::idToken() const {
    return latest(&SSOTokenResponse::idToken, &SSOAuthorizationResponse::idToken);
}

void SSOAuthState::performActionWithFreshTokens(
    Action action, SSOTokenRequest::Parameters additionalRefreshParameters) {
    DispatchQueue::main()->async([self = shared_from_this(), action = std::move(action),
                                  parameters = std::move(additionalRefreshParameters)]() mutable {
        self->performOnMain(std::move(action), std::move(parameters));
    });
}

void SSOAuthState::performOnMain(Action action, SSOTokenRequest::Parameters parameters) {
    if (isTokenFresh()) {
        if (action)
            action(accessToken(), idToken(), nullptr);
        return;
    }
    if (!refreshToken_ || !lastAuthorizationResponse_) {
        if (action) {
            action(std::nullopt, std::nullopt,
                   SSOErrorUtilities::errorWithCode(
                       SSOErrorCodeNoRefreshToken, nullptr,
                       "Unable to refresh expired token without a refresh token."));
        }
        return;
    }
    if (pendingActions_) {
        pendingActions_->push_back(std::move(action));
        return;
    }
    pendingActions_.emplace();
    pendingActions_->push_back(std::move(action));
    SSOAuthorizationService::performTokenRequest(
        tokenRefreshRequest(std::move(parameters)),
        [self = shared_from_this()](const std::shared_ptr<SSOTokenResponse>& response,
                                    const ErrorPtr& error) { self->didRefresh(response, error); });
}

void SSOAuthState::didRefresh(const std::shared_ptr<SSOTokenResponse>& response,
                              const ErrorPtr& error) {
    if (response) {
        needsTokenRefresh_ = false;
        updateWithTokenResponse(response, nullptr);
    } else if (error && error->domain() == SSOOAuthTokenErrorDomain) {
        needsTokenRefresh_ = false;
        updateWithAuthorizationError(error);
    } else if (auto delegate = errorDelegate_.lock()) {
        delegate->authStateDidEncounterTransientError(*this, error);
    }
    std::vector<Action> actions = std::move(pendingActions_).value_or(std::vector<Action>());
    pendingActions_.reset();
    const ErrorPtr actionError = response ? nullptr : error;
    for (const Action& action : actions) {
        if (action)
            action(accessToken(), idToken(), actionError);
    }
}

std::string SSOAuthState::description() const {
    return descriptionPrefix("SSOAuthState", this) +
           ", isAuthorized: " + (isAuthorized() ? "YES" : "NO") +
           ", refreshToken: " + masked(refreshToken_) + ", scope: " + described(scope_) +
           ", accessToken: " + masked(accessToken()) +
           ", accessTokenExpirationDate: " + describedDate(accessTokenExpirationDate()) +
           ", idToken: " + masked(idToken()) + ", lastAuthorizationResponse: " +
           (lastAuthorizationResponse_ ? lastAuthorizationResponse_->description() : "(null)") +
           ", lastTokenResponse: " +
           (lastTokenResponse_ ? lastTokenResponse_->description() : "(null)") +
           ", lastRegistrationResponse: " +
           (lastRegistrationResponse_ ? lastRegistrationResponse_->description() : "(null)") +
           ", authorizationError: " +
           (authorizationError_ ? authorizationError_->description() : "(null)") + ">";
}

void SSOAuthState::encodeWithCoder(KeyedArchiver& coder) const {
    if (lastAuthorizationResponse_)
        coder.encodeObject(lastAuthorizationResponse_.get(), "lastAuthorizationResponse");
    if (lastTokenResponse_)
        coder.encodeObject(lastTokenResponse_.get(), "lastTokenResponse");
    if (authorizationError_) {
        // Domain and code only: the provider's reply and its texts are not kept.
        coder.encodeJson(
            {{"domain", authorizationError_->domain()}, {"code", authorizationError_->code()}},
            "authorizationError");
    }
    if (scope_)
        coder.encodeString(*scope_, "scope");
    if (refreshToken_)
        coder.encodeString(*refreshToken_, "refreshToken");
    coder.encodeBool(needsTokenRefresh_, "needsTokenRefresh");
}

std::shared_ptr<SSOAuthState> SSOAuthState::initWithCoder(KeyedUnarchiver& coder) {
    auto authorization = coder.decodeObject<SSOAuthorizationResponse>("lastAuthorizationResponse");
    auto token = coder.decodeObject<SSOTokenResponse>("lastTokenResponse");
    auto state = std::make_shared<SSOAuthState>(authorization, token);
    state->authorizationError_ = nullptr;
    if (auto error = coder.decodeJson("authorizationError")) {
        const Json domain = error->is_object() ? error->value("domain", Json()) : Json();
        const Json code = error->is_object() ? error->value("code", Json()) : Json();
        if (!domain.is_string() || !code.is_number_integer()) {
            sso_coding::refuse(coder, "authorizationError", "an error");
            return nullptr;
        }
        state->authorizationError_ = Error::make(domain.get<std::string>(), code.get<long>());
    }
    state->scope_ = coder.decodeString("scope");
    state->refreshToken_ = coder.decodeString("refreshToken");
    state->needsTokenRefresh_ = coder.decodeBool("needsTokenRefresh").value_or(false);
    return state;
}

std::vector<KeyedUnarchiver::AllowedClass> SSOAuthState::archiveClasses() {
    auto classes = SSOAuthorizationResponse::archiveClasses();
    for (auto& allowed : SSOTokenResponse::archiveClasses())
        classes.push_back(std::move(allowed));
    classes.push_back(KeyedUnarchiver::allow<SSOAuthState>());
    return classes;
}

}  // namespace quarra
