#include "sso/SSOAuthorizationFlowSessionImplementation.h"

#include <openssl/crypto.h>

#include "log/TVKQuarraLoggerInternal.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOURLQueryComponent.h"

namespace quarra {
namespace {

// Scheme, user, password, host, port and path after dot segments are resolved.
struct RedirectParts {
    std::string scheme, user, password, host, path;
    std::optional<int> port;
    bool operator==(const RedirectParts&) const = default;
};

std::optional<RedirectParts> redirectParts(const Url& url) {
    std::optional<Url> standard = url.resolve(url.string());
    if (!standard)
        return std::nullopt;
    std::string path = standard->path();
    if (path.empty() && (standard->scheme() == "http" || standard->scheme() == "https"))
        path = "/";
    return RedirectParts{standard->scheme(), standard->user(), standard->password(),
                         standard->host(),   std::move(path),  standard->port()};
}

// The URL for a log line: the redirect's secrets (the code, tokens) masked, no fragment.
std::string loggableURL(const Url& url) {
    std::string text = url.string().substr(0, url.string().find_first_of("?#"));
    SSOURLQueryComponent masked;
    for (const auto& [name, value] : SSOURLQueryComponent(url).queryItems()) {
        bool secret = name == "code" || name == "access_token" || name == "id_token" ||
                      name == "refresh_token";
        masked.addParameter(name, secret ? "***" : value);
    }
    std::string query = masked.URLEncodedParameters();
    return query.empty() ? text : text + "?" + query;
}

// The redirect's parameters, read as the form data they are (RFC 6749 appendix B): "+" is a space.
Json redirectParameters(const Url& url) {
    std::string query = url.query().value_or("");
    std::string formQuery;
    formQuery.reserve(query.size());
    for (char c : query) {
        if (c == '+')
            formQuery += "%20";
        else
            formQuery += c;
    }
    return SSOURLQueryComponent(url.withQuery(formQuery)).dictionaryValue();
}

// Equal texts, compared in time that does not depend on where they differ.
bool sameState(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (!a || !b)
        return !a && !b;
    return a->size() == b->size() && CRYPTO_memcmp(a->data(), b->data(), a->size()) == 0;
}

}  // namespace

SSOAuthorizationFlowSessionImplementation::SSOAuthorizationFlowSessionImplementation(
    SSOAuthorizationRequest request)
    : request_(std::move(request)) {}

void SSOAuthorizationFlowSessionImplementation::presentAuthorizationWithExternalUserAgent(
    std::shared_ptr<SSOExternalUserAgent> agent, SSOAuthorizationCallback callback) {
    {
        std::lock_guard lock(mutex_);
        externalUserAgent_ = agent;
        pendingauthorizationFlowCallback_ = std::move(callback);
    }
    bool started = agent && agent->presentExternalUserAgentRequest(request_, shared_from_this());
    if (!started) {
        didFinishWithResponse(
            nullptr, SSOErrorUtilities::errorWithCode(SSOErrorCodeBrowserUnavailable, nullptr,
                                                      "Unable to open the web browser."));
    }
}

bool SSOAuthorizationFlowSessionImplementation::shouldHandleURL(const Url& url) const {
    if (!request_.redirectURL())
        return false;
    auto given = redirectParts(url);
    auto expected = redirectParts(*request_.redirectURL());
    return given && expected && *given == *expected;
}

bool SSOAuthorizationFlowSessionImplementation::isWaiting() const {
    std::lock_guard lock(mutex_);
    return pendingauthorizationFlowCallback_ && !finishing_;
}

void SSOAuthorizationFlowSessionImplementation::cancel() {
    cancelWithError(SSOErrorUtilities::errorWithCode(SSOErrorCodeUserCancelled));
}

void SSOAuthorizationFlowSessionImplementation::cancelWithError(const ErrorPtr& error) {
    std::shared_ptr<SSOExternalUserAgent> agent;
    {
        std::lock_guard lock(mutex_);
        if (!pendingauthorizationFlowCallback_ || finishing_)
            return;
        finishing_ = true;
        agent = externalUserAgent_;
    }
    auto self = shared_from_this();
    auto finish = [self, error] { self->didFinishWithResponse(nullptr, error); };
    if (agent) {
        agent->dismissExternalUserAgentAnimated(true, finish);
    } else {
        finish();
    }
}

bool SSOAuthorizationFlowSessionImplementation::resumeExternalUserAgentFlowWithURL(
    const Url& url, ErrorPtr& outcome) {
    TVK_LOG_DEBUG("OAUTH Received URL:" + loggableURL(url) +
                  " for request:" + request_.description());
    if (!shouldHandleURL(url))
        return false;
    Json query = redirectParameters(url);
    std::shared_ptr<SSOAuthorizationResponse> response =
        std::make_shared<SSOAuthorizationResponse>(request_, query);
    const bool stateMatches = sameState(request_.state(), response->state());
    // A refusal without the flow's state is not the provider's: any local program can send one to
    // a loopback listener. It is not taken, and the flow goes on waiting for the real redirect.
    if (query.contains(SSOOAuthErrorFieldError) && !stateMatches)
        return false;
    std::shared_ptr<SSOExternalUserAgent> agent;
    {
        std::lock_guard lock(mutex_);
        // A redirect for a flow that has its outcome already is not taken: the caller learns that
        // the URL went nowhere, and the first outcome stands.
        if (!pendingauthorizationFlowCallback_ || finishing_)
            return false;
        finishing_ = true;
        agent = externalUserAgent_;
    }

    ErrorPtr error;
    if (!stateMatches) {
        Json userInfo = query;
        userInfo[LocalizedDescriptionKey] = "State mismatch, expecting " +
                                            request_.state().value_or("(null)") + " but got " +
                                            response->state().value_or("(null)") +
                                            " in authorization response " + response->description();
        error = Error::make(SSOOAuthAuthorizationErrorDomain, SSOOAuthErrorStateMismatch,
                            std::move(userInfo));
        response = nullptr;
    } else if (query.contains(SSOOAuthErrorFieldError)) {
        error = SSOErrorUtilities::OAuthErrorWithDomain(SSOOAuthAuthorizationErrorDomain, query);
        response = nullptr;
    }
    outcome = error;
    auto self = shared_from_this();
    auto finish = [self, response, error] { self->didFinishWithResponse(response, error); };
    if (agent) {
        agent->dismissExternalUserAgentAnimated(true, finish);
    } else {
        finish();
    }
    return true;
}

void SSOAuthorizationFlowSessionImplementation::failExternalUserAgentFlowWithError(
    const ErrorPtr& error) {
    didFinishWithResponse(nullptr, error);
}

void SSOAuthorizationFlowSessionImplementation::didFinishWithResponse(
    const std::shared_ptr<SSOAuthorizationResponse>& response, const ErrorPtr& error) {
    SSOAuthorizationCallback callback;
    std::shared_ptr<SSOExternalUserAgent> agent;
    {
        std::lock_guard lock(mutex_);
        callback = std::move(pendingauthorizationFlowCallback_);
        pendingauthorizationFlowCallback_ = nullptr;
        agent = std::move(externalUserAgent_);
        externalUserAgent_ = nullptr;
        finishing_ = true;
    }
    if (callback)
        callback(response, error);
}

}  // namespace quarra
