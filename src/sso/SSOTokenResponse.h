#pragma once
// A token endpoint's successful reply (RFC 6749 section 5.1) mapped onto its fields; everything
// else it carried is kept in additionalParameters. Immutable value; safe on any thread.
#include <optional>
#include <string>

#include "quarra/Json.h"
#include "sso/SSOFieldMapping.h"
#include "sso/SSOTokenRequest.h"

namespace quarra {

class SSOTokenResponse : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOTokenResponse";
    SSOTokenResponse() = delete;
    // Takes whatever the reply holds; a field whose value has the wrong type stays empty.
    SSOTokenResponse(SSOTokenRequest request, const Json& parameters);

    // "access_token", "expires_in" (seconds from the moment of mapping), "token_type", "id_token",
    // "refresh_token", "scope".
    static const SSOFieldMap& fieldMap();

    const SSOTokenRequest& request() const { return request_; }
    std::optional<std::string> accessToken() const { return fields_.string("access_token"); }
    std::optional<SSODate> accessTokenExpirationDate() const { return fields_.date("expires_in"); }
    std::optional<std::string> tokenType() const { return fields_.string("token_type"); }
    std::optional<std::string> idToken() const { return fields_.string("id_token"); }
    std::optional<std::string> refreshToken() const { return fields_.string("refresh_token"); }
    std::optional<std::string> scope() const { return fields_.string("scope"); }
    const Json& additionalParameters() const { return additionalParameters_; }

    // The fields with the tokens masked.
    std::string description() const;

    // The fields under their reply keys (the expiration date as a date, not recomputed when
    // restored), the request under "request", the rest under "additionalParameters".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOTokenResponse> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSOTokenResponse&) const = default;

  private:
    SSOTokenRequest request_;
    SSOMappedFields fields_;
    Json additionalParameters_;
};

}  // namespace quarra
