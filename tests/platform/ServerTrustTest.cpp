#include <gtest/gtest.h>

#include "platform/ServerTrust.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

using test::TestCertificate;
using test::TestKey;

struct Chain {
    TestCertificate root = TestCertificate::authority("Test Root");
    TestCertificate intermediate = root.issue("Test Intermediate", {}, TestKey(), true);
    TestCertificate leaf = intermediate.issue("server", {"server.test", "127.0.0.1"});
    ServerTrust trust(const std::string& host) const {
        return ServerTrust(host, {leaf.der(), intermediate.der()});
    }
};

TEST(ServerTrust, VerifiesAgainstAnchorsWithHostNamesAndAddresses) {
    Chain c;
    std::vector<Bytes> anchors{c.root.der()};
    struct Case {
        std::optional<std::string> host;
        bool valid;
    } cases[] = {{"server.test", true}, {"127.0.0.1", true},   {"other.test", false},
                 {"127.0.0.2", false},  {"SERVER.test", true}, {std::nullopt, true}};
    for (const Case& k : cases) {
        TrustEvaluation result = c.trust("server.test").evaluate(k.host, &anchors);
        EXPECT_EQ(result.valid, k.valid) << k.host.value_or("(none)") << result.failureReason;
    }
    TrustEvaluation good = c.trust("server.test").evaluate("server.test", &anchors);
    ASSERT_EQ(good.chain.size(), 3u);
    EXPECT_EQ(good.chain[0], c.leaf.der());
    EXPECT_EQ(good.chain[2], c.root.der());
}

TEST(ServerTrust, UnrelatedAnchorOrSystemStoreRefusesTestChain) {
    Chain c;
    std::vector<Bytes> unrelated{TestCertificate::authority("Other Root").der()};
    EXPECT_FALSE(c.trust("server.test").evaluate("server.test", &unrelated).valid);
    EXPECT_FALSE(c.trust("server.test").evaluateDefault().valid);
}

TEST(ServerTrust, SystemStoreFollowsSslCertFile) {
    Chain c;
    test::TempDir dir;
    test::writeFile(dir / "ca.pem", c.root.pem());
    setenv("SSL_CERT_FILE", (dir / "ca.pem").c_str(), 1);
    EXPECT_TRUE(c.trust("server.test").evaluateDefault().valid);
    EXPECT_FALSE(c.trust("other.test").evaluateDefault().valid);
    unsetenv("SSL_CERT_FILE");
}

TEST(ServerTrust, PinnedLeafIsAnAnchorOfItsOwn) {
    Chain c;
    std::vector<Bytes> anchors{c.leaf.der()};
    TrustEvaluation result = c.trust("server.test").evaluate("server.test", &anchors);
    EXPECT_TRUE(result.valid) << result.failureReason;
    EXPECT_EQ(result.chain.front(), c.leaf.der());
}

TEST(ServerTrust, AppendedCertificatesStayOutOfTheVerifiedChain) {
    Chain c;
    TestCertificate stranger = TestCertificate::authority("Stranger");
    ServerTrust trust("server.test", {c.leaf.der(), c.intermediate.der(), stranger.der()});
    std::vector<Bytes> anchors{c.root.der()};
    TrustEvaluation result = trust.evaluate("server.test", &anchors);
    ASSERT_TRUE(result.valid);
    for (const Bytes& der : result.chain) {
        EXPECT_NE(der, stranger.der());
    }
}

TEST(ServerTrust, PublicKeySurvivesRenewal) {
    Chain c;
    TestCertificate renewed = c.intermediate.issue("server", {"server.test"}, c.leaf.key());
    EXPECT_EQ(ServerTrust::publicKey(c.leaf.der()), ServerTrust::publicKey(renewed.der()));
    EXPECT_NE(ServerTrust::publicKey(c.leaf.der()), ServerTrust::publicKey(c.root.der()));
    EXPECT_FALSE(ServerTrust::publicKey(toBytes("not a certificate")));
    EXPECT_FALSE(ServerTrust("x", {}).evaluate("x").valid);
    EXPECT_FALSE(ServerTrust("x", {toBytes("junk")}).evaluate("x").valid);
}

}  // namespace
}  // namespace quarra
