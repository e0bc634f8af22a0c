#include <gtest/gtest.h>
#include <stdlib.h>

#include "quarra/Bundle.h"
#include "platform/URLSession.h"
#include "support/QuarraTestServer.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"
#include "transport/HTSecurityPolicy.h"

using namespace quarra;
using test::TestCertificate;

namespace {

// A CA the system store trusts (SSL_CERT_FILE), its leaf for quarra.test, a renewal of that leaf
// with the same key, and a second CA with a leaf for the same name.
struct Fixture {
    test::TempDir dir;
    TestCertificate ca = TestCertificate::authority("Trusted CA");
    TestCertificate leaf = ca.issue("quarra.test", {"quarra.test"});
    TestCertificate renewed = ca.issue("quarra.test", {"quarra.test"}, leaf.key());
    TestCertificate otherCa = TestCertificate::authority("Other CA");
    TestCertificate otherLeaf = otherCa.issue("quarra.test", {"quarra.test"});

    explicit Fixture(bool trustOtherCa = false) {
        test::writeFile(dir / "store.pem", ca.pem() + (trustOtherCa ? otherCa.pem() : ""));
        setenv("SSL_CERT_FILE", (dir / "store.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", dir.path().c_str(), 1);
    }

    ServerTrust chain(std::initializer_list<const TestCertificate*> certificates) const {
        std::vector<Bytes> der;
        for (auto* certificate : certificates)
            der.push_back(certificate->der());
        return ServerTrust("quarra.test", der);
    }
};

std::shared_ptr<HTSecurityPolicy> pinned(
    HTSSLPinningMode mode, std::initializer_list<const TestCertificate*> certificates) {
    std::set<Bytes> der;
    for (auto* certificate : certificates)
        der.insert(certificate->der());
    return HTSecurityPolicy::policyWithPinningMode(mode, der);
}

}  // namespace

TEST(SecurityPolicyTest, DecidesOverFixtureChains) {
    Fixture f;
    auto allowInvalid = [](std::shared_ptr<HTSecurityPolicy> policy, bool validatesDomain) {
        policy->setAllowInvalidCertificates(true);
        policy->setValidatesDomainName(validatesDomain);
        return policy;
    };
    struct Case {
        const char* name;
        std::shared_ptr<HTSecurityPolicy> policy;
        ServerTrust trust;
        std::optional<std::string> domain;
        bool accepted;
    };
    const Case cases[] = {
        {"default, right leaf", HTSecurityPolicy::defaultPolicy(), f.chain({&f.leaf, &f.ca}),
         "quarra.test", true},
        {"default, leaf alone", HTSecurityPolicy::defaultPolicy(), f.chain({&f.leaf}),
         "quarra.test", true},
        {"default, wrong host", HTSecurityPolicy::defaultPolicy(), f.chain({&f.leaf, &f.ca}),
         "other.test", false},
        {"default, no domain", HTSecurityPolicy::defaultPolicy(), f.chain({&f.leaf, &f.ca}),
         std::nullopt, true},
        {"default, unrelated CA", HTSecurityPolicy::defaultPolicy(),
         f.chain({&f.otherLeaf, &f.otherCa}), "quarra.test", false},
        {"allow invalid while checking the name",
         allowInvalid(HTSecurityPolicy::defaultPolicy(), true), f.chain({&f.leaf, &f.ca}),
         "quarra.test", false},
        {"allow invalid without the name", allowInvalid(HTSecurityPolicy::defaultPolicy(), false),
         f.chain({&f.otherLeaf, &f.otherCa}), "quarra.test", true},
        {"certificate: root pinned", pinned(HTSSLPinningModeCertificate, {&f.ca}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", true},
        {"certificate: leaf pinned", pinned(HTSSLPinningModeCertificate, {&f.leaf}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", true},
        {"certificate: unrelated pinned", pinned(HTSSLPinningModeCertificate, {&f.otherCa}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", false},
        {"certificate: renewed leaf is another certificate",
         pinned(HTSSLPinningModeCertificate, {&f.leaf}), f.chain({&f.renewed, &f.ca}),
         "quarra.test", false},
        {"certificate: wrong host", pinned(HTSSLPinningModeCertificate, {&f.ca}),
         f.chain({&f.leaf, &f.ca}), "other.test", false},
        {"certificate: private CA pinned", pinned(HTSSLPinningModeCertificate, {&f.otherCa}),
         f.chain({&f.otherLeaf, &f.otherCa}), "quarra.test", true},
        {"certificate: nothing pinned", pinned(HTSSLPinningModeCertificate, {}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", false},
        {"key: leaf pinned", pinned(HTSSLPinningModePublicKey, {&f.leaf}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", true},
        {"key: renewed leaf keeps the key", pinned(HTSSLPinningModePublicKey, {&f.leaf}),
         f.chain({&f.renewed, &f.ca}), "quarra.test", true},
        {"key: root pinned, root left out by the server",
         pinned(HTSSLPinningModePublicKey, {&f.ca}), f.chain({&f.leaf}), "quarra.test", true},
        {"key: unrelated pinned", pinned(HTSSLPinningModePublicKey, {&f.otherCa}),
         f.chain({&f.leaf, &f.ca}), "quarra.test", false},
        {"key: wrong host", pinned(HTSSLPinningModePublicKey, {&f.leaf}), f.chain({&f.leaf, &f.ca}),
         "other.test", false},
        {"key: private CA pinned", pinned(HTSSLPinningModePublicKey, {&f.otherCa}),
         f.chain({&f.otherLeaf, &f.otherCa}), "quarra.test", true},
        {"key: pinned certificate merely appended", pinned(HTSSLPinningModePublicKey, {&f.leaf}),
         f.chain({&f.otherLeaf, &f.otherCa, &f.leaf}), "quarra.test", false},
        {"key: pinning with invalid allowed",
         allowInvalid(pinned(HTSSLPinningModePublicKey, {&f.leaf}), false),
         f.chain({&f.leaf, &f.ca}), "quarra.test", false},
        {"certificate: pinning with invalid allowed",
         allowInvalid(pinned(HTSSLPinningModeCertificate, {&f.ca}), true),
         f.chain({&f.leaf, &f.ca}), "quarra.test", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.policy->evaluateServerTrust(c.trust, c.domain), c.accepted) << c.name;
        EXPECT_EQ(c.policy->copy()->evaluateServerTrust(c.trust, c.domain), c.accepted) << c.name;
    }
}

TEST(SecurityPolicyTest, AppendedPinIsRefusedEvenWhenTheStoreTrustsTheRest) {
    // A certificate for the name from another CA that the store trusts, with the pinned certificate
    // appended: only keys on the verified path count.
    Fixture f(/*trustOtherCa=*/true);
    auto policy = pinned(HTSSLPinningModePublicKey, {&f.leaf});
    EXPECT_TRUE(HTSecurityPolicy::defaultPolicy()->evaluateServerTrust(
        f.chain({&f.otherLeaf, &f.otherCa, &f.leaf}), "quarra.test"));
    EXPECT_FALSE(
        policy->evaluateServerTrust(f.chain({&f.otherLeaf, &f.otherCa, &f.leaf}), "quarra.test"));
    EXPECT_TRUE(policy->evaluateServerTrust(f.chain({&f.leaf, &f.ca}), "quarra.test"));
}

TEST(SecurityPolicyTest, PublicKeysFollowThePinnedCertificates) {
    Fixture f;
    HTSecurityPolicy policy;
    EXPECT_EQ(policy.SSLPinningMode(), HTSSLPinningModeNone);
    EXPECT_TRUE(policy.validatesDomainName());
    EXPECT_FALSE(policy.allowInvalidCertificates());
    EXPECT_FALSE(policy.pinnedPublicKeys());

    policy.setPinnedCertificates(
        std::set<Bytes>{f.leaf.der(), f.renewed.der(), f.ca.der(), toBytes("junk")});
    ASSERT_TRUE(policy.pinnedPublicKeys());
    // The leaf and its renewal share one key; the junk has none.
    EXPECT_EQ(policy.pinnedPublicKeys()->size(), 2u);
    EXPECT_TRUE(policy.pinnedPublicKeys()->count(*ServerTrust::publicKey(f.ca.der())));
    policy.setPinnedCertificates(std::nullopt);
    EXPECT_FALSE(policy.pinnedPublicKeys());
}

TEST(SecurityPolicyTest, ReadsTheCertificatesOfABundle) {
    Fixture f;
    test::TempDir resources;
    test::writeFile(resources / "server.cer", toString(f.leaf.der()));
    test::writeFile(resources / "root.cer", toString(f.ca.der()));
    test::writeFile(resources / "root.pem", f.ca.pem());
    Bundle bundle(resources.path(), "com.example.pins");
    EXPECT_EQ(HTSecurityPolicy::certificatesInBundle(bundle),
              (std::set<Bytes>{f.leaf.der(), f.ca.der()}));
    // The SDK's own bundle pins nothing.
    EXPECT_TRUE(HTSecurityPolicy::policyWithPinningMode(HTSSLPinningModeCertificate)
                    ->pinnedCertificates()
                    ->empty());
}

namespace {

// Answers every server-trust challenge with the policy's decision.
class PolicyDelegate : public URLSessionDelegate {
  public:
    explicit PolicyDelegate(std::shared_ptr<HTSecurityPolicy> policy)
        : policy_(std::move(policy)) {}

    void didReceiveChallenge(URLSession&, const URLSessionTaskPtr&, const AuthChallenge& challenge,
                             ChallengeCompletion completion) override {
        const auto& space = challenge.protectionSpace;
        if (space.serverTrust && policy_->evaluateServerTrust(*space.serverTrust, space.host)) {
            completion(AuthChallengeDisposition::UseCredential,
                       UrlCredential::forTrust(space.serverTrust));
        } else {
            completion(AuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
        }
    }

  private:
    std::shared_ptr<HTSecurityPolicy> policy_;
};

// The error the request ends with (null: it succeeded).
ErrorPtr fetch(const test::QuarraTestServer& server, std::shared_ptr<HTSecurityPolicy> policy) {
    auto session = URLSession::make(URLSessionConfiguration::defaultSessionConfiguration(),
                                    std::make_shared<PolicyDelegate>(std::move(policy)));
    auto task = session->dataTask(UrlRequest(server.url("/ok"))).value();
    task->resume();
    for (int i = 0; i < 6000 && task->state() != URLSessionTaskState::Completed; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(task->state(), URLSessionTaskState::Completed);
    ErrorPtr error = task->error();
    session->invalidateAndCancel();
    return error;
}

}  // namespace

TEST(SecurityPolicyTest, GuardsRealConnectionsToTheTestServer) {
    test::QuarraTestServer server;
    server.reply("/ok", test::Reply::json("{}"));
    test::TempDir empty;
    setenv("SSL_CERT_FILE", (empty / "none.pem").c_str(), 1);
    setenv("SSL_CERT_DIR", empty.path().c_str(), 1);

    // The store does not know the test CA: only pins let the connection through.
    ErrorPtr refused = fetch(server, HTSecurityPolicy::defaultPolicy());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->domain(), URLErrorDomain);
    EXPECT_EQ(refused->code(), URLErrorCancelled);
    EXPECT_FALSE(fetch(server, pinned(HTSSLPinningModeCertificate, {&server.authority()})));
    EXPECT_FALSE(fetch(server, pinned(HTSSLPinningModePublicKey, {&server.certificate()})));
    auto stranger = TestCertificate::authority("Stranger");
    EXPECT_TRUE(fetch(server, pinned(HTSSLPinningModePublicKey, {&stranger})));
    EXPECT_EQ(server.requests("/ok").size(), 2u);

    server.trustAuthority();
    EXPECT_FALSE(fetch(server, HTSecurityPolicy::defaultPolicy()));
}

TEST(SecurityPolicyTest, ARefusedCertificateIsReportedNotPrintedAndReachesTheCallerAsATrustError) {
    test::QuarraTestServer server;
    server.reply("/ok", test::Reply::json("{}"));
    server.trustAuthority();
    std::optional<test::DiagnosticsRecorder> diagnostics(std::in_place);
    testing::internal::CaptureStderr();

    auto stranger = TestCertificate::authority("Stranger");
    ErrorPtr refused = fetch(server, pinned(HTSSLPinningModePublicKey, {&stranger}));
    auto allowsAnything = HTSecurityPolicy::policyWithPinningMode(HTSSLPinningModeCertificate);
    allowsAnything->setAllowInvalidCertificates(true);
    allowsAnything->setValidatesDomainName(false);
    EXPECT_TRUE(fetch(server, allowsAnything));
    std::string reported = diagnostics->text();
    diagnostics.reset();

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code(), URLErrorCancelled);
    ASSERT_TRUE(refused->underlyingError());
    EXPECT_EQ(refused->underlyingError()->domain(), URLErrorDomain);
    EXPECT_EQ(refused->underlyingError()->code(), URLErrorServerCertificateUntrusted);
    EXPECT_EQ(reported,
              "refused the certificate of 127.0.0.1: the server's certificate is not the one "
              "expected\n"
              "Pinning cannot be combined with allowing invalid certificates: a pin is only worth "
              "the chain that leads to it.\n"
              "refused the certificate of 127.0.0.1: the server's certificate is not the one "
              "expected\n");
}

TEST(SecurityPolicyTest, ArchiveKeepsModeFlagsAndPins) {
    Fixture f;
    auto policy = pinned(HTSSLPinningModePublicKey, {&f.leaf});
    policy->setValidatesDomainName(false);
    Json document = KeyedArchiver::archivedDocument(*policy);

    std::vector<KeyedUnarchiver::AllowedClass> allowed = {
        KeyedUnarchiver::allow<HTSecurityPolicy>()};
    auto decoded = KeyedUnarchiver::unarchivedObject<HTSecurityPolicy>(document, allowed).value();
    EXPECT_EQ(decoded->SSLPinningMode(), HTSSLPinningModePublicKey);
    EXPECT_FALSE(decoded->validatesDomainName());
    EXPECT_EQ(decoded->pinnedPublicKeys(), policy->pinnedPublicKeys());
    EXPECT_TRUE(decoded->evaluateServerTrust(f.chain({&f.renewed, &f.ca}), "anything.test"));

    document["$root"]["pinnedCertificates"]["value"][0] = "not base64!";
    ErrorPtr error = KeyedUnarchiver::unarchivedObject<HTSecurityPolicy>(document, allowed).error();
    EXPECT_TRUE(error && error->domain() == KeyedArchiveErrorDomain);
}
