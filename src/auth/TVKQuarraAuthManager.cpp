#include "auth/TVKQuarraAuthManager.h"

#include <syslog.h>

#include <cerrno>

#include "auth/KeychainItemStore.h"
#include "auth/TVKBiometricAuthenticationManager.h"
#include "auth/TVKOAuthManager.h"
#include "auth/TVKPasscodeManager.h"
#include "quarra/TVKErrors.h"
#include "auth/ui/TVKLoginViewController.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraEMMManager.h"
#include "core/TVKQuarraManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/Dispatch.h"
#include "platform/Files.h"
#include "platform/KeychainValue.h"
#include "platform/URLSession.h"
#include "platform/UserDefaults.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Window.h"
#include "sso/SSOErrorUtilities.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {
namespace {

// How many re-authentications a switch may take before it gives up on the Quarra.
constexpr unsigned long kSwitchRetries = 3;

std::string sdkText(const std::string& key) {
    return Bundle::sdk().localizedString(key);
}

void call(const TVKUserHandler& handler, const TVKUserInternalPtr& user, const ErrorPtr& error) {
    if (handler)
        handler(user, error);
}

ErrorPtr authenticationRequiredError() {
    return Error::make(TVKAuthorizationErrorDomain, TVKAuthorizationAuthenticationRequiredErrorCode,
                       sdkText("The operation requires the user to authenticate"));
}

ErrorPtr noDefaultQuarraError() {
    // Not looked up in the string table, as earlier versions did.
    return Error::make(TVKQuarraErrorDomain, TVKQuarraUnavailableErrorCode,
                       "No default quarra could be determined");
}

bool isCurrentQuarra(const TVKUserInternalPtr& user, std::uint64_t Id) {
    return user && user->currentQuarra() && user->currentQuarra()->Id() == Id;
}

// The Quarra's answer that the session it was given is not (or no longer) good. Only such an
// answer may send the user back to the sign-in; a failure to reach the Quarra says nothing about
// the session.
bool isSessionRejection(const ErrorPtr& error) {
    return error && error->domain() == TVKAuthorizationErrorDomain &&
           (error->code() == TVKAuthorizationInvalidUsernamePasswordErrorCode ||
            error->code() == TVKAuthorizationInvalidSessionErrorCode);
}

}  // namespace

TVKQuarraAuthManager& TVKQuarraAuthManager::sharedInstance() {
    static TVKQuarraAuthManager* instance = new TVKQuarraAuthManager();
    return *instance;
}

TVKQuarraAuthManager::TVKQuarraAuthManager()
    : authDNS_(jsonString(Bundle::sdk().infoDictionary(), "com.tovik.QuarraUrl")) {
    const std::string& frameworkId = TVKQuarraConfigurationManager::sharedInstance().frameworkId();
    biometricUserSelectedKey_ = frameworkId + ".touch_id_user_selected_key";
    biometricEnabledKey_ = frameworkId + ".touch_id_is_enabled_key";
    lastAttemptedUsernameKey_ = frameworkId + ".last_attempted_login_username_key";
}

void TVKQuarraAuthManager::initAuthenticationState() {
    bool offered =
        TVKBiometricAuthenticationManager::sharedInstance().getAuthTypeWithError().valueOr(
            TVKBiometryTypeNone) != TVKBiometryTypeNone;
    if (ErrorPtr error = enableBiometricAuthentication(
            offered && TVKQuarraEMMManager::sharedInstance().isBiometricAuthenticationVisible())) {
        TVK_LOG_ERROR("Could not apply the biometric setting: " + error->description());
    }
    auto username = KeychainItemStore::getUsername();
    if (!username) {
        // Nobody is signed in from here; the stored user stays for a launch that can read it.
        TVK_LOG_ERROR("The keychain cannot be read: " + username.error()->description());
    } else if (*username) {
        auto user = TVKQuarraConfigurationManager::sharedInstance().readUserForUsername(**username);
        if (!user)
            TVK_LOG_ERROR("Could not read the stored user: " + user.error()->description());
        setCurrentUser(std::move(user).valueOr(nullptr));
    }
}

TVKUserInternalPtr TVKQuarraAuthManager::currentUser() const {
    std::lock_guard lock(mutex_);
    return currentUser_;
}

void TVKQuarraAuthManager::setCurrentUser(TVKUserInternalPtr user) {
    std::lock_guard lock(mutex_);
    currentUser_ = std::move(user);
}

Result<std::optional<std::string>> TVKQuarraAuthManager::sessionId() const {
    static auto* stored = new KeychainValue([] { return KeychainItemStore::getSessionId(); });
    return stored->get();
}

std::string TVKQuarraAuthManager::authDNS() const {
    std::lock_guard lock(mutex_);
    return authDNS_;
}

void TVKQuarraAuthManager::setAuthDNS(std::string authDNS) {
    std::lock_guard lock(mutex_);
    authDNS_ = std::move(authDNS);
}

// --- Signing in

void TVKQuarraAuthManager::requireAuthentication(TVKUserHandler handler, TVKUserInternalPtr user) {
    if (!handler)
        return;
    DispatchQueue::main()->async([handler = std::move(handler), user = std::move(user)] {
        handler(user, authenticationRequiredError());
    });
}

void TVKQuarraAuthManager::presentLoginView(TVKUserHandler handler, TVKUserInternalPtr user) {
    if (!TVKLoginViewController::loginViewController()->presentWithHandler(handler))
        requireAuthentication(std::move(handler), std::move(user));
}

void TVKQuarraAuthManager::authenticateWithHandler(TVKUserHandler handler) {
    // One screen at a time: the one on show answers every caller when it ends.
    if (auto screen = shownLoginView()) {
        screen->addHandler(std::move(handler));
        return;
    }
    auto user = currentUser();
    if (!user) {
        presentLoginView(std::move(handler), nullptr);
        return;
    }
    checkAuthTypeForUsername(user->username(), [this, handler = std::move(handler), user](
                                                   long type, const Json& profile,
                                                   const ErrorPtr& error) {
        if (error) {
            call(handler, user, error);
        } else if (type == TVKAuthTypeSingleSignOn) {
            authorizeOAuthUser(user->username(), profile,
                               [this, handler](const TVKUserInternalPtr&, const ErrorPtr& error) {
                                   call(handler, currentUser(), error);
                               });
        } else if (type == TVKAuthTypePassword) {
            presentLoginView(handler, currentUser());
        } else {
            call(handler, currentUser(), authenticationRequiredError());
        }
    });
}

void TVKQuarraAuthManager::cancelSignIn() {
    TVKOAuthManager::sharedInstance().cancelAuthorization();
    if (auto screen = shownLoginView())
        screen->cancelSignIn();
}

void TVKQuarraAuthManager::checkAuthTypeForUsername(const std::string& username,
                                                    AuthTypeHandler handler) {
    TVKQuarraManager::sharedInstance().requestAuthEndpoint(
        "auth/discovery", authDNS(), TVKQuarraRequestMethodPOST, {{"username", username}},
        [handler = std::move(handler)](const Json& response, const ErrorPtr& requestError) {
            long type = TVKAuthTypeUnknown;
            Json profile;
            ErrorPtr error = requestError;
            if (!error) {
                type = authTypeFromResponse(response);
                if (type == TVKAuthTypeSingleSignOn)
                    profile = oauthProfileFromResponse(response);
                if (type == TVKAuthTypeUnknown) {
                    error = Error::make(TVKAuthorizationErrorDomain,
                                        TVKAuthorizationInvalidConfigurationErrorCode,
                                        Json{{LocalizedDescriptionKey,
                                              sdkText("Invalid authorization configuration")},
                                             {TVKInvalidServerResponseKey, response}});
                    TVK_LOG_ERROR("Error retrieving security profile: " + error->description());
                }
            }
            if (handler) {
                DispatchQueue::main()->async([handler, type, profile = std::move(profile), error] {
                    handler(type, profile, error);
                });
            }
        });
}

long TVKQuarraAuthManager::authTypeFromResponse(const Json& response) {
    const std::string type = jsonString(response.value("data", Json()), "auth_type");
    if (type == "password")
        return TVKAuthTypePassword;
    if (type == "sso" && !oauthProfileFromResponse(response).is_null())
        return TVKAuthTypeSingleSignOn;
    return TVKAuthTypeUnknown;
}

Json TVKQuarraAuthManager::oauthProfileFromResponse(const Json& response) {
    if (!response.is_object())
        return nullptr;
    const Json data = response.value("data", Json());
    if (jsonString(data, "auth_type") != "sso")
        return nullptr;
    const Json profiles = data.value("auth_profiles", Json());
    if (!profiles.is_array())
        return nullptr;
    for (const Json& profile : profiles) {
        if (profile.is_object() && !profile.value("as_metadata", Json()).is_null())
            return profile;
    }
    return nullptr;
}

void TVKQuarraAuthManager::loginToAuthServerWithUsername(const std::string& username,
                                                         const std::string& password,
                                                         TVKUserHandler handler) {
    loginToAuthServerWithUsername(username, password, true, std::move(handler));
}

void TVKQuarraAuthManager::loginToAuthServerWithUsername(const std::string& username,
                                                         const std::string& password,
                                                         bool savePassword,
                                                         TVKUserHandler handler) {
    // Decided now: a change of the user's choice while the request runs does not count.
    bool keep = savePassword && biometricAuthenticationUserSelected();
    signInAtAuthServer(username, password, password, keep, std::move(handler));
}

void TVKQuarraAuthManager::signInAtAuthServer(const std::string& username,
                                              const std::string& secret,
                                              std::optional<std::string> password,
                                              bool savePassword, TVKUserHandler handler) {
    TVKQuarraManager::sharedInstance().requestAuthEndpoint(
        "auth/api", authDNS(), TVKQuarraRequestMethodPOST,
        {{"username", username}, {"password", secret}},
        [this, username, password = std::move(password), savePassword,
         handler = std::move(handler)](const Json& response, const ErrorPtr& error) {
            if (error) {
                call(handler, nullptr, error);
                return;
            }
            finalizeAuthorization(authServerResponseToQuarraServerResponse(response), nullptr,
                                  username, password, savePassword, handler);
        });
}

Json TVKQuarraAuthManager::authServerResponseToQuarraServerResponse(const Json& response) {
    if (jsonString(response, "responseStatus") != "SUCCESS")
        return response;
    Json converted = Json::object();
    Json quarraIds = Json::array();
    const Json defaultUrl = response.value("defaultUrl", Json());
    const Json quarras = response.value("quarras", Json());
    for (const Json& quarra : quarras.is_array() ? quarras : Json::array()) {
        auto Id = quarra.is_object() ? identifierFromJson(quarra.value("quarraID", Json()))
                                     : std::nullopt;
        if (!Id)
            continue;
        quarraIds.push_back({{"id", *Id},
                             {"name", jsonString(quarra, "name")},
                             {"url", jsonString(quarra, "dnsName")}});
        // When several Quarras carry the default host, the last one wins.
        if (defaultUrl.is_string() && quarra.value("dnsName", Json()) == defaultUrl)
            converted["quarraId"] = *Id;
    }
    converted["quarraIds"] = std::move(quarraIds);
    if (response.contains("sessionid"))
        converted["sessionId"] = response["sessionid"];
    converted["responseStatus"] = response["responseStatus"];
    return converted;
}

void TVKQuarraAuthManager::finalizeAuthorization(const Json& response, const ErrorPtr& authError,
                                                 const std::string& username,
                                                 const std::optional<std::string>& password,
                                                 bool savePassword, const TVKUserHandler& handler) {
    if (authError) {
        call(handler, nullptr, authError);
        return;
    }
    Json reply = response;
    const Json quarraIds = reply.value("quarraIds", Json());
    if (reply.is_object() && !reply.contains("quarraId") && quarraIds.is_array() &&
        !quarraIds.empty() && quarraIds.front().is_object()) {
        reply["quarraId"] = quarraIds.front().value("id", Json());
        TVK_LOG_DEBUG(
            "No default quarra in auth response (presumably this is a Corvaline "
            "user)--using first quarra in auth response as default quarra (quarraId=" +
            reply["quarraId"].dump() + ")");
    }
    if (ErrorPtr error = updateSessionInfo(username, password, savePassword, reply)) {
        if (error->is(TVKQuarraErrorDomain, TVKQuarraUnavailableErrorCode)) {
            if (ErrorPtr logoutError = logout())
                TVK_LOG_ERROR("Could not log out: " + logoutError->description());
        }
        call(handler, nullptr, error);
        return;
    }
    auto& crypt = TVKQuarraCryptManager::sharedInstance();
    if (ErrorPtr keyError = crypt.generateFileEncryptionKeyForUsernameIfNeeded(username))
        TVK_LOG_ERROR("Could not make the file key of the user: " + keyError->description());
    crypt.encryptedUsername(username);
    call(handler, currentUser(), nullptr);
}

ErrorPtr TVKQuarraAuthManager::updateSessionInfo(const std::string& username,
                                                 const std::optional<std::string>& password,
                                                 bool savePassword, const Json& response) {
    // Everything is checked before anything is stored: a reply that cannot make a whole session
    // leaves the stored one as it was.
    const Json sessionId = response.value("sessionId", Json());
    if (!sessionId.is_string() || sessionId.get_ref<const std::string&>().empty())
        return TVKQuarraManager::defaultError(TVKQuarraManager::redactedResponse(response, ""));
    std::vector<TVKQuarraPtr> quarras = quarrasFromResponse(response.value("quarraIds", Json()));
    auto currentId = identifierFromJson(response.value("quarraId", Json()));
    TVKQuarraPtr currentQuarra;
    for (const auto& quarra : quarras) {
        if (currentId && quarra->Id() == *currentId) {
            currentQuarra = quarra;
            break;
        }
    }
    if (!currentQuarra)
        return noDefaultQuarraError();
    std::uint64_t userId = identifierFromJson(response.value("userId", Json())).value_or(0);

    if (ErrorPtr error =
            updateAuthCredentials(username, password, savePassword, sessionId.get<std::string>())) {
        return error;
    }
    auto user = std::make_shared<TVKUserInternal>(username, std::move(quarras),
                                                  std::move(currentQuarra), userId);
    setCurrentUser(user);
    if (ErrorPtr archiveError =
            TVKQuarraConfigurationManager::sharedInstance().writeUser(*user, username)) {
        // The session works for this run; only the restore after a restart is lost.
        TVK_LOG_ERROR("Could not store the signed-in user: " + archiveError->description());
    }
    return nullptr;
}

ErrorPtr TVKQuarraAuthManager::updateAuthCredentials(const std::string& username,
                                                     const std::optional<std::string>& password,
                                                     bool savePassword,
                                                     const std::string& sessionId) {
    // A password stays only beside the user who typed it and chose to keep it.
    auto stored = KeychainItemStore::getUsername();
    if (!stored)
        return stored.error();
    bool otherUser = *stored != username;
    ErrorPtr error = KeychainItemStore::setUsername(username);
    if (!error && password && savePassword) {
        error = KeychainItemStore::setPassword(*password);
    } else if (!error && (password || otherUser)) {
        error = KeychainItemStore::setPassword("");
    }
    if (!error)
        error = KeychainItemStore::setSessionId(sessionId);
    if (error) {
        // Half a session (a user name without its session, or the last user's session under the
        // new name) must not stay behind to be taken for a sign-in.
        TVK_LOG_ERROR("Could not store the session: " + error->description());
        if (ErrorPtr resetError = KeychainItemStore::resetAuthData())
            TVK_LOG_ERROR("Could not remove the session: " + resetError->description());
        return error;
    }
    sessionIsInvalid_ = false;
    return nullptr;
}

std::vector<TVKQuarraPtr> TVKQuarraAuthManager::quarrasFromResponse(const Json& quarraIds) {
    std::vector<TVKQuarraPtr> quarras;
    if (!quarraIds.is_array())
        return quarras;
    for (const Json& entry : quarraIds) {
        auto Id = entry.is_object() ? identifierFromJson(entry.value("id", Json())) : std::nullopt;
        if (Id) {
            quarras.push_back(std::make_shared<TVKQuarra>(*Id, jsonString(entry, "name"),
                                                          jsonString(entry, "url")));
        }
    }
    return quarras;
}

void TVKQuarraAuthManager::authorizeOAuthUser(const std::string& username, const Json& authProfile,
                                              TVKUserHandler handler) {
    std::shared_ptr<PendingSingleSignOn> pending;
    {
        std::lock_guard lock(mutex_);
        if (singleSignOn_ && singleSignOn_->username == username) {
            singleSignOn_->handlers.push_back(std::move(handler));
            return;
        }
        pending = std::make_shared<PendingSingleSignOn>();
        pending->username = username;
        pending->handlers.push_back(std::move(handler));
        singleSignOn_ = pending;
    }
    authorizeOAuthUser(username, authProfile, 2,
                       [this, pending](const TVKUserInternalPtr& user, const ErrorPtr& error) {
                           std::vector<TVKUserHandler> handlers;
                           {
                               std::lock_guard lock(mutex_);
                               if (singleSignOn_ == pending)
                                   singleSignOn_ = nullptr;
                               handlers = std::move(pending->handlers);
                           }
                           for (const TVKUserHandler& waiting : handlers)
                               call(waiting, user, error);
                       });
}

void TVKQuarraAuthManager::authorizeOAuthUser(const std::string& username, const Json& authProfile,
                                              unsigned long numRetries, TVKUserHandler handler) {
    TVKOAuthManager::sharedInstance().authorizeUserWithProfile(
        authProfile, username,
        [this, username, authProfile, numRetries, handler = std::move(handler)](
            const Json& reply, const ErrorPtr& error) {
            if (error && error->is(SSOOAuthTokenErrorDomain, SSOOAuthErrorInvalidGrant) &&
                numRetries > 0) {
                authorizeOAuthUser(username, authProfile, numRetries - 1, handler);
                return;
            }
            finalizeAuthorization(reply, error, username, std::nullopt, false, handler);
        });
}

bool TVKQuarraAuthManager::resumeOAuthFlowWithURL(const Url& url) {
    return TVKOAuthManager::sharedInstance().resumeOAuthFlowWithURL(url);
}

bool TVKQuarraAuthManager::isShowingLoginView() const {
    return shownLoginView() != nullptr;
}

std::shared_ptr<TVKLoginViewController> TVKQuarraAuthManager::shownLoginView() const {
    auto window = ui::Application::shared().keyWindow();
    return window ? std::dynamic_pointer_cast<TVKLoginViewController>(window->rootViewController())
                  : nullptr;
}

// --- Quarras, session and logout

void TVKQuarraAuthManager::loginToQuarraServer(TVKQuarraPtr quarra, bool forceRefreshSession,
                                               TVKUserHandler handler) {
    auto user = currentUser();
    if (!user) {
        authenticateWithHandler([this, quarra = std::move(quarra), handler = std::move(handler)](
                                    const TVKUserInternalPtr& user, const ErrorPtr& error) {
            if (error) {
                call(handler, nullptr, error);
            } else if (quarra && !isCurrentQuarra(currentUser(), quarra->Id())) {
                switchCurrentQuarra(quarra, kSwitchRetries, handler);
            } else {
                call(handler, user, nullptr);
            }
        });
        return;
    }
    if (!forceRefreshSession && quarra && isCurrentQuarra(user, quarra->Id())) {
        call(handler, user, nullptr);
        return;
    }
    switchCurrentQuarra(std::move(quarra), kSwitchRetries, std::move(handler));
}

void TVKQuarraAuthManager::switchCurrentQuarra(TVKQuarraPtr quarra, unsigned long numRetries,
                                               TVKUserHandler handler) {
    const std::uint64_t targetId = quarra ? quarra->Id() : 0;
    if (numRetries == 0) {
        call(handler, currentUser(), quarraUnavailableErrorForQuarraId(targetId));
        return;
    }
    auto stored = KeychainItemStore::getSessionId();
    if (!stored) {
        // The session may well be there: the user stays signed in and the caller hears why.
        call(handler, currentUser(), stored.error());
        return;
    }
    std::optional<std::string> sessionId = std::move(*stored);
    if (!sessionId) {
        auto user = currentUser();
        TVK_LOG_ERROR("Unexpected nil sessionId for username:" +
                      (user ? user->username() : std::string("(null)")));
        if (ErrorPtr logoutError = logout())
            TVK_LOG_ERROR("Could not log out: " + logoutError->description());
        call(handler, nullptr, authenticationRequiredError());
        return;
    }
    auto found = quarraWithId(targetId);
    if (!found) {
        call(handler, currentUser(), found.error());
        return;
    }
    TVKQuarraPtr target = *found;
    if (sessionIsInvalid_) {
        reauthenticateAndSwitch(std::move(quarra), numRetries, std::move(handler));
        return;
    }
    auto user = currentUser();
    std::string username;
    if (user) {
        username = user->username();
    } else {
        auto storedName = KeychainItemStore::getUsername();
        if (!storedName) {
            call(handler, nullptr, storedName.error());
            return;
        }
        username = storedName->value_or("");
    }
    TVKQuarraManager::sharedInstance().requestQuarraEndpointInternal(
        "auth", target, TVKQuarraRequestMethodPOST,
        {{"username", username}, {"password", *sessionId}}, TVKQuarraParameterEncodingFormURL,
        [this, quarra = std::move(quarra), targetId, numRetries, handler = std::move(handler),
         username](const Json& response, const ErrorPtr& requestError) {
            finalizeAuthorization(response, requestError, username, std::nullopt, false,
                                  [this, quarra, targetId, numRetries, handler](
                                      const TVKUserInternalPtr& user, const ErrorPtr& error) {
                                      if (isSessionRejection(error)) {
                                          sessionIsInvalid_ = true;
                                          reauthenticateAndSwitch(quarra, numRetries, handler);
                                          return;
                                      }
                                      if (!error && !isCurrentQuarra(user, targetId)) {
                                          // The Quarra signed the user in elsewhere: not the one
                                          // asked for.
                                          call(handler, user,
                                               quarraUnavailableErrorForQuarraId(targetId));
                                          return;
                                      }
                                      call(handler, user, error);
                                  });
        });
}

void TVKQuarraAuthManager::reauthenticateAndSwitch(TVKQuarraPtr quarra, unsigned long numRetries,
                                                   TVKUserHandler handler) {
    const std::uint64_t targetId = quarra ? quarra->Id() : 0;
    authenticateWithHandler(
        [this, quarra = std::move(quarra), targetId, numRetries, handler = std::move(handler)](
            const TVKUserInternalPtr& user, const ErrorPtr& error) {
            if (error) {
                call(handler, user, error);
            } else if (isCurrentQuarra(currentUser(), targetId)) {
                call(handler, user, nullptr);
            } else {
                switchCurrentQuarra(quarra, numRetries - 1, handler);
            }
        });
}

Result<TVKQuarraPtr> TVKQuarraAuthManager::quarraWithId(std::uint64_t Id) const {
    if (auto user = currentUser()) {
        for (const auto& quarra : user->quarras()) {
            if (quarra->Id() == Id)
                return quarra;
        }
    }
    return Error::make(TVKAuthorizationErrorDomain, TVKAuthorizationInsufficientAccessErrorCode,
                       sdkText("Could not switch quarras: Insufficient access"));
}

ErrorPtr TVKQuarraAuthManager::quarraUnavailableErrorForQuarraId(std::uint64_t Id) {
    return Error::make(
        TVKQuarraErrorDomain, TVKQuarraUnavailableErrorCode,
        Json{{LocalizedDescriptionKey, sdkText("The selected quarra is unavailable")},
             {TVKQuarraRequestedQuarraIDKey, Id}});
}

void TVKQuarraAuthManager::isRemotelyAuthenticatedWithHandler(RemoteAuthenticationHandler handler) {
    auto user = currentUser();
    if (!user) {
        if (handler)
            handler(false, nullptr, nullptr);
        return;
    }
    TVKQuarraManager::sharedInstance().requestQuarraEndpointInternal(
        "objects/users/me", user->currentQuarra(), TVKQuarraRequestMethodGET,
        {{"exclude_app_licensing", "true"}, {"exclude_quarra_membership", "true"}},
        TVKQuarraParameterEncodingFormURL,
        [this, handler = std::move(handler)](const Json&, const ErrorPtr& error) {
            if (!handler)
                return;
            bool rejected = error && error->is(TVKAuthorizationErrorDomain,
                                               TVKAuthorizationInvalidSessionErrorCode);
            handler(!error, currentUser(), rejected ? nullptr : error);
        });
}

void TVKQuarraAuthManager::refreshUserWithHandler(TVKUserHandler handler) {
    if (!currentUser()) {
        call(handler, nullptr, authenticationRequiredError());
        return;
    }
    isRemotelyAuthenticatedWithHandler(
        [this, handler = std::move(handler)](bool authenticated, const TVKUserInternalPtr& user,
                                             const ErrorPtr& error) {
            if (error && error->domain() == KeychainErrorDomain) {
                // The session could not be read: no reason to ask the user to sign in again.
                call(handler, user, error);
            } else if (authenticated && user) {
                auto sessionId = KeychainItemStore::getSessionId();
                if (!sessionId || !*sessionId) {
                    // Never an empty secret sent in place of one that could not be read.
                    call(handler, user,
                         sessionId ? authenticationRequiredError() : sessionId.error());
                    return;
                }
                // The live session signs in at the sign-in host; it is no password to keep.
                signInAtAuthServer(user->username(), **sessionId, std::nullopt, false, handler);
            } else {
                authenticateWithHandler(handler);
            }
        });
}

ErrorPtr TVKQuarraAuthManager::logout() {
    auto user = currentUser();
    if (isLoggingOut_.exchange(true))
        return nullptr;
    if (!user) {
        // What an earlier logout could not delete (the keychain was locked) goes now. Nobody is
        // told of a sign-out: there was none.
        ErrorPtr error = KeychainItemStore::resetAuthData();
        isLoggingOut_ = false;
        return error;
    }
    TVKQuarraManager::sharedInstance().cancelAllRequests();
    ErrorPtr error = clearCurrentUser();
    isLoggingOut_ = false;
    if (auto handler = logoutHandler())
        handler(user);
    return error;
}

void TVKQuarraAuthManager::setLogoutHandler(LogoutHandler handler) {
    std::lock_guard lock(mutex_);
    logoutHandler_ = std::move(handler);
}

TVKQuarraAuthManager::LogoutHandler TVKQuarraAuthManager::logoutHandler() const {
    std::lock_guard lock(mutex_);
    return logoutHandler_;
}

ErrorPtr TVKQuarraAuthManager::clearCurrentUser() {
    // Every step is tried whatever the others did; the first failure is the answer.
    ErrorPtr first;
    auto keep = [&first](const char* what, ErrorPtr error) {
        if (!error)
            return;
        TVK_LOG_ERROR(std::string("Could not ") + what + " at logout: " + error->description());
        if (!first)
            first = std::move(error);
    };
    if (auto user = currentUser()) {
        // No archive at all (its write had failed) is no failure.
        ErrorPtr error =
            TVKQuarraConfigurationManager::sharedInstance().deleteTransientInfoForUsername(
                user->username());
        if (error && !error->is(PosixErrorDomain, ENOENT))
            keep("remove the stored user", std::move(error));
    }
    TVKOAuthManager::sharedInstance().clearAuthState();
    keep("remove the session", KeychainItemStore::resetAuthData());
    UserDefaults& defaults = UserDefaults::standard();
    defaults.removeObjectForKey(biometricUserSelectedKey_);
    keep("save the settings", defaults.synchronize());
    setCurrentUser(nullptr);
    // Thumbnails are cached by URL alone: the next user must not be shown this user's.
    TVKQuarraManager::clearThumbnailMemoryCache();
    // Nor sent this session's cookies.
    HTTPCookieStorage::removeAllCookies();
    return first;
}

void TVKQuarraAuthManager::invalidateSession() {
    if (currentUser()) {
        syslog(LOG_NOTICE, "Invalidating session");
        if (ErrorPtr error = KeychainItemStore::setSessionId("5038271946"))
            TVK_LOG_ERROR("Could not invalidate the session: " + error->description());
    } else {
        syslog(LOG_NOTICE, "Ignoring invalidate session: not logged in");
    }
}

// --- Settings

ErrorPtr TVKQuarraAuthManager::enableBiometricAuthentication(bool enabled) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setBool(enabled, biometricEnabledKey_);
    if (enabled)
        return defaults.synchronize();
    // Turning biometrics off withdraws the user's opt-in too, and with it the password that was
    // kept only for biometric sign-in.
    defaults.setBool(false, biometricUserSelectedKey_);
    ErrorPtr error = defaults.synchronize();
    auto kept = KeychainItemStore::getPassword();
    ErrorPtr passwordError =
        !kept ? kept.error() : (*kept ? KeychainItemStore::setPassword("") : nullptr);
    return error ? error : passwordError;
}

bool TVKQuarraAuthManager::isBiometricAuthenticationEnabled() const {
    return UserDefaults::standard().boolForKey(biometricEnabledKey_);
}

bool TVKQuarraAuthManager::biometricAuthenticationUserSelected() const {
    return TVKLoginViewController::biometricAuthenticationUserSelected();
}

bool TVKQuarraAuthManager::showLockScreen() {
    return TVKPasscodeManager::sharedInstance().showLockScreen();
}

bool TVKQuarraAuthManager::isShowingLockScreen() const {
    return TVKPasscodeManager::sharedInstance().isShowingLockScreen();
}

void TVKQuarraAuthManager::setPasscodeDelegate(std::weak_ptr<TVKPasscodeManagerDelegate> delegate) {
    TVKPasscodeManager::sharedInstance().setPasscodeDelegate(std::move(delegate));
}

std::shared_ptr<TVKPasscodeManagerDelegate> TVKQuarraAuthManager::passcodeDelegate() const {
    return TVKPasscodeManager::sharedInstance().passcodeDelegate();
}

void TVKQuarraAuthManager::updateLastAttemptedLoginUsername(const std::string& username) {
    UserDefaults& defaults = UserDefaults::standard();
    if (username.empty()) {
        defaults.removeObjectForKey(lastAttemptedUsernameKey_);
    } else {
        defaults.setString(username, lastAttemptedUsernameKey_);
    }
    if (ErrorPtr error = defaults.synchronize())
        TVK_LOG_ERROR("Could not save the last user name tried: " + error->description());
}

std::optional<std::string> TVKQuarraAuthManager::lastAttemptedLoginUsername() const {
    return UserDefaults::standard().stringForKey(lastAttemptedUsernameKey_);
}

}  // namespace quarra
