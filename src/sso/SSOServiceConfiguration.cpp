#include "sso/SSOServiceConfiguration.h"

namespace quarra {

SSOServiceConfiguration::SSOServiceConfiguration(
    Url authorizationEndpoint, Url tokenEndpoint, std::optional<Url> registrationEndpoint,
    std::optional<SSOServiceDiscovery> discoveryDocument)
    : authorizationEndpoint_(std::move(authorizationEndpoint)),
      tokenEndpoint_(std::move(tokenEndpoint)),
      registrationEndpoint_(std::move(registrationEndpoint)),
      discoveryDocument_(std::move(discoveryDocument)) {}

SSOServiceConfiguration::SSOServiceConfiguration(const SSOServiceDiscovery& discoveryDocument)
    : SSOServiceConfiguration(discoveryDocument.authorizationEndpoint().value_or(Url()),
                              discoveryDocument.tokenEndpoint().value_or(Url()),
                              discoveryDocument.registrationEndpoint(), discoveryDocument) {}

void SSOServiceConfiguration::encodeWithCoder(KeyedArchiver& coder) const {
    // An empty endpoint is written as none, which restores as no configuration.
    if (!authorizationEndpoint_.empty())
        coder.encodeUrl(authorizationEndpoint_, "authorizationEndpoint");
    if (!tokenEndpoint_.empty())
        coder.encodeUrl(tokenEndpoint_, "tokenEndpoint");
    if (registrationEndpoint_)
        coder.encodeUrl(*registrationEndpoint_, "registrationEndpoint");
    if (discoveryDocument_)
        coder.encodeObject(&*discoveryDocument_, "discoveryDocument");
}

std::shared_ptr<SSOServiceConfiguration> SSOServiceConfiguration::initWithCoder(
    KeyedUnarchiver& coder) {
    std::optional<Url> authorization = coder.decodeUrl("authorizationEndpoint");
    std::optional<Url> token = coder.decodeUrl("tokenEndpoint");
    std::optional<Url> registration = coder.decodeUrl("registrationEndpoint");
    auto discovery = coder.decodeObject<SSOServiceDiscovery>("discoveryDocument");
    if (!authorization || !token)
        return nullptr;
    return std::make_shared<SSOServiceConfiguration>(
        std::move(*authorization), std::move(*token), std::move(registration),
        discovery ? std::optional<SSOServiceDiscovery>(*discovery) : std::nullopt);
}

std::vector<KeyedUnarchiver::AllowedClass> SSOServiceConfiguration::archiveClasses() {
    return {KeyedUnarchiver::allow<SSOServiceConfiguration>(),
            KeyedUnarchiver::allow<SSOServiceDiscovery>()};
}

std::string SSOServiceConfiguration::description() const {
    auto text = [](const std::optional<Url>& url) { return url ? url->string() : "(null)"; };
    return "SSOServiceConfiguration authorizationEndpoint: " + authorizationEndpoint_.string() +
           ", tokenEndpoint: " + tokenEndpoint_.string() +
           ", registrationEndpoint: " + text(registrationEndpoint_) + ", discoveryDocument: [" +
           (discoveryDocument_ ? discoveryDocument_->discoveryDictionary().dump() : "(null)") + "]";
}

}  // namespace quarra
