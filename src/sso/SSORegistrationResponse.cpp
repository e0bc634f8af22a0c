#include "sso/SSORegistrationResponse.h"

#include "sso/SSODescription.h"

namespace quarra {

SSORegistrationResponse::SSORegistrationResponse(SSORegistrationRequest request,
                                                 const Json& parameters)
    : request_(std::move(request)),
      additionalParameters_(
          SSOMappedFields::remainingParametersWithMap(fieldMap(), parameters, fields_)) {}

std::optional<SSORegistrationResponse> SSORegistrationResponse::create(
    SSORegistrationRequest request, const Json& parameters) {
    SSORegistrationResponse response(std::move(request), parameters);
    if (response.clientSecret() && !response.clientSecretExpiresAt())
        return std::nullopt;
    // The client URI and its access token manage the registration together (RFC 7592).
    if (response.registrationClientURI().has_value() !=
        response.registrationAccessToken().has_value()) {
        return std::nullopt;
    }
    return response;
}

const SSOFieldMap& SSORegistrationResponse::fieldMap() {
    using Type = SSOFieldMapping::Type;
    // Never destroyed: a reply may still be read on another thread while the process exits.
    static const SSOFieldMap& map = *new SSOFieldMap{
        {SSOClientIDParam, SSOFieldMapping(Type::String)},
        {SSOClientIDIssuedAtParam,
         SSOFieldMapping(Type::Date, SSOFieldMapping::dateEpochConversion)},
        {SSOClientSecretParam, SSOFieldMapping(Type::String)},
        {SSOClientSecretExpirestAtParam,
         SSOFieldMapping(Type::Date, SSOFieldMapping::dateEpochConversion)},
        {SSORegistrationAccessTokenParam, SSOFieldMapping(Type::String)},
        {SSORegistrationClientURIParam, SSOFieldMapping(Type::URL, SSOFieldMapping::URLConversion)},
        {SSOTokenEndpointAuthenticationMethodParam, SSOFieldMapping(Type::String)},
    };
    return map;
}

void SSORegistrationResponse::encodeWithCoder(KeyedArchiver& coder) const {
    sso_coding::encodeResponse(coder, request_, fieldMap(), fields_, additionalParameters_);
}

std::shared_ptr<SSORegistrationResponse> SSORegistrationResponse::initWithCoder(
    KeyedUnarchiver& coder) {
    auto request = coder.decodeObject<SSORegistrationRequest>("request");
    if (!request)
        return nullptr;
    std::shared_ptr<SSORegistrationResponse> response(
        new SSORegistrationResponse(*request, Json::object()));
    sso_coding::decodeResponse(coder, fieldMap(), response->fields_,
                               response->additionalParameters_);
    return response;
}

std::vector<KeyedUnarchiver::AllowedClass> SSORegistrationResponse::archiveClasses() {
    auto classes = SSORegistrationRequest::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSORegistrationResponse>());
    return classes;
}

std::string SSORegistrationResponse::description() const {
    return descriptionPrefix("SSORegistrationResponse", this) +
           ", clientID: " + fields_.describe(SSOClientIDParam) +
           ", clientIDIssuedAt: " + fields_.describe(SSOClientIDIssuedAtParam) +
           ", clientSecret: " + fields_.describe(SSOClientSecretParam, true) +
           ", clientSecretExpiresAt: " + fields_.describe(SSOClientSecretExpirestAtParam) +
           ", registrationAccessToken: " + fields_.describe(SSORegistrationAccessTokenParam, true) +
           ", registrationClientURI: " + fields_.describe(SSORegistrationClientURIParam) +
           ", additionalParameters: " + jsonText(additionalParameters_) +
           ", request: " + request_.description() + ">";
}

}  // namespace quarra
