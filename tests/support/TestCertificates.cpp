#include "support/TestCertificates.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace quarra::test {
namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test certificate: ") + what);
    }
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(bio);
    return text;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

bool isIpAddress(const std::string& name) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

// Makes and signs a certificate; `issuer` null means self-signed.
std::shared_ptr<X509> make(const std::string& commonName, const std::vector<std::string>& names,
                           const TestKey& key, X509* issuer, const TestKey& issuerKey, bool isCA,
                           int days) {
    std::shared_ptr<X509> cert(X509_new(), X509_free);
    X509* x = cert.get();
    X509_set_version(x, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(x), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x), 60L * 60 * 24 * days);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(x, key.get());
    X509* signer = issuer ? issuer : x;
    addExtension(x, signer, NID_subject_key_identifier, "hash");
    addExtension(x, signer, NID_authority_key_identifier, "keyid:always");
    if (isCA) {
        addExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(x, signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(x, signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(x, signer, NID_ext_key_usage, "serverAuth");
    }
    if (!names.empty()) {
        std::string san;
        for (const std::string& n : names) {
            san += (san.empty() ? "" : ",") + std::string(isIpAddress(n) ? "IP:" : "DNS:") + n;
        }
        addExtension(x, signer, NID_subject_alt_name, san);
    }
    check(X509_sign(x, issuer ? issuerKey.get() : key.get(), EVP_sha256()) > 0, "sign");
    return cert;
}

}  // namespace

TestKey::TestKey() : key_(EVP_EC_gen("P-256"), EVP_PKEY_free) {
    check(key_ != nullptr, "key");
}

std::string TestKey::pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return bioText(bio);
}

TestCertificate TestCertificate::authority(const std::string& commonName, TestKey key) {
    auto cert = make(commonName, {}, key, nullptr, key, true, 3650);
    return TestCertificate(std::move(cert), std::move(key));
}

TestCertificate TestCertificate::issue(const std::string& commonName,
                                       const std::vector<std::string>& names, TestKey key,
                                       bool isCA, int days) const {
    auto cert = make(commonName, names, key, cert_.get(), key_, isCA, days);
    return TestCertificate(std::move(cert), std::move(key));
}

Bytes TestCertificate::der() const {
    int length = i2d_X509(cert_.get(), nullptr);
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509(cert_.get(), &p);
    return der;
}

std::string TestCertificate::pem() const {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert_.get());
    return bioText(bio);
}

}  // namespace quarra::test
