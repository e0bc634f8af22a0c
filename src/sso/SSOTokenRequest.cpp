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

SSOURLRequest SSOTokenRequest::URLRequest() const {
    SSOURLRequest request{tokenRequestURL(),
                          "POST",
                          {{"Content-Type", "application/x-www-form-urlencoded; charset=UTF-8"}},
                          {}};
    SSOURLQueryComponent body = tokenRequestBody();
    if (clientSecret_) {
        // Only unreserved characters stay as they are: a ":" in the id would end it early.
        std::string credentials =
            Url::percentEncode(clientID_) + ":" + Url::percentEncode(*clientSecret_);
        request.headers.emplace_back(
            "Authorization", "Basic " + SSOTokenUtilities::encodeBase64(toBytes(credentials)));
    } else {
        body.addParameter("client_id", clientID_);
    }
    request.body = toBytes(body.URLEncodedParameters());
    return request;
}

std::string SSOTokenRequest::description() const {
    SSOURLQueryComponent masked;
    for (const auto& [name, value] : tokenRequestBody().queryItems()) {
        bool secret = name == "code" || name == "code_verifier" || name == "refresh_token";
        masked.addParameter(name, secret ? "***" : value);
    }
    return descriptionPrefix("SSOTokenRequest", this) +
           ", request: <URL: " + tokenRequestURL().string() +
           ", HTTPBody: " + masked.URLEncodedParameters() + ">>";
}

}  // namespace quarra
