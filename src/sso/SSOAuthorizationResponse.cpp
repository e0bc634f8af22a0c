#include "sso/SSOAuthorizationResponse.h"

#include "sso/SSODescription.h"
#include "sso/SSOErrorUtilities.h"

namespace quarra {

SSOAuthorizationResponse::SSOAuthorizationResponse(SSOAuthorizationRequest request,
                                                   const Json& parameters)
    : request_(std::move(request)),
      additionalParameters_(
          SSOMappedFields::remainingParametersWithMap(fieldMap(), parameters, fields_)) {}

const SSOFieldMap& SSOAuthorizationResponse::fieldMap() {
    using Type = SSOFieldMapping::Type;
    // Never destroyed: a reply may still be read on another thread while the process exits.
    static const SSOFieldMap& map = *new SSOFieldMap{
        {"code", SSOFieldMapping(Type::String)},
        {"state", SSOFieldMapping(Type::String)},
        {"access_token", SSOFieldMapping(Type::String)},
        {"expires_in", SSOFieldMapping(Type::Date, SSOFieldMapping::dateSinceNowConversion)},
        {"token_type", SSOFieldMapping(Type::String)},
        {"id_token", SSOFieldMapping(Type::String)},
        {"scope", SSOFieldMapping(Type::String)},
    };
    return map;
}

Result<SSOTokenRequest> SSOAuthorizationResponse::tokenExchangeRequest(
    SSOTokenRequest::Parameters additionalParameters) const {
    std::optional<std::string> code = authorizationCode();
    if (!code) {
        return SSOErrorUtilities::errorWithCode(
            SSOErrorCodeNoAuthorizationCode, nullptr,
            "Attempted to create a token exchange request from an authorization response with no "
            "authorization code.");
    }
    return SSOTokenRequest(request_.configuration(), SSOGrantTypeAuthorizationCode, std::move(code),
                           request_.redirectURL(), request_.clientID(), request_.clientSecret(),
                           std::nullopt, std::nullopt, request_.codeVerifier(),
                           std::move(additionalParameters));
}

void SSOAuthorizationResponse::encodeWithCoder(KeyedArchiver& coder) const {
    sso_coding::encodeResponse(coder, request_, fieldMap(), fields_, additionalParameters_);
}

std::shared_ptr<SSOAuthorizationResponse> SSOAuthorizationResponse::initWithCoder(
    KeyedUnarchiver& coder) {
    auto request = coder.decodeObject<SSOAuthorizationRequest>("request");
    if (!request)
        return nullptr;
    auto response = std::make_shared<SSOAuthorizationResponse>(*request, Json::object());
    sso_coding::decodeResponse(coder, fieldMap(), response->fields_,
                               response->additionalParameters_);
    return response;
}

std::vector<KeyedUnarchiver::AllowedClass> SSOAuthorizationResponse::archiveClasses() {
    auto classes = SSOAuthorizationRequest::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSOAuthorizationResponse>());
    return classes;
}

std::string SSOAuthorizationResponse::description() const {
    return descriptionPrefix("SSOAuthorizationResponse", this) +
           ", authorizationCode: " + fields_.describe("code", true) +
           ", state: " + fields_.describe("state") +
           ", accessToken: " + fields_.describe("access_token", true) +
           ", accessTokenExpirationDate: " + fields_.describe("expires_in") +
           ", tokenType: " + fields_.describe("token_type") +
           ", idToken: " + fields_.describe("id_token", true) +
           ", scope: " + fields_.describe("scope") +
           ", additionalParameters: " + jsonText(additionalParameters_) +
           ", request: " + request_.description() + ">";
}

}  // namespace quarra
