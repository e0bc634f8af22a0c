#pragma once
// Dynamic client registration (OpenID Connect Dynamic Client Registration 1.0): the client that
// asks to be registered, as a JSON POST to the provider's registration endpoint. Immutable value.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Bytes.h"
#include "quarra/Url.h"
#include "quarra/UrlRequest.h"
#include "sso/SSOCoding.h"
#include "sso/SSOServiceConfiguration.h"

namespace quarra {

inline constexpr const char* SSOClientIDParam = "client_id";
inline constexpr const char* SSOClientIDIssuedAtParam = "client_id_issued_at";
inline constexpr const char* SSOClientSecretParam = "client_secret";
inline constexpr const char* SSOClientSecretExpirestAtParam = "client_secret_expires_at";
inline constexpr const char* SSORegistrationAccessTokenParam = "registration_access_token";
inline constexpr const char* SSORegistrationClientURIParam = "registration_client_uri";
inline constexpr const char* SSOTokenEndpointAuthenticationMethodParam =
    "token_endpoint_auth_method";
inline constexpr const char* SSOApplicationTypeParam = "application_type";
inline constexpr const char* SSORedirectURIsParam = "redirect_uris";
inline constexpr const char* SSOResponseTypesParam = "response_types";
inline constexpr const char* SSOGrantTypesParam = "grant_types";
inline constexpr const char* SSOSubjectTypeParam = "subject_type";
inline constexpr const char* SSOApplicationTypeNative = "native";

class SSORegistrationRequest : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSORegistrationRequest";
    using Parameters = std::map<std::string, std::string>;

    SSORegistrationRequest() = delete;
    SSORegistrationRequest(SSOServiceConfiguration configuration, std::vector<Url> redirectURIs,
                           std::optional<std::vector<std::string>> responseTypes,
                           std::optional<std::vector<std::string>> grantTypes,
                           std::optional<std::string> subjectType,
                           std::optional<std::string> tokenEndpointAuthenticationMethod,
                           Parameters additionalParameters);

    // The compact JSON body; nothing when a value cannot be written as JSON (text that is not
    // UTF-8). The named fields win over additional parameters of the same name.
    std::optional<Bytes> JSONString() const;
    // The POST to the registration endpoint; nothing without a body or without that endpoint.
    std::optional<UrlRequest> URLRequest() const;

    const SSOServiceConfiguration& configuration() const { return configuration_; }
    const std::string& applicationType() const { return applicationType_; }
    const std::vector<Url>& redirectURIs() const { return redirectURIs_; }
    const std::optional<std::vector<std::string>>& responseTypes() const { return responseTypes_; }
    const std::optional<std::vector<std::string>>& grantTypes() const { return grantTypes_; }
    const std::optional<std::string>& subjectType() const { return subjectType_; }
    const std::optional<std::string>& tokenEndpointAuthenticationMethod() const {
        return tokenEndpointAuthenticationMethod_;
    }
    const Parameters& additionalParameters() const { return additionalParameters_; }

    std::string description() const;

    // Under the JSON names ("redirect_uris", ...) but for the application type, which is always
    // "native"; the configuration under "configuration", the rest under "additionalParameters".
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSORegistrationRequest> initWithCoder(KeyedUnarchiver& coder);
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSORegistrationRequest&) const = default;

  private:
    SSOServiceConfiguration configuration_;
    std::string applicationType_ = SSOApplicationTypeNative;
    std::vector<Url> redirectURIs_;
    std::optional<std::vector<std::string>> responseTypes_;
    std::optional<std::vector<std::string>> grantTypes_;
    std::optional<std::string> subjectType_;
    std::optional<std::string> tokenEndpointAuthenticationMethod_;
    Parameters additionalParameters_;
};

}  // namespace quarra
