#include "sso/SSOAuthorizationService.h"

#include "log/TVKQuarraLoggerInternal.h"
#include "platform/URLSessionDataTasks.h"
#include "quarra/Dispatch.h"
#include "sso/SSOErrorUtilities.h"
#include "sso/SSOURLSessionProvider.h"

namespace quarra {
namespace {

// Replies larger than this are no provider's metadata, tokens or registration.
constexpr size_t kMaxReply = 1 << 20;

template <class F>
void onMain(F&& block) {
    DispatchQueue::main()->async(std::forward<F>(block));
}

ErrorPtr replyTooLarge() {
    return SSOErrorUtilities::errorWithCode(SSOErrorCodeReplyNotJSON, nullptr,
                                            "The reply is too large.");
}

// The reply's JSON; general -7 (with the parser's error beneath) when the body is not JSON or too
// large.
Result<Json> parseReply(const Bytes& body) {
    if (body.size() > kMaxReply)
        return replyTooLarge();
    try {
        return Json::parse(body.begin(), body.end());
    } catch (const Json::exception& parseError) {
        auto cause =
            Error::make("JSONParseError", parseError.id, std::string_view(parseError.what()));
        return SSOErrorUtilities::errorWithCode(SSOErrorCodeReplyNotJSON, cause,
                                                cause->localizedDescription());
    }
}

// No reply: general -5 with the transport's error beneath and its description.
ErrorPtr transportFailure(const ErrorPtr& transportError) {
    return SSOErrorUtilities::errorWithCode(
        SSOErrorCodeNetwork, transportError,
        transportError ? transportError->localizedDescription() : std::string());
}

std::string responseDescription(const HttpResponsePtr& response) {
    if (!response)
        return "(null)";
    Json headers = Json::object();
    for (const auto& [name, value] : response->headers)
        headers[name] = value;
    return "<HTTPResponse: URL: " + response->url.string() +
           ", status: " + std::to_string(response->statusCode) + ", headers: " + headers.dump() +
           ">";
}

// A reply that is no success: the OAuth error of `domain` when the status is one that carries an
// OAuth error body and the body has "error"; otherwise general -6 with the HTTP error beneath.
ErrorPtr failedReplyError(const HttpResponse& response, const Bytes& body, const char* domain,
                          std::initializer_list<int> oauthStatuses) {
    ErrorPtr httpError = SSOErrorUtilities::HTTPErrorWithHTTPResponse(response, body);
    for (int status : oauthStatuses) {
        if (response.statusCode != status)
            continue;
        // A body that is no JSON is no OAuth error: the HTTP error below says what came back.
        auto reply = parseReply(body);
        if (reply && reply->is_object() && reply->contains(SSOOAuthErrorFieldError))
            return SSOErrorUtilities::OAuthErrorWithDomain(domain, *reply, httpError);
    }
    return SSOErrorUtilities::errorWithCode(SSOErrorCodeServer, httpError);
}

}  // namespace

void SSOAuthorizationService::discoverServiceConfigurationForIssuer(
    const Url& issuerURL, SSODiscoveryCallback completion) {
    discoverServiceConfigurationForDiscoveryURL(issuerURL.appendingPathComponent(".well-known")
                                                    .appendingPathComponent("openid-configuration"),
                                                std::move(completion));
}

void SSOAuthorizationService::discoverServiceConfigurationForDiscoveryURL(
    const Url& discoveryURL, SSODiscoveryCallback completion) {
    URLSessionDataTasks::dataTask(
        SSOURLSessionProvider::session(), UrlRequest(discoveryURL),
        [completion = std::move(completion)](const std::optional<Bytes>& body,
                                             const HttpResponsePtr& response,
                                             const ErrorPtr& transportError) {
            std::optional<SSOServiceConfiguration> configuration;
            ErrorPtr error;
            if (transportError || !body || !response) {
                error = transportFailure(transportError);
            } else if (response->statusCode != 200) {
                error = SSOErrorUtilities::errorWithCode(
                    SSOErrorCodeNetwork,
                    SSOErrorUtilities::HTTPErrorWithHTTPResponse(*response, body));
            } else {
                auto discovery = body->size() > kMaxReply
                                     ? Result<SSOServiceDiscovery>(replyTooLarge())
                                     : SSOServiceDiscovery::fromJSONData(*body);
                if (discovery) {
                    configuration.emplace(*discovery);
                } else {
                    error =
                        SSOErrorUtilities::errorWithCode(SSOErrorCodeNetwork, discovery.error());
                }
            }
            onMain([completion, configuration = std::move(configuration), error] {
                if (completion)
                    completion(configuration, error);
            });
        });
}

std::shared_ptr<SSOAuthorizationFlowSessionImplementation>
SSOAuthorizationService::presentAuthorizationRequest(const SSOAuthorizationRequest& request,
                                                     std::shared_ptr<SSOExternalUserAgent> agent,
                                                     SSOAuthorizationCallback callback) {
    TVK_LOG_DEBUG("OAUTH Initiating auth request:" + request.description());
    auto session = std::make_shared<SSOAuthorizationFlowSessionImplementation>(request);
    session->presentAuthorizationWithExternalUserAgent(std::move(agent), std::move(callback));
    return session;
}

void SSOAuthorizationService::performTokenRequest(const SSOTokenRequest& request,
                                                  SSOTokenCallback callback) {
    // The description masks the code, the verifier and the refresh token; the secret travels in a
    // header it leaves out.
    TVK_LOG_DEBUG("OAUTH Initiating token request:" + request.description());
    URLSessionDataTasks::dataTask(
        SSOURLSessionProvider::session(), request.URLRequest(),
        [request, callback = std::move(callback)](const std::optional<Bytes>& body,
                                                  const HttpResponsePtr& response,
                                                  const ErrorPtr& transportError) {
            TVK_LOG_DEBUG("OAUTH Received token response:" + responseDescription(response) +
                          "  for request:" + request.description());
            std::shared_ptr<SSOTokenResponse> tokenResponse;
            ErrorPtr error;
            if (transportError || !body || !response) {
                error = transportFailure(transportError);
            } else if (response->statusCode == 200) {
                auto reply = parseReply(*body);
                if (!reply) {
                    error = reply.error();
                } else if (reply->is_object()) {
                    tokenResponse = std::make_shared<SSOTokenResponse>(request, *reply);
                } else {
                    error = SSOErrorUtilities::errorWithCode(SSOErrorCodeNoTokenResponse);
                }
            } else {
                // 401 too: a wrong client secret is "invalid_client" with 401 (RFC 6749 section
                // 5.2), and the caller must learn the OAuth error, not a bare server failure.
                error =
                    failedReplyError(*response, *body, SSOOAuthTokenErrorDomain, {400, 401, 429});
            }
            onMain([callback, tokenResponse, error] {
                if (callback)
                    callback(tokenResponse, error);
            });
        });
}

void SSOAuthorizationService::performRegistrationRequest(const SSORegistrationRequest& request,
                                                         SSORegistrationCompletion completion) {
    std::optional<UrlRequest> urlRequest = request.URLRequest();
    if (!urlRequest) {
        onMain([completion = std::move(completion)] {
            if (completion) {
                completion(nullptr, SSOErrorUtilities::errorWithCode(
                                        SSOErrorCodeRequestNotSerializable, nullptr,
                                        "The registration request could not be serialized as "
                                        "JSON."));
            }
        });
        return;
    }
    URLSessionDataTasks::dataTask(
        SSOURLSessionProvider::session(), std::move(*urlRequest),
        [request, completion = std::move(completion)](const std::optional<Bytes>& body,
                                                      const HttpResponsePtr& response,
                                                      const ErrorPtr& transportError) {
            std::shared_ptr<SSORegistrationResponse> registration;
            ErrorPtr error;
            if (transportError || !body || !response) {
                error = transportFailure(transportError);
            } else if (response->statusCode == 200 || response->statusCode == 201) {
                auto reply = parseReply(*body);
                auto made = reply && reply->is_object()
                                ? SSORegistrationResponse::create(request, *reply)
                                : std::nullopt;
                if (!reply) {
                    error = reply.error();
                } else if (made) {
                    registration = std::make_shared<SSORegistrationResponse>(std::move(*made));
                } else {
                    error = SSOErrorUtilities::errorWithCode(SSOErrorCodeNoRegistrationResponse);
                }
            } else {
                error =
                    failedReplyError(*response, *body, SSOOAuthRegistrationErrorDomain, {400, 401});
            }
            onMain([completion, registration, error] {
                if (completion)
                    completion(registration, error);
            });
        });
}

}  // namespace quarra
