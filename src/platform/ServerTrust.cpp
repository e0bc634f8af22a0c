#include "platform/ServerTrust.h"

#include <arpa/inet.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace quarra {
namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;

X509Ptr parseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    // Trailing bytes mean this is not one certificate.
    if (cert && p != der.data() + der.size()) {
        cert.reset();
    }
    return cert;
}

Bytes encode(X509* cert) {
    int length = i2d_X509(cert, nullptr);
    if (length <= 0) {
        return {};
    }
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(cert, &p);
    return der;
}

// Loading the system bundle parses a hundred or more certificates, far too slow for every
// connection, so the store is kept, and made again only when the variables that choose it change.
StorePtr systemStore() {
    // Never destroyed: a connection may still start while the process exits.
    static std::mutex mutex;
    static X509_STORE* store = nullptr;
    static std::string& key = *new std::string();
    const char* file = std::getenv(X509_get_default_cert_file_env());
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    std::string current = std::string(file ? file : "") + '\n' + (dir ? dir : "");
    std::lock_guard lock(mutex);
    if (!store || key != current) {
        X509_STORE* fresh = X509_STORE_new();
        if (!fresh) {
            return nullptr;
        }
        X509_STORE_set_default_paths(fresh);
        if (store) {
            X509_STORE_free(store);
        }
        store = fresh;
        key = current;
    }
    X509_STORE_up_ref(store);
    return StorePtr(store);
}

bool isIpAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

TrustEvaluation trustFailure(std::string reason) {
    TrustEvaluation result;
    result.failureReason = std::move(reason);
    return result;
}

}  // namespace

ServerTrust::ServerTrust(std::string host, std::vector<Bytes> certificates)
    : host_(std::move(host)), certificates_(std::move(certificates)) {}

TrustEvaluation ServerTrust::evaluate(const std::optional<std::string>& hostName,
                                      const std::vector<Bytes>* anchors) const {
    if (certificates_.empty()) {
        return trustFailure("no certificate");
    }
    X509Ptr leaf = parseCertificate(certificates_.front());
    if (!leaf) {
        return trustFailure("the server's certificate cannot be parsed");
    }
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    for (size_t i = 1; i < certificates_.size(); ++i) {
        if (X509Ptr cert = parseCertificate(certificates_[i])) {
            sk_X509_push(untrusted.get(), cert.release());
        }
    }

    StorePtr store;
    if (anchors) {
        store.reset(X509_STORE_new());
        for (const Bytes& der : *anchors) {
            if (X509Ptr cert = parseCertificate(der)) {
                X509_STORE_add_cert(store.get(), cert.get());
            }
        }
    } else {
        store = systemStore();
    }
    std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
    if (!store || !ctx ||
        !X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), untrusted.get())) {
        return trustFailure("out of memory");
    }
    if (hostName) {
        X509_STORE_CTX_set_default(ctx.get(), "ssl_server");
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    if (anchors) {
        X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    }
    if (hostName) {
        if (isIpAddress(*hostName)) {
            X509_VERIFY_PARAM_set1_ip_asc(param, hostName->c_str());
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            X509_VERIFY_PARAM_set1_host(param, hostName->c_str(), hostName->size());
        }
    }

    TrustEvaluation result;
    result.valid = X509_verify_cert(ctx.get()) == 1;
    if (!result.valid) {
        result.failureReason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get()));
    }
    if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx.get())) {
        for (int i = 0; i < sk_X509_num(chain); ++i) {
            result.chain.push_back(encode(sk_X509_value(chain, i)));
        }
    }
    return result;
}

std::optional<Bytes> ServerTrust::publicKey(const Bytes& certificate) {
    X509Ptr cert = parseCertificate(certificate);
    if (!cert) {
        return std::nullopt;
    }
    X509_PUBKEY* key = X509_get_X509_PUBKEY(cert.get());
    int length = key ? i2d_X509_PUBKEY(key, nullptr) : 0;
    if (length <= 0) {
        return std::nullopt;
    }
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509_PUBKEY(key, &p);
    return der;
}

}  // namespace quarra
