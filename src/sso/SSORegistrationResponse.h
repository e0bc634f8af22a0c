#pragma once
// A provider's reply to a client registration: the client id and, possibly, a secret and the
// values to manage the registration with. Immutable value; safe on any thread.
#include <optional>
#include <string>

#include "quarra/Json.h"
#include "quarra/Url.h"
#include "sso/SSOFieldMapping.h"
#include "sso/SSORegistrationRequest.h"

namespace quarra {

class SSORegistrationResponse : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSORegistrationResponse";
    SSORegistrationResponse() = delete;

    // The mapped reply; nothing when it gives a secret without its expiry, or only one of
    // "registration_client_uri" and "registration_access_token".
    static std::optional<SSORegistrationResponse> create(SSORegistrationRequest request,
                                                         const Json& parameters);

    // "client_id", "client_id_issued_at" and "client_secret_expires_at" (seconds since 1970),
    // "client_secret", "registration_access_token", "registration_client_uri" (a URL),
    // "token_endpoint_auth_method".
    static const SSOFieldMap& fieldMap();

    const SSORegistrationRequest& request() const { return request_; }
    std::optional<std::string> clientID() const { return fields_.string(SSOClientIDParam); }
    std::optional<SSODate> clientIDIssuedAt() const {
        return fields_.date(SSOClientIDIssuedAtParam);
    }
    std::optional<std::string> clientSecret() const { return fields_.string(SSOClientSecretParam); }
    std::optional<SSODate> clientSecretExpiresAt() const {
        return fields_.date(SSOClientSecretExpirestAtParam);
    }
    std::optional<std::string> registrationAccessToken() const {
        return fields_.string(SSORegistrationAccessTokenParam);
    }
    std::optional<Url> registrationClientURI() const {
        return fields_.url(SSORegistrationClientURIParam);
    }
    std::optional<std::string> tokenEndpointAuthenticationMethod() const {
        return fields_.string(SSOTokenEndpointAuthenticationMethodParam);
    }
    const Json& additionalParameters() const { return additionalParameters_; }

    // The fields with the secret and the access token masked.
    std::string description() const;

    // The fields under their reply keys (dates as dates, the URI as a URL), the request under
    // "request", the rest under "additionalParameters". Restoring does not validate again.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSORegistrationResponse> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSORegistrationResponse&) const = default;

  private:
    SSORegistrationResponse(SSORegistrationRequest request, const Json& parameters);

    SSORegistrationRequest request_;
    SSOMappedFields fields_;
    Json additionalParameters_;
};

}  // namespace quarra
