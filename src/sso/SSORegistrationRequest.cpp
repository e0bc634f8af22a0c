#include "sso/SSORegistrationRequest.h"

#include "platform/Json.h"
#include "sso/SSODescription.h"

namespace quarra {

SSORegistrationRequest::SSORegistrationRequest(
    SSOServiceConfiguration configuration, std::vector<Url> redirectURIs,
    std::optional<std::vector<std::string>> responseTypes,
    std::optional<std::vector<std::string>> grantTypes, std::optional<std::string> subjectType,
    std::optional<std::string> tokenEndpointAuthenticationMethod, Parameters additionalParameters)
    : configuration_(std::move(configuration)),
      redirectURIs_(std::move(redirectURIs)),
      responseTypes_(std::move(responseTypes)),
      grantTypes_(std::move(grantTypes)),
      subjectType_(std::move(subjectType)),
      tokenEndpointAuthenticationMethod_(std::move(tokenEndpointAuthenticationMethod)),
      additionalParameters_(std::move(additionalParameters)) {}

std::optional<Bytes> SSORegistrationRequest::JSONString() const {
    Json body = Json::object();
    for (const auto& [name, value] : additionalParameters_) {
        body[name] = value;
    }
    Json uris = Json::array();
    for (const auto& uri : redirectURIs_) {
        uris.push_back(uri.string());
    }
    body[SSORedirectURIsParam] = std::move(uris);
    body[SSOApplicationTypeParam] = applicationType_;
    if (responseTypes_)
        body[SSOResponseTypesParam] = *responseTypes_;
    if (grantTypes_)
        body[SSOGrantTypesParam] = *grantTypes_;
    if (subjectType_)
        body[SSOSubjectTypeParam] = *subjectType_;
    if (tokenEndpointAuthenticationMethod_) {
        body[SSOTokenEndpointAuthenticationMethodParam] = *tokenEndpointAuthenticationMethod_;
    }
    try {
        return toBytes(body.dump());
    } catch (const Json::type_error&) {
        return std::nullopt;
    }
}

std::optional<SSOURLRequest> SSORegistrationRequest::URLRequest() const {
    std::optional<Bytes> body = JSONString();
    if (!body || !configuration_.registrationEndpoint())
        return std::nullopt;
    return SSOURLRequest{*configuration_.registrationEndpoint(),
                         "POST",
                         {{"Content-Type", "application/json"}},
                         std::move(*body)};
}

std::string SSORegistrationRequest::description() const {
    std::optional<SSOURLRequest> request = URLRequest();
    return descriptionPrefix("SSORegistrationRequest", this) +
           ", request: <URL: " + (request ? request->url.string() : "(null)") +
           ", HTTPBody: " + (request ? toString(request->body) : "(null)") + ">>";
}

}  // namespace quarra
