#include "sso/SSOTokenResponse.h"

#include "sso/SSODescription.h"

namespace quarra {

SSOTokenResponse::SSOTokenResponse(SSOTokenRequest request, const Json& parameters)
    : request_(std::move(request)),
      additionalParameters_(
          SSOMappedFields::remainingParametersWithMap(fieldMap(), parameters, fields_)) {}

const SSOFieldMap& SSOTokenResponse::fieldMap() {
    using Type = SSOFieldMapping::Type;
    static const SSOFieldMap map = {
        {"access_token", SSOFieldMapping(Type::String)},
        {"expires_in", SSOFieldMapping(Type::Date, SSOFieldMapping::dateSinceNowConversion)},
        {"token_type", SSOFieldMapping(Type::String)},
        {"id_token", SSOFieldMapping(Type::String)},
        {"refresh_token", SSOFieldMapping(Type::String)},
        {"scope", SSOFieldMapping(Type::String)},
    };
    return map;
}

std::string SSOTokenResponse::description() const {
    return descriptionPrefix("SSOTokenResponse", this) +
           ", accessToken: " + fields_.describe("access_token", true) +
           ", accessTokenExpirationDate: " + fields_.describe("expires_in") +
           ", tokenType: " + fields_.describe("token_type") +
           ", idToken: " + fields_.describe("id_token", true) +
           ", refreshToken: " + fields_.describe("refresh_token", true) +
           ", scope: " + fields_.describe("scope") +
           ", additionalParameters: " + additionalParameters_.dump() +
           ", request: " + request_.description() + ">";
}

}  // namespace quarra
