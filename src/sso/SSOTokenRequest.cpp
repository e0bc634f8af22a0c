#include "sso/SSOTokenRequest.h"

#include "sso/SSODescription.h"
#include "sso/SSOScopeUtilities.h"
#include "sso/SSOTokenUtilities.h"

namespace quarra {

SSOTokenRequest::SSOTokenRequest(SSOServiceConfiguration configuration, std::string grantType,
                                 std::optional<std::string> authorizationCode,
                                 std::optional<Url> redirectURL, std::string clientID,
                                 std::optional<std::string> clientSecret,
                                 std::optional<std::string> scope,
                                 std::optional<std::string> refreshToken,
                                 std::optional<std::string> codeVerifier,
                                 Parameters additionalParameters)
    : configuration_(std::move(configuration)),
      grantType_(std::move(grantType)),
      authorizationCode_(std::move(authorizationCode)),
      redirectURL_(std::move(redirectURL)),
      clientID_(std::move(clientID)),
      clientSecret_(std::move(clientSecret)),
      scope_(std::move(scope)),
      refreshToken_(std::move(refreshToken)),
      codeVerifier_(std::move(codeVerifier)),
      additionalParameters_(std::move(additionalParameters)) {}

SSOTokenRequest SSOTokenRequest::withScopes(
    SSOServiceConfiguration configuration, std::string grantType,
    std::optional<std::string> authorizationCode, std::optional<Url> redirectURL,
    std::string clientID, std::optional<std::string> clientSecret,
    const std::vector<std::string>& scopes, std::optional<std::string> refreshToken,
    std::optional<std::string> codeVerifier, Parameters additionalParameters) {
    return SSOTokenRequest(std::move(configuration), std::move(grantType),
                           std::move(authorizationCode), std::move(redirectURL),
                           std::move(clientID), std::move(clientSecret),
                           SSOScopeUtilities::scopesWithArray(scopes), std::move(refreshToken),
                           std::move(codeVerifier), std::move(additionalParameters));
}

SSOURLQueryComponent SSOTokenRequest::tokenRequestBody() const {
    SSOURLQueryComponent body;
    auto add = [&body](const char* name, const std::optional<std::string>& value) {
        if (value)
            body.addParameter(name, *value);
    };
    body.addParameter("grant_type", grantType_);
    add("scope", scope_);
    if (redirectURL_)
        body.addParameter("redirect_uri", redirectURL_->string());
    add("refresh_token", refreshToken_);
    add("code", authorizationCode_);
    add("code_verifier", codeVerifier_);
    body.addParameters(additionalParameters_);
    return body;
}

UrlRequest SSOTokenRequest::URLRequest() const {
    UrlRequest request(tokenRequestURL());
    request.httpMethod = "POST";
    request.setValue("application/x-www-form-urlencoded; charset=UTF-8", "Content-Type");
    if (clientSecret_) {
        // Only unreserved characters stay as they are: a ":" in the id would end it early.
        std::string credentials =
            Url::percentEncode(clientID_) + ":" + Url::percentEncode(*clientSecret_);
        request.setValue("Basic " + SSOTokenUtilities::encodeBase64(toBytes(credentials)),
                         "Authorization");
    }
    request.httpBody = toBytes(formBody().URLEncodedParameters());
    return request;
}

SSOURLQueryComponent SSOTokenRequest::formBody() const {
    SSOURLQueryComponent body = tokenRequestBody();
    // A client without a secret names itself in the body; one with a secret authenticates.
    if (!clientSecret_)
        body.addParameter("client_id", clientID_);
    return body;
}

void SSOTokenRequest::encodeWithCoder(KeyedArchiver& coder) const {
    auto encode = [&coder](const std::optional<std::string>& value, const char* key) {
        if (value)
            coder.encodeString(*value, key);
    };
    coder.encodeObject(&configuration_, "configuration");
    coder.encodeString(grantType_, "grant_type");
    encode(authorizationCode_, "code");
    if (redirectURL_)
        coder.encodeUrl(*redirectURL_, "redirect_uri");
    coder.encodeString(clientID_, "client_id");
    encode(clientSecret_, "client_secret");
    encode(scope_, "scope");
    encode(refreshToken_, "refresh_token");
    encode(codeVerifier_, "code_verifier");
    sso_coding::encodeStringMap(coder, additionalParameters_, "additionalParameters");
}

std::shared_ptr<SSOTokenRequest> SSOTokenRequest::initWithCoder(KeyedUnarchiver& coder) {
    auto configuration = coder.decodeObject<SSOServiceConfiguration>("configuration");
    std::optional<std::string> grantType = coder.decodeString("grant_type");
    std::optional<std::string> clientID = coder.decodeString("client_id");
    auto code = coder.decodeString("code");
    auto redirectURL = coder.decodeUrl("redirect_uri");
    auto clientSecret = coder.decodeString("client_secret");
    auto scope = coder.decodeString("scope");
    auto refreshToken = coder.decodeString("refresh_token");
    auto codeVerifier = coder.decodeString("code_verifier");
    auto additionalParameters = sso_coding::decodeStringMap(coder, "additionalParameters");
    if (!configuration || !grantType || !clientID)
        return nullptr;
    return std::make_shared<SSOTokenRequest>(
        *configuration, std::move(*grantType), std::move(code), std::move(redirectURL),
        std::move(*clientID), std::move(clientSecret), std::move(scope), std::move(refreshToken),
        std::move(codeVerifier), std::move(additionalParameters));
}

std::vector<KeyedUnarchiver::AllowedClass> SSOTokenRequest::archiveClasses() {
    auto classes = SSOServiceConfiguration::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSOTokenRequest>());
    return classes;
}

std::string SSOTokenRequest::description() const {
    SSOURLQueryComponent masked;
    for (const auto& [name, value] : formBody().queryItems()) {
        bool secret = name == "code" || name == "code_verifier" || name == "refresh_token";
        masked.addParameter(name, secret ? "***" : value);
    }
    return descriptionPrefix("SSOTokenRequest", this) +
           ", request: <URL: " + tokenRequestURL().string() +
           ", HTTPBody: " + masked.URLEncodedParameters() + ">>";
}

}  // namespace quarra
