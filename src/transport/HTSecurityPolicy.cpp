#include "transport/HTSecurityPolicy.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/Base64.h"
#include "platform/Diagnostics.h"
#include "quarra/Bundle.h"

namespace quarra {
namespace {

void logRefusal(const char* message) {
    reportDiagnostic(DiagnosticLevel::Error, message);
}

}  // namespace

std::shared_ptr<HTSecurityPolicy> HTSecurityPolicy::defaultPolicy() {
    return std::make_shared<HTSecurityPolicy>();
}

std::shared_ptr<HTSecurityPolicy> HTSecurityPolicy::policyWithPinningMode(HTSSLPinningMode mode) {
    return policyWithPinningMode(mode, defaultPinnedCertificates());
}

std::shared_ptr<HTSecurityPolicy> HTSecurityPolicy::policyWithPinningMode(
    HTSSLPinningMode mode, std::set<Bytes> pinnedCertificates) {
    auto policy = defaultPolicy();
    policy->mode_ = mode;
    policy->setPinnedCertificates(std::move(pinnedCertificates));
    return policy;
}

std::set<Bytes> HTSecurityPolicy::certificatesInBundle(const Bundle& bundle) {
    std::set<Bytes> certificates;
    for (const std::string& name : bundle.resourceNames()) {
        if (!name.ends_with(".cer"))
            continue;
        if (auto der = bundle.resourceData(name))
            certificates.insert(Bytes(der->begin(), der->end()));
    }
    return certificates;
}

const std::set<Bytes>& HTSecurityPolicy::defaultPinnedCertificates() {
    static const auto* certificates = new std::set<Bytes>(certificatesInBundle(Bundle::sdk()));
    return *certificates;
}

std::shared_ptr<HTSecurityPolicy> HTSecurityPolicy::copy() const {
    auto copy = defaultPolicy();
    copy->mode_ = mode_;
    copy->allowInvalid_ = allowInvalid_;
    copy->validatesDomainName_ = validatesDomainName_;
    copy->setPinnedCertificates(certificates_);
    return copy;
}

void HTSecurityPolicy::encodeWithCoder(KeyedArchiver& coder) const {
    coder.encodeUInt64(mode_, "SSLPinningMode");
    coder.encodeBool(allowInvalid_, "allowInvalidCertificates");
    coder.encodeBool(validatesDomainName_, "validatesDomainName");
    if (certificates_) {
        Json certificates = Json::array();
        for (const Bytes& certificate : *certificates_)
            certificates.push_back(base64Encode(certificate));
        coder.encodeJson(certificates, "pinnedCertificates");
    }
}

std::shared_ptr<HTSecurityPolicy> HTSecurityPolicy::initWithCoder(KeyedUnarchiver& coder) {
    auto policy = defaultPolicy();
    policy->mode_ = static_cast<HTSSLPinningMode>(coder.decodeUInt64("SSLPinningMode").value_or(0));
    policy->allowInvalid_ = coder.decodeBool("allowInvalidCertificates").value_or(false);
    policy->validatesDomainName_ = coder.decodeBool("validatesDomainName").value_or(true);
    if (auto list = coder.decodeJson("pinnedCertificates")) {
        std::set<Bytes> certificates;
        for (const Json& text : *list) {
            auto der = text.is_string() ? base64Decode(text.get<std::string>()) : std::nullopt;
            if (!der) {
                coder.failWithError(Error::make(KeyedArchiveErrorDomain, KeyedArchiveCorrupt,
                                                "a pinned certificate is not Base64 text"));
                return nullptr;
            }
            certificates.insert(std::move(*der));
        }
        policy->setPinnedCertificates(std::move(certificates));
    }
    return coder.error() ? nullptr : policy;
}

void HTSecurityPolicy::setPinnedCertificates(std::optional<std::set<Bytes>> certificates) {
    certificates_ = std::move(certificates);
    if (!certificates_) {
        publicKeys_.reset();
        return;
    }
    publicKeys_.emplace();
    for (const Bytes& certificate : *certificates_) {
        if (auto key = ServerTrust::publicKey(certificate))
            publicKeys_->insert(std::move(*key));
    }
}

bool HTSecurityPolicy::evaluateServerTrust(const ServerTrust& trust,
                                           const std::optional<std::string>& domain) const {
    bool pinsSomething = mode_ != HTSSLPinningModeNone && certificates_ && !certificates_->empty();
    if (domain && allowInvalid_ && validatesDomainName_ && !pinsSomething) {
        logRefusal(
            "In order to validate a domain name for self signed certificates, you MUST use "
            "pinning.");
        return false;
    }
    if (allowInvalid_ && mode_ != HTSSLPinningModeNone) {
        logRefusal(
            "Pinning cannot be combined with allowing invalid certificates: a pin is only "
            "worth the chain that leads to it.");
        return false;
    }
    std::optional<std::string> host = validatesDomainName_ ? domain : std::nullopt;

    switch (mode_) {
        case HTSSLPinningModeNone:
            return allowInvalid_ || trust.evaluate(host).valid;
        case HTSSLPinningModeCertificate: {
            if (!certificates_)
                return false;
            std::vector<Bytes> anchors(certificates_->begin(), certificates_->end());
            // With the pinned certificates as the only anchors, a verified chain ends in one of
            // them.
            return trust.evaluate(host, &anchors).valid;
        }
        case HTSSLPinningModePublicKey: {
            if (!publicKeys_)
                return false;
            auto isPinned = [this](const Bytes& certificate) {
                auto key = ServerTrust::publicKey(certificate);
                return key && publicKeys_->count(*key) > 0;
            };
            // A chain the trust store verifies, pinned anywhere on its path (the root may come from
            // the store rather than from the server)...
            TrustEvaluation system = trust.evaluate(host);
            if (system.valid && std::any_of(system.chain.begin(), system.chain.end(), isPinned)) {
                return true;
            }
            // ...or a chain that verifies up to a certificate whose key is pinned.
            std::vector<Bytes> anchors;
            std::copy_if(trust.certificates().begin(), trust.certificates().end(),
                         std::back_inserter(anchors), isPinned);
            // The chain has to verify up to one of them: an appended certificate that the leaf does
            // not chain to is no anchor of its path.
            return !anchors.empty() && trust.evaluate(host, &anchors).valid;
        }
    }
    return false;
}

}  // namespace quarra
