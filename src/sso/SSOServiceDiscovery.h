#pragma once
// An OpenID provider's metadata (OpenID Connect Discovery 1.0, section 3), checked for the fields
// every provider must publish, with a getter per published key. Getters read the map as received:
// nothing is converted ahead of time. Immutable; copies share the map; safe on any thread.
#include <memory>
#include <optional>
#include <string_view>

#include "quarra/Bytes.h"
#include "quarra/Error.h"
#include "quarra/Json.h"
#include "quarra/Result.h"
#include "quarra/Url.h"
#include "sso/SSOCoding.h"

namespace quarra {

class SSOServiceDiscovery : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOServiceDiscovery";

    SSOServiceDiscovery() = delete;

    // The metadata when it has every required field and its endpoint fields parse as absolute
    // URLs; otherwise general error -2 naming the field.
    static Result<SSOServiceDiscovery> fromDictionary(Json dictionary);
    // As fromDictionary() for JSON text; text that is not JSON gives general error -7.
    static Result<SSOServiceDiscovery> fromJSONData(const Bytes& data);
    static Result<SSOServiceDiscovery> fromJSON(std::string_view json);

    // Null when every required field is there and the endpoint fields parse; else error -2.
    [[nodiscard]] static ErrorPtr dictionaryHasRequiredFields(const Json& dictionary);

    const Json& discoveryDictionary() const { return *dictionary_; }

    std::optional<Url> issuer() const { return url("issuer"); }
    std::optional<Url> authorizationEndpoint() const { return url("authorization_endpoint"); }
    std::optional<Url> tokenEndpoint() const { return url("token_endpoint"); }
    std::optional<Url> userinfoEndpoint() const { return url("userinfo_endpoint"); }
    std::optional<Url> jwksURL() const { return url("jwks_uri"); }
    std::optional<Url> registrationEndpoint() const { return url("registration_endpoint"); }
    std::optional<Url> serviceDocumentation() const { return url("service_documentation"); }
    std::optional<Url> OPPolicyURI() const { return url("op_policy_uri"); }
    std::optional<Url> OPTosURI() const { return url("op_tos_uri"); }

    // The values as published, whatever their type.
    std::optional<Json> scopesSupported() const { return value("scopes_supported"); }
    std::optional<Json> responseTypesSupported() const { return value("response_types_supported"); }
    std::optional<Json> responseModesSupported() const { return value("response_modes_supported"); }
    std::optional<Json> grantTypesSupported() const { return value("grant_types_supported"); }
    std::optional<Json> acrValuesSupported() const { return value("acr_values_supported"); }
    std::optional<Json> subjectTypesSupported() const { return value("subject_types_supported"); }
    std::optional<Json> IDTokenSigningAlgorithmValuesSupported() const {
        return value("id_token_signing_alg_values_supported");
    }
    std::optional<Json> IDTokenEncryptionAlgorithmValuesSupported() const {
        return value("id_token_encryption_alg_values_supported");
    }
    std::optional<Json> IDTokenEncryptionEncodingValuesSupported() const {
        return value("id_token_encryption_enc_values_supported");
    }
    std::optional<Json> userinfoSigningAlgorithmValuesSupported() const {
        return value("userinfo_signing_alg_values_supported");
    }
    std::optional<Json> userinfoEncryptionAlgorithmValuesSupported() const {
        return value("userinfo_encryption_alg_values_supported");
    }
    std::optional<Json> userinfoEncryptionEncodingValuesSupported() const {
        return value("userinfo_encryption_enc_values_supported");
    }
    std::optional<Json> requestObjectSigningAlgorithmValuesSupported() const {
        return value("request_object_signing_alg_values_supported");
    }
    std::optional<Json> requestObjectEncryptionAlgorithmValuesSupported() const {
        return value("request_object_encryption_alg_values_supported");
    }
    std::optional<Json> requestObjectEncryptionEncodingValuesSupported() const {
        return value("request_object_encryption_enc_values_supported");
    }
    std::optional<Json> tokenEndpointAuthMethodsSupported() const {
        return value("token_endpoint_auth_methods_supported");
    }
    std::optional<Json> tokenEndpointAuthSigningAlgorithmValuesSupported() const {
        return value("token_endpoint_auth_signing_alg_values_supported");
    }
    std::optional<Json> displayValuesSupported() const { return value("display_values_supported"); }
    std::optional<Json> claimTypesSupported() const { return value("claim_types_supported"); }
    std::optional<Json> claimsSupported() const { return value("claims_supported"); }
    std::optional<Json> claimsLocalesSupported() const { return value("claims_locales_supported"); }
    std::optional<Json> UILocalesSupported() const { return value("ui_locales_supported"); }

    // Absent flags read as the Discovery defaults.
    bool claimsParameterSupported() const { return flag("claims_parameter_supported", false); }
    bool requestParameterSupported() const { return flag("request_parameter_supported", false); }
    bool requestURIParameterSupported() const {
        return flag("request_uri_parameter_supported", true);
    }
    bool requireRequestURIRegistration() const {
        return flag("require_request_uri_registration", false);
    }

    // The metadata under "discoveryDictionary"; restoring validates it again.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOServiceDiscovery> initWithCoder(KeyedUnarchiver& coder);

    bool operator==(const SSOServiceDiscovery& other) const {
        return *dictionary_ == *other.dictionary_;
    }

  private:
    explicit SSOServiceDiscovery(Json dictionary)
        : dictionary_(std::make_shared<const Json>(std::move(dictionary))) {}

    std::optional<Url> url(std::string_view key) const;
    std::optional<Json> value(std::string_view key) const;
    bool flag(std::string_view key, bool absent) const;

    std::shared_ptr<const Json> dictionary_;
};

}  // namespace quarra
