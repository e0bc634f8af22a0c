#pragma once
// The parameters of a successful authorization redirect (the code, the echoed state and whatever
// else the provider sent) with the request they answer. Immutable value; safe on any thread.
#include <optional>
#include <string>

#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "sso/SSOAuthorizationRequest.h"
#include "sso/SSOFieldMapping.h"
#include "sso/SSOTokenRequest.h"

namespace quarra {

class SSOAuthorizationResponse : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOAuthorizationResponse";
    SSOAuthorizationResponse() = delete;
    // `parameters` is typically the redirect query's dictionaryValue(): a repeated name arrives as
    // an array and so stays out of its field.
    SSOAuthorizationResponse(SSOAuthorizationRequest request, const Json& parameters);

    // "code", "state", "access_token", "expires_in" (a number of seconds from now), "token_type",
    // "id_token", "scope".
    static const SSOFieldMap& fieldMap();

    // The code exchange (RFC 6749 section 4.1.3) with the request's redirect URL, client and code
    // verifier. General error SSOErrorCodeNoAuthorizationCode when this response carries no code.
    Result<SSOTokenRequest> tokenExchangeRequest(
        SSOTokenRequest::Parameters additionalParameters = {}) const;

    const SSOAuthorizationRequest& request() const { return request_; }
    std::optional<std::string> authorizationCode() const { return fields_.string("code"); }
    std::optional<std::string> state() const { return fields_.string("state"); }
    std::optional<std::string> accessToken() const { return fields_.string("access_token"); }
    std::optional<SSODate> accessTokenExpirationDate() const { return fields_.date("expires_in"); }
    std::optional<std::string> tokenType() const { return fields_.string("token_type"); }
    std::optional<std::string> idToken() const { return fields_.string("id_token"); }
    std::optional<std::string> scope() const { return fields_.string("scope"); }
    const Json& additionalParameters() const { return additionalParameters_; }

    // The fields with the code and the tokens masked.
    std::string description() const;

    // The fields under their wire names (the expiration date as a date), the request under
    // "request", the rest under "additionalParameters".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOAuthorizationResponse> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSOAuthorizationResponse&) const = default;

  private:
    SSOAuthorizationRequest request_;
    SSOMappedFields fields_;
    Json additionalParameters_;
};

}  // namespace quarra
