#pragma once
// Certificates made on the fly for tests: a CA, leaves it issues (with the host names and IP
// addresses they are valid for) and renewed leaves that keep their key. P-256 keys, so making them
// costs little.
#include <memory>
#include <string>
#include <vector>

#include "quarra/Bytes.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace quarra::test {

class TestKey {
  public:
    TestKey();  // a fresh P-256 key
    std::string pem() const;
    EVP_PKEY* get() const { return key_.get(); }

  private:
    std::shared_ptr<EVP_PKEY> key_;
};

class TestCertificate {
  public:
    // A self-signed CA.
    static TestCertificate authority(const std::string& commonName, TestKey key = TestKey());

    // A certificate this CA issues. `names` are host names or IP addresses for the
    // subjectAltName; `isCA` makes an intermediate. Valid from an hour ago for `days`.
    TestCertificate issue(const std::string& commonName, const std::vector<std::string>& names,
                          TestKey key = TestKey(), bool isCA = false, int days = 30) const;

    Bytes der() const;
    std::string pem() const;
    const TestKey& key() const { return key_; }
    X509* get() const { return cert_.get(); }

  private:
    TestCertificate(std::shared_ptr<X509> cert, TestKey key)
        : cert_(std::move(cert)), key_(std::move(key)) {}
    std::shared_ptr<X509> cert_;
    TestKey key_;
};

}  // namespace quarra::test
