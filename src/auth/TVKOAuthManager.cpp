#include "auth/TVKOAuthManager.h"

#include <strings.h>

#include <atomic>

#include "auth/KeychainItemStore.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "platform/KeyedArchiver.h"
#include "quarra/Result.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOExternalUserAgentLinux.h"
#include "sso/SSOServiceDiscovery.h"

namespace quarra {
namespace {

// A token in a log line: only that it is there.
std::string maskedToken(const std::string& token) {
    return "[" + std::to_string(token.size()) + " characters]";
}

void deliver(const TVKOAuthManager::Handler& handler, Json reply, ErrorPtr error) {
    DispatchQueue::main()->async([handler, reply = std::move(reply), error = std::move(error)] {
        if (handler)
            handler(reply, error);
    });
}

ErrorPtr invalidConfigurationError(const std::string& detail) {
    return Error::make(TVKAuthorizationErrorDomain, TVKAuthorizationInvalidConfigurationErrorCode,
                       Json{{LocalizedDescriptionKey, "Invalid authorization configuration"},
                            {"DebugDescription", detail}});
}

}  // namespace

TVKOAuthManager& TVKOAuthManager::sharedInstance() {
    static TVKOAuthManager* instance = new TVKOAuthManager();
    return *instance;
}

TVKOAuthManager::TVKOAuthManager() {
    initConfig();
    loadState();
}

void TVKOAuthManager::initConfig() {
    const Json info = Bundle::main().infoDictionary();
    const Json clientId = info.value("com.tovik.oauth.client_id", Json());
    const Json redirect = info.value("com.tovik.oauth.redirect_uri", Json());
    std::lock_guard lock(mutex_);
    clientId_ = clientId.is_string() ? std::optional(clientId.get<std::string>()) : std::nullopt;
    redirectURL_ = redirect.is_string() ? Url::parse(redirect.get<std::string>()) : std::nullopt;
}

void TVKOAuthManager::loadState() {
    auto stored = KeychainItemStore::getOAuthState();
    if (!stored) {
        // Unreadable is not corrupt: the item stays for a later launch.
        TVK_LOG_ERROR("OAUTH could not read the stored state: " + stored.error()->description());
        return;
    }
    const std::optional<Bytes>& data = *stored;
    if (!data)
        return;
    std::shared_ptr<SSOAuthState> state;
    ErrorPtr error;
    if (auto document = parseJson(
            std::string_view(reinterpret_cast<const char*>(data->data()), data->size()))) {
        auto decoded = KeyedUnarchiver::unarchivedObject<SSOAuthState>(
            *document, SSOAuthState::archiveClasses());
        state = decoded.valueOr(nullptr);
        error = decoded.error();
    } else {
        error = document.error();
    }
    KeychainItemStore item(KeychainItemStore::OAuthIdentifer());
    std::string username = item.objectForKey(KeychainAttribute::Account);
    if (!state || username.empty()) {
        TVK_LOG_ERROR("OAUTH the stored state is unusable and is deleted: " +
                      (error ? error->description() : std::string("no user")));
        if (ErrorPtr failure = KeychainItemStore::setOAuthState(std::nullopt))
            TVK_LOG_ERROR("OAUTH could not delete the stored state: " + failure->description());
        return;
    }
    std::lock_guard lock(mutex_);
    authState_ = std::move(state);
    authStateUsername_ = std::move(username);
}

std::optional<std::string> TVKOAuthManager::clientId() const {
    std::lock_guard lock(mutex_);
    return clientId_;
}

std::optional<Url> TVKOAuthManager::redirectURL() const {
    std::lock_guard lock(mutex_);
    return redirectURL_;
}

std::shared_ptr<SSOAuthState> TVKOAuthManager::authState() const {
    std::lock_guard lock(mutex_);
    return authState_;
}

std::optional<std::string> TVKOAuthManager::authStateUsername() const {
    std::lock_guard lock(mutex_);
    return authStateUsername_;
}

std::shared_ptr<SSOAuthorizationFlowSession> TVKOAuthManager::currentAuthorizationFlow() const {
    std::lock_guard lock(mutex_);
    return currentAuthorizationFlow_;
}

ErrorPtr TVKOAuthManager::setAuthorizationTimeLimit(std::chrono::milliseconds limit) {
    // None would cancel the flow the moment the browser opens.
    if (limit <= std::chrono::milliseconds::zero()) {
        return invalidConfigurationError("The sign-in time limit must be positive (" +
                                         std::to_string(limit.count()) + " ms).");
    }
    std::lock_guard lock(mutex_);
    authorizationTimeLimit_ = limit;
    return nullptr;
}

std::chrono::milliseconds TVKOAuthManager::authorizationTimeLimit() const {
    std::lock_guard lock(mutex_);
    return authorizationTimeLimit_;
}

void TVKOAuthManager::cancelAuthorization() {
    std::shared_ptr<SSOAuthorizationFlowSessionImplementation> flow;
    {
        std::lock_guard lock(mutex_);
        flow = std::move(currentAuthorizationFlow_);
        currentAuthorizationFlow_ = nullptr;
    }
    if (flow)
        flow->cancel();
}

void TVKOAuthManager::setExternalUserAgentFactory(UserAgentFactory factory) {
    std::lock_guard lock(mutex_);
    agentFactory_ = std::move(factory);
}

void TVKOAuthManager::authorizeUserWithProfile(const Json& profile, const std::string& username,
                                               Handler handler) {
    const Json metadata = profile.is_object() ? profile.value("as_metadata", Json()) : Json();
    auto discovery = SSOServiceDiscovery::fromDictionary(metadata);
    if (!discovery) {
        clearAuthState();
        if (handler)
            handler(nullptr, sdkErrorForOAuthError(discovery.error()));
        return;
    }
    const std::string endpoint = jsonString(profile, "quarra_session_endpoint");

    auto storedFor = authStateUsername();
    if (authState() && storedFor == username) {
        DispatchQueue::global(QueuePriority::Background)
            ->async([this, endpoint, handler = std::move(handler)] {
                TVK_LOG_DEBUG("OAUTH Stored tokens found");
                exchangeTokenForSession(endpoint, handler);
            });
        return;
    }
    // Another user's tokens must never sign this one in.
    clearAuthState();

    std::optional<std::vector<std::string>> scopes;
    const Json supported = metadata.value("scopes_supported", Json());
    if (supported.is_array()) {
        scopes.emplace();
        for (const Json& scope : supported) {
            if (scope.is_string())
                scopes->push_back(scope.get<std::string>());
        }
    }
    UserAgentFactory factory;
    std::optional<std::string> clientId;
    std::optional<Url> redirect;
    {
        std::lock_guard lock(mutex_);
        factory = agentFactory_;
        clientId = clientId_;
        redirect = redirectURL_;
    }
    if (!clientId || !redirect) {
        deliver(handler, nullptr,
                invalidConfigurationError("The host names no OAuth client id or redirect URI."));
        return;
    }
    std::shared_ptr<SSOExternalUserAgent> agent =
        factory ? factory() : std::make_shared<SSOExternalUserAgentLinux>();
    if (!agent) {
        deliver(handler, nullptr, invalidConfigurationError("No external user agent."));
        return;
    }
    auto request = SSOAuthorizationRequest::create(
        SSOServiceConfiguration(*discovery), *clientId, std::nullopt, scopes,
        agent->redirectURLForRequest(*redirect), SSOResponseTypeCode);
    if (!request) {
        deliver(handler, nullptr, invalidConfigurationError("No authorization request."));
        return;
    }
    TVK_LOG_DEBUG("OAUTH No stored tokens found, performing full OAuth flow");
    presentFlow(*request, std::move(agent), username, endpoint, std::move(handler));
}

void TVKOAuthManager::presentFlow(const SSOAuthorizationRequest& request,
                                  std::shared_ptr<SSOExternalUserAgent> agent,
                                  const std::string& username, const std::string& endpoint,
                                  Handler handler) {
    std::uint64_t generation;
    std::shared_ptr<SSOAuthorizationFlowSessionImplementation> previous;
    std::chrono::milliseconds limit;
    {
        std::lock_guard lock(mutex_);
        generation = ++flowGeneration_;
        previous = std::move(currentAuthorizationFlow_);
        currentAuthorizationFlow_ = nullptr;
        limit = authorizationTimeLimit_;
    }
    // One browser step at a time: the one before hears that it was cancelled.
    if (previous)
        previous->cancel();
    // Set by the flow's end, which may come before the flow is returned (a browser that does not
    // start).
    auto ended = std::make_shared<std::atomic<bool>>(false);
    auto flow = SSOAuthState::authStateByPresentingAuthorizationRequest(
        request, std::move(agent),
        [this, username, endpoint, handler, generation, ended](
            const std::shared_ptr<SSOAuthState>& state, const ErrorPtr& error) {
            *ended = true;
            {
                std::lock_guard lock(mutex_);
                if (flowGeneration_ == generation)
                    currentAuthorizationFlow_ = nullptr;
            }
            if (error || !state) {
                ErrorPtr mapped = sdkErrorForOAuthError(
                    error ? error : SSOErrorUtilities::errorWithCode(SSOErrorCodeNoTokenResponse));
                TVK_LOG_ERROR("OAUTH error: " + mapped->description());
                if (handler)
                    handler(nullptr, mapped);
                return;
            }
            saveAuthState(state, username);
            DispatchQueue::global(QueuePriority::Background)->async([this, endpoint, handler] {
                exchangeTokenForSession(endpoint, handler);
            });
        });
    {
        std::lock_guard lock(mutex_);
        if (flowGeneration_ != generation || *ended)
            return;
        currentAuthorizationFlow_ = flow;
    }
    std::weak_ptr<SSOAuthorizationFlowSessionImplementation> weak = flow;
    DispatchQueue::main()->after(limit, [weak, limit] {
        if (auto flow = weak.lock()) {
            flow->cancelWithError(SSOErrorUtilities::errorWithCode(
                SSOErrorCodeBrowserClosed, nullptr,
                "The sign-in in the browser was not finished within " +
                    std::to_string(std::chrono::ceil<std::chrono::seconds>(limit).count()) +
                    " seconds."));
        }
    });
}

bool TVKOAuthManager::resumeOAuthFlowWithURL(const Url& url) {
    std::shared_ptr<SSOAuthorizationFlowSession> flow = currentAuthorizationFlow();
    if (!flow || !flow->resumeAuthorizationFlowWithURL(url))
        return false;
    std::lock_guard lock(mutex_);
    if (currentAuthorizationFlow_.get() == flow.get())
        currentAuthorizationFlow_ = nullptr;
    return true;
}

void TVKOAuthManager::exchangeTokenForSession(const std::string& endpoint, Handler handler) {
    exchangeTokenForSession(endpoint, 2, std::move(handler));
}

void TVKOAuthManager::exchangeTokenForSession(const std::string& endpoint, unsigned long numRetries,
                                              Handler handler) {
    std::shared_ptr<SSOAuthState> state = authState();
    std::optional<std::string> username = authStateUsername();
    if (!state || !username) {
        deliver(handler, nullptr,
                SSOErrorUtilities::errorWithCode(
                    SSOErrorCodeNoRefreshToken, nullptr,
                    "Unable to refresh expired token without a refresh token."));
        return;
    }
    state->performActionWithFreshTokens([this, state, username = *username, endpoint, numRetries,
                                         handler](const std::optional<std::string>& accessToken,
                                                  const std::optional<std::string>& idToken,
                                                  const ErrorPtr& error) {
        const std::optional<std::string>& token = idToken ? idToken : accessToken;
        if (error || !token) {
            ErrorPtr mapped = sdkErrorForOAuthError(
                error ? error
                      : SSOErrorUtilities::errorWithCode(
                            SSOErrorCodeNoRefreshToken, nullptr,
                            "Unable to refresh expired token without a refresh token."));
            TVK_LOG_ERROR("OAUTH error: " + mapped->description());
            clearAuthStateIfCurrent(state);
            if (handler)
                handler(nullptr, mapped);
            return;
        }
        TVK_LOG_DEBUG(std::string("OAUTH Exchanging ") + (idToken ? "idToken" : "accessToken") +
                      " for session ID:\n\t" + maskedToken(*token));
        TVKQuarraManager::sharedInstance().requestExchangeTokenForSessionEndpoint(
            endpoint, *token, clientId().value_or(""),
            [this, state, username, endpoint, numRetries, handler](const Json& reply,
                                                                   const ErrorPtr& error) {
                if (error &&
                    error->is(TVKAuthorizationErrorDomain, TVKAuthorizationExpiredTokenErrorCode) &&
                    numRetries > 0) {
                    state->setNeedsTokenRefresh();
                    exchangeTokenForSession(endpoint, numRetries - 1, handler);
                    return;
                }
                if (error) {
                    TVK_LOG_ERROR("OAUTH Error exchanging token for session ID:" +
                                  error->description());
                    clearAuthStateIfCurrent(state);
                } else {
                    // Every later sign-in from this state refreshes the tokens first.
                    state->setNeedsTokenRefresh();
                    saveAuthState(state, username);
                }
                deliver(handler, reply, error);
            });
    });
}

void TVKOAuthManager::saveAuthState(std::shared_ptr<SSOAuthState> state,
                                    const std::string& username) {
    std::string archive = KeyedArchiver::archivedData(*state);
    {
        std::lock_guard lock(mutex_);
        authState_ = std::move(state);
        authStateUsername_ = username;
    }
    // The owner first: the state item is written whole with it.
    KeychainItemStore item(KeychainItemStore::OAuthIdentifer());
    if (ErrorPtr error = item.setObject(username, KeychainAttribute::Account))
        TVK_LOG_ERROR("OAUTH could not store the state's user: " + error->description());
    if (ErrorPtr error = KeychainItemStore::setOAuthState(toBytes(archive)))
        TVK_LOG_ERROR("OAUTH could not store the state: " + error->description());
}

void TVKOAuthManager::clearAuthState() {
    {
        std::lock_guard lock(mutex_);
        if (!authState_)
            return;
        authState_ = nullptr;
        authStateUsername_.reset();
    }
    if (ErrorPtr error = KeychainItemStore::setOAuthState(std::nullopt))
        TVK_LOG_ERROR("OAUTH could not delete the stored state: " + error->description());
}

void TVKOAuthManager::clearAuthStateIfCurrent(const std::shared_ptr<SSOAuthState>& state) {
    {
        std::lock_guard lock(mutex_);
        if (authState_ != state)
            return;
    }
    clearAuthState();
}

ErrorPtr TVKOAuthManager::sdkErrorForOAuthError(const ErrorPtr& error) {
    if (error && error->domain() == SSOGeneralErrorDomain &&
        (error->code() == SSOErrorCodeUserCancelled ||
         error->code() == SSOErrorCodeBrowserClosed)) {
        return Error::make(TVKAuthorizationErrorDomain, TVKAuthorizationUserCanceledErrorCode,
                           Json::object(), error);
    }
    return error;
}

bool TVKOAuthManager::appBundleHasURIScheme(const std::string& scheme) {
    const Json types = Bundle::main().objectForInfoDictionaryKey("CFBundleURLTypes");
    if (!types.is_array())
        return false;
    for (const Json& type : types) {
        const Json schemes = type.is_object() ? type.value("CFBundleURLSchemes", Json()) : Json();
        if (!schemes.is_array())
            continue;
        for (const Json& candidate : schemes) {
            if (candidate.is_string() && candidate.get<std::string>().size() == scheme.size() &&
                strcasecmp(candidate.get<std::string>().c_str(), scheme.c_str()) == 0)
                return true;
        }
    }
    return false;
}

}  // namespace quarra
