#include "sso/SSOAuthorizationRequest.h"

#include "sso/SSODescription.h"
#include "sso/SSOScopeUtilities.h"
#include "sso/SSOTokenUtilities.h"
#include "sso/SSOURLQueryComponent.h"

namespace quarra {

std::optional<SSOAuthorizationRequest> SSOAuthorizationRequest::create(
    SSOServiceConfiguration configuration, std::string clientID,
    std::optional<std::string> clientSecret, std::optional<std::string> scope,
    std::optional<Url> redirectURL, const std::string& responseType,
    std::optional<std::string> state, std::optional<std::string> codeVerifier,
    std::optional<std::string> codeChallenge, std::optional<std::string> codeChallengeMethod,
    Parameters additionalParameters) {
    if (responseType != SSOResponseTypeCode)
        return std::nullopt;
    SSOAuthorizationRequest request(std::move(configuration));
    request.clientID_ = std::move(clientID);
    request.clientSecret_ = std::move(clientSecret);
    request.scope_ = std::move(scope);
    request.redirectURL_ = std::move(redirectURL);
    request.state_ = std::move(state);
    request.codeVerifier_ = std::move(codeVerifier);
    request.codeChallenge_ = std::move(codeChallenge);
    request.codeChallengeMethod_ = std::move(codeChallengeMethod);
    request.additionalParameters_ = std::move(additionalParameters);
    return request;
}

std::optional<SSOAuthorizationRequest> SSOAuthorizationRequest::create(
    SSOServiceConfiguration configuration, std::string clientID,
    std::optional<std::string> clientSecret, std::optional<std::vector<std::string>> scopes,
    std::optional<Url> redirectURL, const std::string& responseType,
    Parameters additionalParameters) {
    std::optional<std::string> verifier = generateCodeVerifier();
    std::optional<std::string> challenge, method;
    // Without a verifier (the random generator failed) the request carries no PKCE at all.
    if (verifier) {
        challenge = codeChallengeS256ForVerifier(*verifier);
        method = SSOOAuthorizationRequestCodeChallengeMethodS256;
    }
    std::optional<std::string> scope;
    if (scopes)
        scope = SSOScopeUtilities::scopesWithArray(*scopes);
    return create(std::move(configuration), std::move(clientID), std::move(clientSecret),
                  std::move(scope), std::move(redirectURL), responseType, generateState(),
                  std::move(verifier), std::move(challenge), std::move(method),
                  std::move(additionalParameters));
}

std::optional<std::string> SSOAuthorizationRequest::generateCodeVerifier() {
    return SSOTokenUtilities::randomURLSafeStringWithSize(32);
}

std::optional<std::string> SSOAuthorizationRequest::generateState() {
    return SSOTokenUtilities::randomURLSafeStringWithSize(32);
}

std::string SSOAuthorizationRequest::codeChallengeS256ForVerifier(std::string_view codeVerifier) {
    return SSOTokenUtilities::encodeBase64urlNoPadding(SSOTokenUtilities::sha256(codeVerifier));
}

Url SSOAuthorizationRequest::authorizationRequestURL() const {
    SSOURLQueryComponent query;
    query.addParameter("response_type", responseType_);
    query.addParameter("client_id", clientID_);
    query.addParameters(additionalParameters_);
    auto add = [&query](const char* name, const std::optional<std::string>& value) {
        if (value)
            query.addParameter(name, *value);
    };
    if (redirectURL_)
        query.addParameter("redirect_uri", redirectURL_->string());
    add("scope", scope_);
    add("state", state_);
    add("code_challenge", codeChallenge_);
    add("code_challenge_method", codeChallengeMethod_);
    return query.URLByReplacingQueryInURL(configuration_.authorizationEndpoint());
}

void SSOAuthorizationRequest::encodeWithCoder(KeyedArchiver& coder) const {
    auto encode = [&coder](const std::optional<std::string>& value, const char* key) {
        if (value)
            coder.encodeString(*value, key);
    };
    coder.encodeObject(&configuration_, "configuration");
    coder.encodeString(responseType_, "response_type");
    coder.encodeString(clientID_, "client_id");
    encode(clientSecret_, "client_secret");
    encode(scope_, "scope");
    if (redirectURL_)
        coder.encodeUrl(*redirectURL_, "redirect_uri");
    encode(state_, "state");
    encode(codeVerifier_, "code_verifier");
    encode(codeChallenge_, "code_challenge");
    encode(codeChallengeMethod_, "code_challenge_method");
    sso_coding::encodeStringMap(coder, additionalParameters_, "additionalParameters");
}

std::shared_ptr<SSOAuthorizationRequest> SSOAuthorizationRequest::initWithCoder(
    KeyedUnarchiver& coder) {
    auto configuration = coder.decodeObject<SSOServiceConfiguration>("configuration");
    std::optional<std::string> clientID = coder.decodeString("client_id");
    if (!configuration || !clientID)
        return nullptr;
    SSOAuthorizationRequest request(*configuration);
    request.clientID_ = std::move(*clientID);
    request.clientSecret_ = coder.decodeString("client_secret");
    request.scope_ = coder.decodeString("scope");
    request.redirectURL_ = coder.decodeUrl("redirect_uri");
    request.state_ = coder.decodeString("state");
    request.codeVerifier_ = coder.decodeString("code_verifier");
    request.codeChallenge_ = coder.decodeString("code_challenge");
    request.codeChallengeMethod_ = coder.decodeString("code_challenge_method");
    request.additionalParameters_ = sso_coding::decodeStringMap(coder, "additionalParameters");
    return std::make_shared<SSOAuthorizationRequest>(std::move(request));
}

std::vector<KeyedUnarchiver::AllowedClass> SSOAuthorizationRequest::archiveClasses() {
    auto classes = SSOServiceConfiguration::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSOAuthorizationRequest>());
    return classes;
}

std::string SSOAuthorizationRequest::description() const {
    return descriptionPrefix("SSOAuthorizationRequest", this) +
           ", request: " + authorizationRequestURL().string() + ">";
}

}  // namespace quarra
