#pragma once
// The endpoints that OAuth requests carry: authorization, token and (optionally) registration,
// with the provider metadata they came from. Immutable value; safe on any thread.
#include <optional>
#include <string>

#include "platform/Url.h"
#include "sso/SSOServiceDiscovery.h"

namespace quarra {

class SSOServiceConfiguration {
  public:
    SSOServiceConfiguration() = delete;
    // No endpoint is checked here; a request made with an empty one fails when it is sent.
    SSOServiceConfiguration(Url authorizationEndpoint, Url tokenEndpoint,
                            std::optional<Url> registrationEndpoint = std::nullopt,
                            std::optional<SSOServiceDiscovery> discoveryDocument = std::nullopt);
    // Endpoints from the metadata, which keeps them as valid URLs.
    explicit SSOServiceConfiguration(const SSOServiceDiscovery& discoveryDocument);

    const Url& authorizationEndpoint() const { return authorizationEndpoint_; }
    const Url& tokenEndpoint() const { return tokenEndpoint_; }
    const std::optional<Url>& registrationEndpoint() const { return registrationEndpoint_; }
    const std::optional<SSOServiceDiscovery>& discoveryDocument() const {
        return discoveryDocument_;
    }

    std::string description() const;

    bool operator==(const SSOServiceConfiguration&) const = default;

  private:
    Url authorizationEndpoint_;
    Url tokenEndpoint_;
    std::optional<Url> registrationEndpoint_;
    std::optional<SSOServiceDiscovery> discoveryDocument_;
};

}  // namespace quarra
