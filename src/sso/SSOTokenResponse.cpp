#include "sso/SSOTokenResponse.h"

#include "sso/SSODescription.h"

namespace quarra {

SSOTokenResponse::SSOTokenResponse(SSOTokenRequest request, const Json& parameters)
    : request_(std::move(request)),
      additionalParameters_(
          SSOMappedFields::remainingParametersWithMap(fieldMap(), parameters, fields_)) {}

const SSOFieldMap& SSOTokenResponse::fieldMap() {
    using Type = SSOFieldMapping::Type;
    // Never destroyed: a reply may still be read on another thread while the process exits.
    static const SSOFieldMap& map = *new SSOFieldMap{
        {"access_token", SSOFieldMapping(Type::String)},
        {"expires_in", SSOFieldMapping(Type::Date, SSOFieldMapping::dateSinceNowConversion)},
        {"token_type", SSOFieldMapping(Type::String)},
        {"id_token", SSOFieldMapping(Type::String)},
        {"refresh_token", SSOFieldMapping(Type::String)},
        {"scope", SSOFieldMapping(Type::String)},
    };
    return map;
}

void SSOTokenResponse::encodeWithCoder(KeyedArchiver& coder) const {
    sso_coding::encodeResponse(coder, request_, fieldMap(), fields_, additionalParameters_);
}

std::shared_ptr<SSOTokenResponse> SSOTokenResponse::initWithCoder(KeyedUnarchiver& coder) {
    auto request = coder.decodeObject<SSOTokenRequest>("request");
    if (!request)
        return nullptr;
    auto response = std::make_shared<SSOTokenResponse>(*request, Json::object());
    sso_coding::decodeResponse(coder, fieldMap(), response->fields_,
                               response->additionalParameters_);
    return response;
}

std::vector<KeyedUnarchiver::AllowedClass> SSOTokenResponse::archiveClasses() {
    auto classes = SSOTokenRequest::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSOTokenResponse>());
    return classes;
}

std::string SSOTokenResponse::description() const {
    return descriptionPrefix("SSOTokenResponse", this) +
           ", accessToken: " + fields_.describe("access_token", true) +
           ", accessTokenExpirationDate: " + fields_.describe("expires_in") +
           ", tokenType: " + fields_.describe("token_type") +
           ", idToken: " + fields_.describe("id_token", true) +
           ", refreshToken: " + fields_.describe("refresh_token", true) +
           ", scope: " + fields_.describe("scope") +
           ", additionalParameters: " + jsonText(additionalParameters_) +
           ", request: " + request_.description() + ">";
}

}  // namespace quarra
