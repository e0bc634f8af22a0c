#pragma once
// Decides whether a server's certificate chain is accepted for a host: against the system trust
// store by default, or pinned to certificates or to their public keys. Configure a policy before it
// is shared; evaluation only reads it, so one policy serves many connections at once.
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "quarra/Bytes.h"
#include "platform/KeyedArchiver.h"
#include "platform/ServerTrust.h"

namespace quarra {

class Bundle;

enum HTSSLPinningMode : unsigned long {
    HTSSLPinningModeNone = 0,
    HTSSLPinningModePublicKey = 1,
    HTSSLPinningModeCertificate = 2,
};

class HTSecurityPolicy : public Coding {
  public:
    static constexpr const char* ArchiveClassName = "HTSecurityPolicy";

    // No pinning, the domain name validated, invalid certificates refused.
    HTSecurityPolicy() = default;
    HTSecurityPolicy(const HTSecurityPolicy&) = delete;
    HTSecurityPolicy& operator=(const HTSecurityPolicy&) = delete;

    static std::shared_ptr<HTSecurityPolicy> defaultPolicy();
    // Pinned to the SDK bundle's certificates.
    static std::shared_ptr<HTSecurityPolicy> policyWithPinningMode(HTSSLPinningMode mode);
    static std::shared_ptr<HTSecurityPolicy> policyWithPinningMode(
        HTSSLPinningMode mode, std::set<Bytes> pinnedCertificates);
    // The DER files ending in ".cer" in the bundle's resource folder.
    static std::set<Bytes> certificatesInBundle(const Bundle& bundle);
    // certificatesInBundle of the SDK's bundle, read once per process.
    static const std::set<Bytes>& defaultPinnedCertificates();

    // A new policy with the same settings and certificates.
    std::shared_ptr<HTSecurityPolicy> copy() const;

    // Archived as "SSLPinningMode", "allowInvalidCertificates", "validatesDomainName" and
    // "pinnedCertificates" (Base64 texts); keys left out keep their defaults.
    std::string archiveClassName() const override { return ArchiveClassName; }
    void encodeWithCoder(KeyedArchiver& coder) const override;
    static std::shared_ptr<HTSecurityPolicy> initWithCoder(KeyedUnarchiver& coder);

    HTSSLPinningMode SSLPinningMode() const { return mode_; }
    void setSSLPinningMode(HTSSLPinningMode mode) { mode_ = mode; }
    // DER certificates; the public keys are derived from them (certificates that cannot be read
    // give no key).
    const std::optional<std::set<Bytes>>& pinnedCertificates() const { return certificates_; }
    void setPinnedCertificates(std::optional<std::set<Bytes>> certificates);
    // DER SubjectPublicKeyInfo of the pinned certificates.
    const std::optional<std::set<Bytes>>& pinnedPublicKeys() const { return publicKeys_; }
    // Accept chains the trust store refuses (self-signed ones, say). Only without pinning, and only
    // with the domain name unchecked: a check of a name that anyone may sign proves nothing.
    bool allowInvalidCertificates() const { return allowInvalid_; }
    void setAllowInvalidCertificates(bool allow) { allowInvalid_ = allow; }
    bool validatesDomainName() const { return validatesDomainName_; }
    void setValidatesDomainName(bool validates) { validatesDomainName_ = validates; }

    // Whether `trust` is accepted for `domain` (none: no name to check).
    //  - none: the chain must verify against the system trust store (unless invalid ones are
    //  allowed);
    //  - certificate: the chain must verify with the pinned certificates as the only anchors;
    //  - public key: the chain must verify up to a certificate of the chain whose key is pinned.
    // Pinned anchors stand in for the trust store, so a private CA is pinned without allowing
    // invalid certificates; a pinned certificate or key that the server merely appends, outside the
    // verified path, counts for nothing. Pinning together with allowing invalid certificates is
    // refused.
    bool evaluateServerTrust(const ServerTrust& trust,
                             const std::optional<std::string>& domain) const;

  private:
    HTSSLPinningMode mode_ = HTSSLPinningModeNone;
    std::optional<std::set<Bytes>> certificates_;
    std::optional<std::set<Bytes>> publicKeys_;
    bool allowInvalid_ = false;
    bool validatesDomainName_ = true;
};

}  // namespace quarra
