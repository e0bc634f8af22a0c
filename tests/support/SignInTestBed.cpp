#include "support/SignInTestBed.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/TestSupport.h"

namespace quarra::test {

SignInTestBed::SignInTestBed() {
    // Both servers have their own authority; the process trusts the two.
    auto trust = sandbox() / "trusted-authorities.pem";
    writeFile(trust, readFile(first.authorityFile()) + readFile(second.authorityFile()));
    setenv("SSL_CERT_FILE", trust.c_str(), 1);

    service.serveSignInHost(first);
    service.serveQuarra(first, FirstQuarra, "First");
    service.serveQuarra(second, SecondQuarra, "Second");
    service.addUser({Alice, AlicePassword, AliceId, {FirstQuarra, SecondQuarra}, FirstQuarra});
    service.addUser({Bob, "hunter2", 7, {SecondQuarra}, std::nullopt});
    TVKQuarraAuthManager::sharedInstance().setAuthDNS("127.0.0.1:" + std::to_string(first.port()));
}

SignInTestBed::~SignInTestBed() {
    TVKQuarraManager::sharedInstance().cancelAllRequests();
}

TVKUserInternalPtr SignInTestBed::signIn(const std::string& username, const std::string& password) {
    Outcome outcome;
    TVKQuarraAuthManager::sharedInstance().loginToAuthServerWithUsername(username, password,
                                                                         outcome.userHandler());
    EXPECT_TRUE(outcome.wait());
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_TRUE(outcome.user);
    return outcome.user;
}

TVKQuarraPtr SignInTestBed::quarra(std::uint64_t Id) const {
    return TVKQuarraAuthManager::sharedInstance().quarraWithId(Id).valueOr(nullptr);
}

std::size_t SignInTestBed::count(const std::string& endpoint) const {
    std::string path = endpoint.starts_with("/") ? endpoint : service.apiPath(endpoint);
    return first.requests(path).size() + second.requests(path).size();
}

}  // namespace quarra::test
