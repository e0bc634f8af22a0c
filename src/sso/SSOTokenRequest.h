#pragma once
// One request to a provider's token endpoint: the exchange of an authorization code or the refresh
// of an access token (RFC 6749 sections 4.1.3 and 6). Immutable value; safe on any thread.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Url.h"
#include "quarra/UrlRequest.h"
#include "sso/SSOServiceConfiguration.h"
#include "sso/SSOURLQueryComponent.h"

namespace quarra {

inline constexpr const char* SSOGrantTypeAuthorizationCode = "authorization_code";
inline constexpr const char* SSOGrantTypeRefreshToken = "refresh_token";
inline constexpr const char* SSOGrantTypePassword = "password";
inline constexpr const char* SSOGrantTypeClientCredentials = "client_credentials";

class SSOTokenRequest : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOTokenRequest";
    using Parameters = std::map<std::string, std::string>;

    SSOTokenRequest() = delete;
    SSOTokenRequest(SSOServiceConfiguration configuration, std::string grantType,
                    std::optional<std::string> authorizationCode, std::optional<Url> redirectURL,
                    std::string clientID, std::optional<std::string> clientSecret,
                    std::optional<std::string> scope, std::optional<std::string> refreshToken,
                    std::optional<std::string> codeVerifier, Parameters additionalParameters);

    // As the constructor, the scopes joined with single spaces.
    static SSOTokenRequest withScopes(SSOServiceConfiguration configuration, std::string grantType,
                                      std::optional<std::string> authorizationCode,
                                      std::optional<Url> redirectURL, std::string clientID,
                                      std::optional<std::string> clientSecret,
                                      const std::vector<std::string>& scopes,
                                      std::optional<std::string> refreshToken,
                                      std::optional<std::string> codeVerifier,
                                      Parameters additionalParameters);

    const Url& tokenRequestURL() const { return configuration_.tokenEndpoint(); }
    // In this order, each when set: grant_type, scope, redirect_uri, refresh_token, code,
    // code_verifier; then the additional parameters (a name shared with a field is sent twice).
    SSOURLQueryComponent tokenRequestBody() const;
    // A form POST. With a client secret the client authenticates with HTTP Basic, its id and secret
    // form-encoded first (RFC 6749 section 2.3.1); without one, "client_id" ends the body.
    UrlRequest URLRequest() const;

    const SSOServiceConfiguration& configuration() const { return configuration_; }
    const std::string& grantType() const { return grantType_; }
    const std::optional<std::string>& authorizationCode() const { return authorizationCode_; }
    const std::optional<Url>& redirectURL() const { return redirectURL_; }
    const std::string& clientID() const { return clientID_; }
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const std::optional<std::string>& refreshToken() const { return refreshToken_; }
    const std::optional<std::string>& codeVerifier() const { return codeVerifier_; }
    const Parameters& additionalParameters() const { return additionalParameters_; }

    // The endpoint and the body, with the secret values masked.
    std::string description() const;

    // Under the wire names ("grant_type", "code", "client_secret", ...), the configuration under
    // "configuration", the extra parameters under "additionalParameters".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOTokenRequest> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSOTokenRequest&) const = default;

  private:
    SSOURLQueryComponent formBody() const;

    SSOServiceConfiguration configuration_;
    std::string grantType_;
    std::optional<std::string> authorizationCode_;
    std::optional<Url> redirectURL_;
    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::optional<std::string> scope_;
    std::optional<std::string> refreshToken_;
    std::optional<std::string> codeVerifier_;
    Parameters additionalParameters_;
};

}  // namespace quarra
