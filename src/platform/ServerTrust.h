#pragma once
// The certificate chain a server presented on one TLS connection, with the evaluations a security
// policy needs: against the system trust store or against given anchors, with or without a
// host-name check. Immutable, so it is shared freely between threads; evaluation has no side
// effects.
#include <optional>
#include <string>
#include <vector>

#include "quarra/Bytes.h"

namespace quarra {

// The outcome of one evaluation.
struct TrustEvaluation {
    bool valid = false;
    // The chain as verified, leaf first, each certificate DER-encoded: only certificates that
    // belong to the path from the leaf to its anchor, never extras the server appended. Empty when
    // no path could be built at all; on failure it holds the path as far as it was built.
    std::vector<Bytes> chain;
    // Why evaluation failed (OpenSSL's verify message); empty when valid.
    std::string failureReason;
};

class ServerTrust {
  public:
    // `certificates` as the peer sent them, leaf first, each DER-encoded; `host` is the host the
    // connection was made to (a name or an IP address, without brackets).
    ServerTrust(std::string host, std::vector<Bytes> certificates);

    const std::string& host() const { return host_; }
    const std::vector<Bytes>& certificates() const { return certificates_; }

    // Verifies the chain at the current time. With `hostName`, as a TLS server certificate for that
    // name or IP address; without, as a plain X.509 chain. Without `anchors` the system trust store
    // is used (OpenSSL's default locations, which honour SSL_CERT_FILE and SSL_CERT_DIR); with them
    // only those certificates are trusted, and any of them may end the path (a pinned leaf or
    // intermediate is an anchor of its own). Anchors that are not certificates are skipped.
    TrustEvaluation evaluate(const std::optional<std::string>& hostName,
                             const std::vector<Bytes>* anchors = nullptr) const;

    // What a connection does when nobody decides otherwise: the system trust store and the
    // connection's host.
    TrustEvaluation evaluateDefault() const { return evaluate(host_); }

    // The DER-encoded SubjectPublicKeyInfo of a DER certificate, so keys compare as bytes; none
    // when `certificate` cannot be parsed.
    static std::optional<Bytes> publicKey(const Bytes& certificate);

  private:
    std::string host_;
    std::vector<Bytes> certificates_;
};

}  // namespace quarra
