#pragma once
// The endpoints that OAuth requests carry: authorization, token and (optionally) registration,
// with the provider metadata they came from. Immutable value; safe on any thread.
#include <optional>
#include <string>

#include "quarra/Url.h"
#include "sso/SSOCoding.h"
#include "sso/SSOServiceDiscovery.h"

namespace quarra {

class SSOServiceConfiguration : public SSOCoding {
  public:
    static constexpr const char* ArchiveClassName = "SSOServiceConfiguration";

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

    // "authorizationEndpoint", "tokenEndpoint", "registrationEndpoint", "discoveryDocument";
    // restoring refuses an archive without the first two.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<SSOServiceConfiguration> initWithCoder(KeyedUnarchiver& coder);
    // The classes that an archive of a configuration holds.
    static std::vector<KeyedUnarchiver::AllowedClass> archiveClasses();

    bool operator==(const SSOServiceConfiguration&) const = default;

  private:
    Url authorizationEndpoint_;
    Url tokenEndpoint_;
    std::optional<Url> registrationEndpoint_;
    std::optional<SSOServiceDiscovery> discoveryDocument_;
};

}  // namespace quarra
