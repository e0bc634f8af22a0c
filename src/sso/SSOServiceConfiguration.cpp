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

std::string SSOServiceConfiguration::description() const {
    auto text = [](const std::optional<Url>& url) { return url ? url->string() : "(null)"; };
    return "SSOServiceConfiguration authorizationEndpoint: " + authorizationEndpoint_.string() +
           ", tokenEndpoint: " + tokenEndpoint_.string() +
           ", registrationEndpoint: " + text(registrationEndpoint_) + ", discoveryDocument: [" +
           (discoveryDocument_ ? discoveryDocument_->discoveryDictionary().dump() : "(null)") + "]";
}

}  // namespace quarra
