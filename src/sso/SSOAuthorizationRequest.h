#pragma once
// One OAuth 2.0 authorization-code request with PKCE (RFC 7636): provider, client, scopes, where
// the browser returns, the state the redirect must echo and the code verifier that the code
// exchange sends. Builds the URL that the browser opens. Immutable value; safe on any thread.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Url.h"
#include "sso/SSOServiceConfiguration.h"

namespace quarra {

inline constexpr const char* SSOResponseTypeCode = "code";
inline constexpr const char* SSOResponseTypeToken = "token";
inline constexpr const char* SSOResponseTypeIDToken = "id_token";
inline constexpr const char* SSOScopeOpenID = "openid";
inline constexpr const char* SSOScopeProfile = "profile";
inline constexpr const char* SSOScopeEmail = "email";
inline constexpr const char* SSOScopeAddress = "address";
inline constexpr const char* SSOScopePhone = "phone";
inline constexpr const char* SSOOAuthorizationRequestCodeChallengeMethodS256 = "S256";

class SSOAuthorizationRequest : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOAuthorizationRequest";
    using Parameters = std::map<std::string, std::string>;

    SSOAuthorizationRequest() = delete;

    // A request with exactly these values; nothing when the response type is not "code", the only
    // flow this client runs.
    static std::optional<SSOAuthorizationRequest> create(
        SSOServiceConfiguration configuration, std::string clientID,
        std::optional<std::string> clientSecret, std::optional<std::string> scope,
        std::optional<Url> redirectURL, const std::string& responseType,
        std::optional<std::string> state, std::optional<std::string> codeVerifier,
        std::optional<std::string> codeChallenge, std::optional<std::string> codeChallengeMethod,
        Parameters additionalParameters);

    // A request with a fresh state and a fresh S256 PKCE pair, the scopes joined with spaces.
    static std::optional<SSOAuthorizationRequest> create(
        SSOServiceConfiguration configuration, std::string clientID,
        std::optional<std::string> clientSecret, std::optional<std::vector<std::string>> scopes,
        std::optional<Url> redirectURL, const std::string& responseType,
        Parameters additionalParameters = {});

    // 32 random bytes in base64url: 43 characters, nothing when the random generator fails.
    static std::optional<std::string> generateCodeVerifier();
    static std::optional<std::string> generateState();
    // base64url of SHA-256 of the verifier (43 characters).
    static std::string codeChallengeS256ForVerifier(std::string_view codeVerifier);

    // The authorization endpoint with its query replaced by the request's parameters in this order:
    // response_type, client_id, the additional parameters, redirect_uri, scope, state,
    // code_challenge, code_challenge_method. The client secret and the code verifier never appear.
    Url authorizationRequestURL() const;
    Url externalUserAgentRequestURL() const { return authorizationRequestURL(); }
    std::string redirectScheme() const { return redirectURL_ ? redirectURL_->scheme() : ""; }

    const SSOServiceConfiguration& configuration() const { return configuration_; }
    const std::string& responseType() const { return responseType_; }
    const std::string& clientID() const { return clientID_; }
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const std::optional<Url>& redirectURL() const { return redirectURL_; }
    const std::optional<std::string>& state() const { return state_; }
    const std::optional<std::string>& codeVerifier() const { return codeVerifier_; }
    const std::optional<std::string>& codeChallenge() const { return codeChallenge_; }
    const std::optional<std::string>& codeChallengeMethod() const { return codeChallengeMethod_; }
    const Parameters& additionalParameters() const { return additionalParameters_; }

    std::string description() const;

    // Under the wire names ("client_id", "redirect_uri", ...), the configuration under
    // "configuration", the extra parameters under "additionalParameters". The response type is
    // written but not read: a restored request is always a "code" request.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOAuthorizationRequest> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSOAuthorizationRequest&) const = default;

  private:
    explicit SSOAuthorizationRequest(SSOServiceConfiguration configuration)
        : configuration_(std::move(configuration)) {}

    SSOServiceConfiguration configuration_;
    std::string responseType_ = SSOResponseTypeCode;
    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::optional<std::string> scope_;
    std::optional<Url> redirectURL_;
    std::optional<std::string> state_;
    std::optional<std::string> codeVerifier_;
    std::optional<std::string> codeChallenge_;
    std::optional<std::string> codeChallengeMethod_;
    Parameters additionalParameters_;
};

}  // namespace quarra
