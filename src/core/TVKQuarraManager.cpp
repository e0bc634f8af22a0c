#include "core/TVKQuarraManager.h"

#include <sys/utsname.h>

#include <any>
#include <cctype>
#include <chrono>

#include "auth/TVKQuarraAuthManager.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "platform/UserDefaults.h"
#include "transport/HTHTTPSessionManager.h"
#include "transport/HTJSONRequestSerializer.h"
#include "transport/HTNetworkReachabilityManager.h"
#include "transport/HTURLSessionManagerTaskDelegate.h"

namespace quarra {
namespace {

std::string managerText(const std::string& key) {
    return Bundle::sdk().localizedString(key);
}

// The server's failure types in the order they are tested. The messages are the English keys of the
// SDK's string table.
struct ServerFailure {
    const char* type;
    const char* domain;
    long code;
    const char* message;
};

constexpr const char* kUnknownError = "An unknown error occurred";
constexpr const char* kNoActiveQuarras = "No active quarras found for this user";

enum Failure {
    InvalidUsernamePassword,
    InvalidSessionId,
    InsufficientAccess,
    UserLockedOut,
    OperationNotAllowed,
    APIOperationNotSupported,
    DownForMaintenance,
    PasscodeChangeRequired,
    InactiveUser,
    NoActiveQuarras,
    SoleInactiveQuarra,
    ConfigurationModeEnabled,
    IPRange,
    SoleProtectedTemplateQuarra,
    InvalidData,
    ParameterRequired,
    MaxFileSizeExceeded,
    MethodNotSupported,
    InvalidToken,
    ExpiredToken,
    InvalidConfiguration,
    MalformedURL,
    InvalidFilter,
    InvalidDocument,
};

constexpr ServerFailure kFailures[] = {
    {"USERNAME_OR_PASSWORD_INCORRECT", TVKAuthorizationErrorDomain,
     TVKAuthorizationInvalidUsernamePasswordErrorCode, "Authorization failed"},
    {"INVALID_SESSION_ID", TVKAuthorizationErrorDomain, TVKAuthorizationInvalidSessionErrorCode,
     "Invalid session"},
    {"INSUFFICIENT_ACCESS", TVKAuthorizationErrorDomain,
     TVKAuthorizationInsufficientAccessErrorCode, "Insufficient access"},
    {"USER_LOCKED_OUT", TVKAuthorizationErrorDomain, TVKAuthorizationUserLockedOutErrorCode,
     "This user is locked out"},
    {"OPERATION_NOT_ALLOWED", TVKQuarraErrorDomain, TVKQuarraOperationNotAllowedErrorCode,
     "Operation not allowed"},
    {"API_OPERATION_NOT_SUPPORTED", TVKQuarraErrorDomain, TVKQuarraOperationNotAllowedErrorCode,
     "Operation not allowed"},
    {"DOWN_FOR_MAINTENANCE", TVKQuarraErrorDomain, TVKQuarraDownForMaintenanceErrorCode,
     "Your Quarra server is currently down for maintenance"},
    {"PASSCODE_CHANGE_REQUIRED", TVKQuarraErrorDomain, TVKQuarraPasscodeChangeRequiredErrorCode,
     "A password change is required before logging in again"},
    {"INACTIVE_USER", TVKQuarraErrorDomain, TVKQuarraInactiveUserErrorCode, "User is inactive"},
    {"NO_ACTIVE_QUARRAS", TVKQuarraErrorDomain, TVKQuarraNoActiveQuarrasErrorCode,
     kNoActiveQuarras},
    {"SOLE_INACTIVE_QUARRA", TVKQuarraErrorDomain, TVKQuarraSoleInactiveQuarraErrorCode,
     kNoActiveQuarras},
    {"CONFIGURATION_MODE_ENABLED", TVKQuarraErrorDomain, TVKQuarraConfigurationModeEnabledErrorCode,
     "Unable to login: Quarra is in configuration mode"},
    {"IP_RANGE", TVKQuarraErrorDomain, TVKQuarraIPRangeErrorCode, kUnknownError},
    {"SOLE_PROTECTED_TEMPLATE_QUARRA", TVKQuarraErrorDomain,
     TVKQuarraSoleProtectedTemplateQuarraErrorCode, kUnknownError},
    {"INVALID_DATA", TVKQuarraErrorDomain, TVKQuarraInvalidDataErrorCode,
     "Invalid data in request"},
    {"PARAMETER_REQUIRED", TVKQuarraErrorDomain, TVKQuarraParameterRequiredErrorCode,
     "Missing parameter"},
    {"EXCEEDS_FILE_MAX_SIZE", TVKQuarraErrorDomain, TVKQuarraMaxFileSizeExceededErrorCode,
     "The maximum allowable file size was exceeded"},
    {"METHOD_NOT_SUPPORTED", TVKQuarraErrorDomain, TVKQuarraMethodNotSupportedErrorCode,
     "The quarra you are connecting to doesn\u2019t support this operation"},
    {"INVALID_TOKEN", TVKQuarraErrorDomain, TVKQuarraInvalidTokenErrorCode, kUnknownError},
    {"EXPIRED_TOKEN", TVKAuthorizationErrorDomain, TVKAuthorizationExpiredTokenErrorCode,
     kUnknownError},
    {"INVALID_CONFIGURATION", TVKQuarraErrorDomain, TVKQuarraInvalidConfigurationErrorCode,
     kUnknownError},
    {"MALFORMED_URL", TVKQuarraErrorDomain, TVKQuarraMalformedURLErrorCode, kUnknownError},
    {"INVALID_FILTER", TVKQuarraErrorDomain, TVKQuarraInvalidFilterErrorCode,
     "The named search filter could not be found"},
    {"INVALID_DOCUMENT", TVKQuarraErrorDomain, TVKQuarraInvalidDocumentErrorCode,
     "The document could not be found on the server"},
};
static_assert(std::size(kFailures) == InvalidDocument + 1);

// The first element of "errors" when the reply has one that is an object. A reply of another shape
// names no failure; it must never bring the caller down.
const Json* firstServerError(const Json& response) {
    if (!response.is_object()) {
        return nullptr;
    }
    auto errors = response.find("errors");
    if (errors == response.end() || !errors->is_array() || errors->empty() ||
        !errors->front().is_object()) {
        return nullptr;
    }
    return &errors->front();
}

ErrorPtr errorFor(Failure failure, const Json& response) {
    const ServerFailure& f = kFailures[failure];
    return TVKQuarraManager::sdkErrorForQuarraErrorType(f.type, f.domain, f.code,
                                                        managerText(f.message), response);
}

// A request waits at most this long for its reply.
constexpr double kRequestTimeout = 30;
// The background session gives up a transfer after this long without progress.
constexpr double kBackgroundResourceTimeout = 60;
// How long logout waits for the sessions it cancels to wind down.
constexpr auto kInvalidationTimeout = std::chrono::seconds(10);

const char* httpMethodName(unsigned long method) {
    switch (method) {
        case TVKQuarraRequestMethodGET:
            return "GET";
        case TVKQuarraRequestMethodPOST:
            return "POST";
        case TVKQuarraRequestMethodPUT:
            return "PUT";
        default:
            return nullptr;
    }
}

ErrorPtr invalidRequestError(const std::string& what) {
    return Error::make(TVKQuarraErrorDomain, TVKInvalidRequestErrorCode, what);
}

void deliverToHandler(const TVKQuarraRequestHandler& handler, Json response, ErrorPtr error) {
    if (!handler)
        return;
    DispatchQueue::main()->async([handler, response = std::move(response),
                                  error = std::move(error)] { handler(response, error); });
}

// A reply's outcome: the session managers complete on the main queue, where the handler belongs
// and takes the reply as it is; only from elsewhere does it travel, as a copy.
void deliverReply(const TVKQuarraRequestHandler& handler, const Json& response, ErrorPtr error) {
    if (!handler)
        return;
    if (isMainThread())
        handler(response, error);
    else
        deliverToHandler(handler, response, std::move(error));
}

std::string infoText(const Bundle& bundle, const char* key, const char* fallbackKey) {
    std::string text = jsonString(bundle.infoDictionary(), key);
    return text.empty() ? jsonString(bundle.infoDictionary(), fallbackKey) : text;
}

// "<host>/<version> QuarraMobileSDK/<version> (<machine>; <system> <release>; Scale/1.00)".
std::string userAgent() {
    struct utsname system = {};
    uname(&system);
    const Bundle& host = Bundle::main();
    return infoText(host, BundleExecutableKey, BundleIdentifierKey) + "/" +
           infoText(host, BundleShortVersionKey, BundleVersionKey) + " QuarraMobileSDK/" +
           jsonString(Bundle::sdk().infoDictionary(), BundleShortVersionKey) + " (" +
           system.machine + "; " + system.sysname + " " + system.release + "; Scale/1.00)";
}

bool isSecretKey(const std::string& key) {
    std::string lower;
    for (char c : key)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == "sessionid" || lower == "password" || lower == "access_token" ||
           lower == "id_token" || lower == "refresh_token";
}

Json maskSecrets(const Json& value) {
    if (value.is_object()) {
        Json masked = Json::object();
        for (const auto& [key, member] : value.items())
            masked[key] = isSecretKey(key) ? Json("<redacted>") : maskSecrets(member);
        return masked;
    }
    if (value.is_array()) {
        Json masked = Json::array();
        for (const Json& element : value)
            masked.push_back(maskSecrets(element));
        return masked;
    }
    return value;
}

}  // namespace

TVKQuarraManager& TVKQuarraManager::sharedInstance() {
    static TVKQuarraManager* instance = new TVKQuarraManager();
    return *instance;
}

TVKQuarraManager::TVKQuarraManager()
    : sessionManagersQueue_(
          DispatchQueue::serial("com.tovik.quarra_mobile_sdk.session_managers_queue")),
      backgroundSessionIdentifier_(TVKQuarraConfigurationManager::sharedInstance().frameworkId() +
                                   ".backgroundsession"),
      pendingTransfers_(TVKQuarraConfigurationManager::sharedInstance().frameworkId(),
                        UserDefaults::standard()) {
    // Results of background transfers that outlived their caller arrive only as notifications.
    // Transfers are upload and download tasks: for a request's data task, which the engine does not
    // listen for, the transport need not post at all.
    taskCompleteObserver_ = NotificationCenter::defaultCenter().addObserver(
        HTNetworkingTaskDidCompleteNotification,
        [](const void* task) {
            return task &&
                   static_cast<const URLSessionTask*>(task)->kind() != URLSessionTaskKind::Data;
        },
        nullptr,
        [this](const Notification& notification) { didReceiveTaskCompleteNotification(notification); });
    // Another process of the host may be running the transfers: their records and files are then
    // its own, and this one only tries again to take them over at its next transfer call.
    bool owner = TVKQuarraConfigurationManager::sharedInstance().claimTransferOwnership();
    if (owner)
        loadRecordsAndSweep();
    initSessionManagers();
    if (owner)
        recoverEarlierTransfers();
    runsTransfers_ = owner;
    auto monitor = HTNetworkReachabilityManager::sharedManager();
    monitor->setReachabilityStatusChangeBlock(
        [this](HTNetworkReachabilityStatus) { hasReceivedNetworkStatus_ = true; });
    monitor->startMonitoring();
}

// --- Session managers

void TVKQuarraManager::initSessionManagers() {
    for (ManagerKind kind :
         {ManagerKind::FormURLEncoded, ManagerKind::JSON, ManagerKind::Background}) {
        auto manager = makeSessionManager(kind);
        std::lock_guard lock(managersMutex_);
        managerSlot(kind) = std::move(manager);
    }
}

std::shared_ptr<HTHTTPSessionManager>& TVKQuarraManager::managerSlot(ManagerKind kind) {
    switch (kind) {
        case ManagerKind::FormURLEncoded:
            return formURLEncodedSessionManager_;
        case ManagerKind::JSON:
            return jsonEncodedSessionManager_;
        default:
            return backgroundSessionManager_;
    }
}

std::shared_ptr<HTHTTPSessionManager> TVKQuarraManager::makeSessionManager(ManagerKind kind) {
    std::shared_ptr<HTHTTPSessionManager> manager;
    if (kind == ManagerKind::Background) {
        auto configuration =
            URLSessionConfiguration::backgroundSessionConfiguration(backgroundSessionIdentifier_);
        configuration.timeoutIntervalForResource = kBackgroundResourceTimeout;
        // A result stays on disk until the host has heard it; the session id never goes there.
        configuration.keepsCompletedTasksUntilForgotten = true;
        configuration.headerFieldsNotKept = {"Authorization"};
        configuration.prepareAdoptedRequest = [this](std::uint64_t taskId, UrlRequest& request) {
            prepareAdoptedRequest(taskId, request);
        };
        // Set up before the session exists, so the results of adopted tasks find it ready.
        manager = HTHTTPSessionManager::make(
            std::nullopt, configuration,
            [this](HTHTTPSessionManager& background) { setUpBackgroundManager(background); });
    } else {
        // A request crosses threads twice: to the transfer thread, which also takes the session's
        // events and parses the reply (the manager's blocks are quick), and to the main queue,
        // where the reply is mapped and the caller's handler runs.
        manager = HTHTTPSessionManager::make(
            std::nullopt, std::nullopt,
            DispatchQueue::immediate("com.tovik.quarra_mobile_sdk.session_events"));
        if (kind == ManagerKind::JSON)
            manager->setRequestSerializer(HTJSONRequestSerializer::serializer());
    }
    setSharedHeaderFieldsForSessionManager(*manager);
    return manager;
}

void TVKQuarraManager::setSharedHeaderFieldsForSessionManager(HTHTTPSessionManager& manager) const {
    auto& serializer = *manager.requestSerializer();
    serializer.setTimeoutInterval(kRequestTimeout);
    serializer.setCachePolicy(UrlRequestCachePolicy::UseProtocolCachePolicy);
    serializer.setValue(userAgent(), "User-Agent");
    std::string clientId = Bundle::main().bundleIdentifier();
    if (!clientId.empty())
        serializer.setValue(clientId, "ClientID");
}

std::shared_ptr<HTHTTPSessionManager> TVKQuarraManager::sessionManagerWithParameterEncoding(
    unsigned long parameterEncoding) const {
    switch (parameterEncoding) {
        case TVKQuarraParameterEncodingFormURL:
            return formURLEncodedSessionManager();
        case TVKQuarraParameterEncodingJSON:
            return jsonEncodedSessionManager();
        default:
            return nullptr;
    }
}

std::shared_ptr<HTHTTPSessionManager> TVKQuarraManager::formURLEncodedSessionManager() const {
    std::lock_guard lock(managersMutex_);
    return formURLEncodedSessionManager_;
}

std::shared_ptr<HTHTTPSessionManager> TVKQuarraManager::jsonEncodedSessionManager() const {
    std::lock_guard lock(managersMutex_);
    return jsonEncodedSessionManager_;
}

std::shared_ptr<HTHTTPSessionManager> TVKQuarraManager::backgroundSessionManager() const {
    std::lock_guard lock(managersMutex_);
    return backgroundSessionManager_;
}

void TVKQuarraManager::cancelAllRequests() {
    sessionManagersQueue_->sync([this] {
        // Each manager is rebuilt once its old session has wound down, so the background session
        // is never open twice under its identifier.
        auto group = std::make_shared<DispatchGroup>();
        for (ManagerKind kind :
             {ManagerKind::FormURLEncoded, ManagerKind::JSON, ManagerKind::Background}) {
            std::shared_ptr<HTHTTPSessionManager> manager;
            {
                std::lock_guard lock(managersMutex_);
                manager = managerSlot(kind);
            }
            group->enter();
            manager->setSessionDidBecomeInvalidBlock(
                [this, kind, group](URLSession&, const ErrorPtr&) {
                    auto rebuilt = makeSessionManager(kind);
                    {
                        std::lock_guard lock(managersMutex_);
                        managerSlot(kind) = std::move(rebuilt);
                    }
                    group->leave();
                });
            manager->invalidateSessionCancelingTasks(true);
        }
        if (!group->wait(kInvalidationTimeout))
            TVK_LOG_ERROR("Cancelled sessions did not wind down in time");
    });
}

// --- The network gate

ErrorPtr TVKQuarraManager::isConnectedToNetwork() const {
    auto monitor = HTNetworkReachabilityManager::sharedManager();
    bool reachable = false;
    if (hasReceivedNetworkStatus_) {
        reachable = monitor->isReachable();
    } else {
        // The first status travels through the main queue, which may be busy, or be the very
        // thread that waits: the network's own source answers at once instead. Not knowing is no
        // proof of being offline.
        const auto& source = monitor->networkReachability();
        auto flags = source ? source->flags() : std::nullopt;
        auto status =
            HTNetworkReachabilityStatusForFlags(flags.value_or(NetworkReachabilityFlagsReachable));
        reachable = status == HTNetworkReachabilityStatusReachableViaWWAN ||
                    status == HTNetworkReachabilityStatusReachableViaWiFi;
    }
    if (reachable)
        return nullptr;
    return Error::make(TVKNetworkErrorDomain, TVKNetworkNotConnectedErrorCode,
                       managerText("No network connection"));
}

void TVKQuarraManager::afterGate(const TVKQuarraRequestHandler& handler,
                                 const std::function<void()>& send) {
    // The status is read, not waited for: the request leaves from the caller's thread.
    if (ErrorPtr error = isConnectedToNetwork()) {
        deliverToHandler(handler, nullptr, std::move(error));
        return;
    }
    send();
}

// --- Request paths

void TVKQuarraManager::requestAuthEndpoint(const std::string& endpoint, const std::string& authDNS,
                                           unsigned long method, const Json& parameters,
                                           TVKQuarraRequestHandler handler) {
    afterGate(handler, [this, url = urlForAuthEndpoint(endpoint, authDNS), method, parameters,
                        handler] {
        requestUrl(url, method, parameters, formURLEncodedSessionManager(), std::nullopt, handler);
    });
}

void TVKQuarraManager::requestExchangeTokenForSessionEndpoint(const std::string& endpoint,
                                                              const std::string& idToken,
                                                              const std::string& clientId,
                                                              TVKQuarraRequestHandler handler) {
    sessionManagersQueue_->async([this, endpoint, idToken, clientId, handler = std::move(handler)] {
        requestUrl(endpoint, TVKQuarraRequestMethodPOST, {{"client_id", clientId}},
                   formURLEncodedSessionManager(), "Bearer " + idToken, handler);
    });
}

void TVKQuarraManager::requestQuarraEndpoint(const std::string& endpoint, TVKQuarraPtr quarra,
                                             unsigned long method, const Json& parameters,
                                             unsigned long parameterEncoding,
                                             TVKQuarraRequestHandler handler) {
    if (!quarra) {
        deliverToHandler(handler, nullptr, invalidRequestError("No quarra given"));
        return;
    }
    auto send = [this, endpoint, quarra, method, parameters,
                 parameterEncoding](TVKQuarraRequestHandler completion) {
        sendQuarraRequest(endpoint, *quarra, method, parameters, parameterEncoding, true,
                          std::move(completion));
    };
    maybeDoImplicitLoginToQuarra(std::move(quarra), std::move(send), std::move(handler),
                                 TVKQuarraLoggerInternal::shouldUploadAfterEndpoint(endpoint));
}

void TVKQuarraManager::requestQuarraEndpointInternal(const std::string& endpoint,
                                                     TVKQuarraPtr quarra, unsigned long method,
                                                     const Json& parameters,
                                                     unsigned long parameterEncoding,
                                                     TVKQuarraRequestHandler handler) {
    if (!quarra) {
        deliverToHandler(handler, nullptr, invalidRequestError("No quarra given"));
        return;
    }
    afterGate(handler, [this, endpoint, quarra = std::move(quarra), method, parameters,
                        parameterEncoding, handler] {
        sendQuarraRequest(endpoint, *quarra, method, parameters, parameterEncoding,
                          endpointRequiresAuthorization(endpoint), handler);
    });
}

Result<std::optional<std::string>> TVKQuarraManager::signedInSessionId() {
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    if (!auth.currentUser())
        return std::optional<std::string>();
    return auth.sessionId();
}

void TVKQuarraManager::sendQuarraRequest(const std::string& endpoint, const TVKQuarra& quarra,
                                         unsigned long method, const Json& parameters,
                                         unsigned long parameterEncoding, bool authorize,
                                         TVKQuarraRequestHandler handler) {
    std::optional<std::string> authorization;
    if (authorize) {
        auto stored = signedInSessionId();
        if (!stored) {
            deliverToHandler(handler, Json(), stored.error());
            return;
        }
        authorization = std::move(*stored);
    }
    requestUrl(urlForQuarraEndpoint(endpoint, quarraDNS(quarra)), method, parameters,
               sessionManagerWithParameterEncoding(parameterEncoding), authorization,
               std::move(handler));
}

void TVKQuarraManager::maybeDoImplicitLoginToQuarra(TVKQuarraPtr quarra,
                                                    RequestEndpointBlock requestEndpointBlock,
                                                    TVKQuarraRequestHandler completeHandler,
                                                    bool startsLogUpload) {
    // Held by every step below, which would otherwise each copy the request and the handler.
    struct Call {
        TVKQuarraPtr quarra;
        RequestEndpointBlock send;
        TVKQuarraRequestHandler handler;
        bool startsLogUpload;
    };
    auto call = std::make_shared<const Call>(Call{std::move(quarra), std::move(requestEndpointBlock),
                                                  std::move(completeHandler), startsLogUpload});
    auto send = [this, call](TVKQuarraRequestHandler completion) {
        afterGate(call->handler,
                  [call, completion = std::move(completion)]() mutable {
                      call->send(std::move(completion));
                  });
    };
    auto finish = [call](const Json& response, const ErrorPtr& error) {
        if (call->handler)
            call->handler(response, error);
        if (call->startsLogUpload)
            TVKQuarraLoggerInternal::sharedInstance().startUploadProcessAfterRequest();
    };
    // The session lives on the main thread, where the sign-in runs.
    auto signInAndSend = [call, send, finish] {
        DispatchQueue::main()->async([call, send, finish] {
            TVKQuarraAuthManager::sharedInstance().loginToQuarraServer(
                call->quarra, true,
                [call, send, finish](const TVKUserInternalPtr&, const ErrorPtr& error) {
                    if (error) {
                        if (call->handler)
                            call->handler(nullptr, error);
                        return;
                    }
                    send(finish);
                });
        });
    };
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (user && user->currentQuarra() && call->quarra &&
        user->currentQuarra()->Id() == call->quarra->Id()) {
        send([signInAndSend, finish](const Json& response, const ErrorPtr& error) {
            // The one resend: its outcome is final, whatever it is.
            if (error &&
                error->is(TVKAuthorizationErrorDomain, TVKAuthorizationInvalidSessionErrorCode)) {
                signInAndSend();
            } else {
                finish(response, error);
            }
        });
    } else {
        signInAndSend();
    }
}

void TVKQuarraManager::requestUrl(const std::string& url, unsigned long method,
                                  const Json& parameters,
                                  const std::shared_ptr<HTHTTPSessionManager>& sessionManager,
                                  const std::optional<std::string>& authorization,
                                  TVKQuarraRequestHandler handler) {
    const char* methodName = httpMethodName(method);
    if (!methodName || !sessionManager) {
        TVK_LOG_ERROR("Invalid request for url:" + url + " method:" + std::to_string(method));
        deliverToHandler(handler, nullptr,
                         invalidRequestError(methodName ? "Invalid parameter encoding"
                                                        : "Invalid request method"));
        return;
    }
    std::optional<Json> noParameters;
    if (parameters.is_null())
        noParameters = Json::object();
    auto request = sessionManager->requestSerializer()->requestWithMethod(
        methodName, url, noParameters ? *noParameters : parameters);
    if (!request) {
        TVK_LOG_ERROR("Error requesting url:" + url + "  error:" + request.error()->description());
        deliverToHandler(handler, nullptr, request.error());
        return;
    }
    // Set on this request alone, so no other request ever carries or loses it.
    request->setValue(authorization, "Authorization");
    auto task = sessionManager->dataTaskWithRequest(
        std::move(*request),
        [url, handler = std::move(handler)](const HttpResponsePtr&, const std::any& object,
                                            const ErrorPtr& error) {
            if (error) {
                TVK_LOG_ERROR("Error requesting url:" + url + "  error:" + error->description());
                deliverReply(handler, nullptr, error);
                return;
            }
            const Json* reply = std::any_cast<Json>(&object);
            TVK_LOG_DEBUG("Response for url:" + url + "  response:" +
                          (reply ? redactedResponse(*reply, url).dump() : std::string("(null)")));
            if (!handler)
                return;
            if (reply && !reply->is_object() && !reply->is_null()) {
                // Only an object can say whether the call succeeded.
                Json userInfo = {
                    {LocalizedDescriptionKey, defaultError(*reply)->localizedDescription()},
                    {TVKInvalidServerResponseKey, *reply}};
                deliverReply(handler, nullptr,
                             Error::make(TVKQuarraExceptionErrorDomain,
                                         TVKQuarraUnknownServerErrorCode, std::move(userInfo)));
                return;
            }
            const Json none;
            const Json& response = reply ? *reply : none;
            deliverReply(handler, response, errorFromResponse(response));
        });
    // No task: the session is being replaced; the handler hears of the cancellation.
    if (task)
        task->resume();
}

// --- URLs and log redaction

std::string TVKQuarraManager::urlForAuthEndpoint(const std::string& endpoint,
                                                 const std::string& authDNS) {
    return "https://" + authDNS + "/" + endpoint;
}

std::string TVKQuarraManager::urlForQuarraEndpoint(const std::string& endpoint,
                                                   const std::string& quarraDNS) {
    // Never destroyed: requests may still be made while the process exits.
    static const std::string& version =
        *new std::string(jsonString(Bundle::sdk().infoDictionary(), "com.tovik.APIVersion"));
    return "https://" + quarraDNS + "/api/v" + version + "/" + endpoint;
}

std::string TVKQuarraManager::quarraDNS(const TVKQuarra& quarra) {
    // The whole authority: a Quarra on a port of its own is reached there.
    return quarra.URL() ? quarra.URL()->hostAndPort() : std::string();
}

bool TVKQuarraManager::endpointRequiresAuthorization(std::string_view endpoint) {
    return endpoint != "auth" && endpoint != "auth/discovery" && endpoint != "auth/api";
}

Json TVKQuarraManager::redactedResponse(const Json& response, const std::string& url) {
    if (url.find("/users/me") != std::string::npos &&
        jsonString(response, "responseStatus") == "SUCCESS") {
        return {{"responseStatus", "SUCCESS"}};
    }
    return maskSecrets(response);
}

// --- Mapping replies to errors

ErrorPtr TVKQuarraManager::errorFromResponse(const Json& response) {
    if (jsonString(response, "responseStatus") == "SUCCESS") {
        // The server answers a user without any active Quarra with success and an empty host.
        if (jsonString(response, "defaultUrl") == "https:///api") {
            return Error::make(TVKQuarraErrorDomain, TVKQuarraNoActiveQuarrasErrorCode,
                               std::string_view(managerText(kNoActiveQuarras)));
        }
        return nullptr;
    }
    if (auto type = quarraErrorTypeFromResponse(response)) {
        for (const ServerFailure& f : kFailures) {
            if (*type == f.type) {
                return Error::make(
                    f.domain, f.code,
                    userInfoWithLocalizedDescription(managerText(f.message), response));
            }
        }
    }
    return defaultError(response);
}

// clang-format off
ErrorPtr TVKQuarraManager::errorIfInvalidUsernamePassword(const Json& r) { return errorFor(InvalidUsernamePassword, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidSessionId(const Json& r) { return errorFor(InvalidSessionId, r); }
ErrorPtr TVKQuarraManager::errorIfInsufficientAccess(const Json& r) { return errorFor(InsufficientAccess, r); }
ErrorPtr TVKQuarraManager::errorIfUserLockedOut(const Json& r) { return errorFor(UserLockedOut, r); }
ErrorPtr TVKQuarraManager::errorIfOperationNotAllowed(const Json& r) { return errorFor(OperationNotAllowed, r); }
ErrorPtr TVKQuarraManager::errorIfAPIOperationNotSupported(const Json& r) { return errorFor(APIOperationNotSupported, r); }
ErrorPtr TVKQuarraManager::errorIfDownForMaintenance(const Json& r) { return errorFor(DownForMaintenance, r); }
ErrorPtr TVKQuarraManager::errorIfPasscodeChangeRequired(const Json& r) { return errorFor(PasscodeChangeRequired, r); }
ErrorPtr TVKQuarraManager::errorIfInactiveUser(const Json& r) { return errorFor(InactiveUser, r); }
ErrorPtr TVKQuarraManager::errorIfNoActiveQuarras(const Json& r) { return errorFor(NoActiveQuarras, r); }
ErrorPtr TVKQuarraManager::errorIfSoleInactiveQuarra(const Json& r) { return errorFor(SoleInactiveQuarra, r); }
ErrorPtr TVKQuarraManager::errorIfConfigurationModeEnabled(const Json& r) { return errorFor(ConfigurationModeEnabled, r); }
ErrorPtr TVKQuarraManager::errorIfIPRange(const Json& r) { return errorFor(IPRange, r); }
ErrorPtr TVKQuarraManager::errorIfSoleProtectedTemplateQuarra(const Json& r) { return errorFor(SoleProtectedTemplateQuarra, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidData(const Json& r) { return errorFor(InvalidData, r); }
ErrorPtr TVKQuarraManager::errorIfParameterRequired(const Json& r) { return errorFor(ParameterRequired, r); }
ErrorPtr TVKQuarraManager::errorIfMaxFileSizeExceeded(const Json& r) { return errorFor(MaxFileSizeExceeded, r); }
ErrorPtr TVKQuarraManager::errorIfMethodNotSupported(const Json& r) { return errorFor(MethodNotSupported, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidToken(const Json& r) { return errorFor(InvalidToken, r); }
ErrorPtr TVKQuarraManager::errorIfExpiredToken(const Json& r) { return errorFor(ExpiredToken, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidConfiguration(const Json& r) { return errorFor(InvalidConfiguration, r); }
ErrorPtr TVKQuarraManager::errorIfMalformedURL(const Json& r) { return errorFor(MalformedURL, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidFilter(const Json& r) { return errorFor(InvalidFilter, r); }
ErrorPtr TVKQuarraManager::errorIfInvalidDocument(const Json& r) { return errorFor(InvalidDocument, r); }
// clang-format on

ErrorPtr TVKQuarraManager::defaultError(const Json& response) {
    // A reply that is not valid UTF-8 is still described, with its bad bytes replaced.
    std::string description = managerText(kUnknownError) + "\nresponse:\n" +
                              response.dump(4, ' ', false, Json::error_handler_t::replace);
    return Error::make(TVKQuarraExceptionErrorDomain, TVKQuarraUnknownServerErrorCode,
                       std::string_view(description));
}

ErrorPtr TVKQuarraManager::sdkErrorForQuarraErrorType(std::string_view type, const char* domain,
                                                      long code,
                                                      std::string_view localizedDescription,
                                                      const Json& response) {
    auto replyType = quarraErrorTypeFromResponse(response);
    if (!replyType || *replyType != type) {
        return nullptr;
    }
    return Error::make(domain, code,
                       userInfoWithLocalizedDescription(localizedDescription, response));
}

std::optional<std::string> TVKQuarraManager::quarraErrorTypeFromResponse(const Json& response) {
    const Json* first = firstServerError(response);
    std::string type = first ? jsonString(*first, "type") : std::string();
    if (type.empty()) {
        return std::nullopt;
    }
    return type;
}

Json TVKQuarraManager::userInfoWithLocalizedDescription(std::string_view localizedDescription,
                                                        const Json& response) {
    Json userInfo = Json::object();
    const Json* first = firstServerError(response);
    std::string serverMessage = first ? jsonString(*first, "message") : std::string();
    if (!serverMessage.empty()) {
        userInfo[TVKQuarraServerErrorMessageKey] = serverMessage;
    }
    if (!localizedDescription.empty()) {
        userInfo[LocalizedDescriptionKey] = std::string(localizedDescription);
    }
    return userInfo;
}

}  // namespace quarra
