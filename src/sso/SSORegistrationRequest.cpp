#include "sso/SSORegistrationRequest.h"

#include "quarra/Json.h"
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

std::optional<UrlRequest> SSORegistrationRequest::URLRequest() const {
    std::optional<Bytes> body = JSONString();
    if (!body || !configuration_.registrationEndpoint())
        return std::nullopt;
    UrlRequest request(*configuration_.registrationEndpoint());
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = std::move(body);
    return request;
}

void SSORegistrationRequest::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeObject(&configuration_, "configuration");
    std::vector<std::string> uris;
    for (const auto& uri : redirectURIs_) {
        uris.push_back(uri.string());
    }
    sso_coding::encodeStrings(coder, uris, SSORedirectURIsParam);
    if (responseTypes_)
        sso_coding::encodeStrings(coder, *responseTypes_, SSOResponseTypesParam);
    if (grantTypes_)
        sso_coding::encodeStrings(coder, *grantTypes_, SSOGrantTypesParam);
    if (subjectType_)
        coder.encodeString(*subjectType_, SSOSubjectTypeParam);
    if (tokenEndpointAuthenticationMethod_) {
        coder.encodeString(*tokenEndpointAuthenticationMethod_,
                           SSOTokenEndpointAuthenticationMethodParam);
    }
    sso_coding::encodeStringMap(coder, additionalParameters_, "additionalParameters");
}

std::shared_ptr<SSORegistrationRequest> SSORegistrationRequest::initWithCoder(
    KeyedUnarchiver& coder) {
    auto configuration = coder.decodeObject<SSOServiceConfiguration>("configuration");
    std::vector<Url> redirectURIs;
    for (const auto& text : sso_coding::decodeStrings(coder, SSORedirectURIsParam)
                                .value_or(std::vector<std::string>{})) {
        auto uri = Url::parse(text);
        if (!uri) {
            sso_coding::refuse(coder, SSORedirectURIsParam, "a list of URLs");
            return nullptr;
        }
        redirectURIs.push_back(std::move(*uri));
    }
    auto responseTypes = sso_coding::decodeStrings(coder, SSOResponseTypesParam);
    auto grantTypes = sso_coding::decodeStrings(coder, SSOGrantTypesParam);
    auto subjectType = coder.decodeString(SSOSubjectTypeParam);
    auto method = coder.decodeString(SSOTokenEndpointAuthenticationMethodParam);
    auto additionalParameters = sso_coding::decodeStringMap(coder, "additionalParameters");
    if (!configuration)
        return nullptr;
    return std::make_shared<SSORegistrationRequest>(
        *configuration, std::move(redirectURIs), std::move(responseTypes), std::move(grantTypes),
        std::move(subjectType), std::move(method), std::move(additionalParameters));
}

std::vector<KeyedUnarchiver::AllowedClass> SSORegistrationRequest::archiveClasses() {
    auto classes = SSOServiceConfiguration::archiveClasses();
    classes.push_back(KeyedUnarchiver::allow<SSORegistrationRequest>());
    return classes;
}

std::string SSORegistrationRequest::description() const {
    std::optional<UrlRequest> request = URLRequest();
    return descriptionPrefix("SSORegistrationRequest", this) +
           ", request: <URL: " + (request ? request->url.string() : "(null)") +
           ", HTTPBody: " + (request ? toString(*request->httpBody) : "(null)") + ">>";
}

}  // namespace quarra
