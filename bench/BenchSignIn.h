#pragma once
// A host signed in as a user of its own would be: the loopback test server serves the sign-in host
// and one Quarra, and the user "bench" signs in through the SDK, which makes the user's keys. The
// caller points HOME and XDG_DATA_HOME into the run's scratch folder first and adds its endpoints
// to the Quarra (kBenchQuarra) before or after.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "auth/TVKQuarraAuthInternal.h"
#include "auth/TVKQuarraAuthManager.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"

namespace quarra::bench {

inline constexpr std::uint64_t kBenchQuarra = 5'000'000'001;

// Exits with a message when the sign-in fails: no figure of a signed-out run means anything.
inline TVKUserInternalPtr signInBenchUser(test::QuarraTestServer& server,
                                          test::QuarraTestService& service) {
    server.trustAuthority();
    Bundle::setMainBundle("com.example.benchhost");
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    service.serveSignInHost(server);
    service.serveQuarra(server, kBenchQuarra, "Bench");
    service.addUser({"bench", "pw", 1, {kBenchQuarra}, kBenchQuarra});
    TVKQuarraAuthInternal::sharedInstance().setAuthDNS(service.host(kBenchQuarra));
    bool done = false;
    ErrorPtr error;
    TVKQuarraAuthInternal::sharedInstance().authenticateWithUsername(
        "bench", "pw", [&](const TVKUserPtr&, const ErrorPtr& e) {
            error = e;
            done = true;
        });
    runMainUntil([&] { return done; }, std::chrono::seconds(60));
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (!user) {
        std::fprintf(stderr, "the benchmark user could not sign in: %s\n",
                     error ? error->description().c_str() : "no answer");
        std::exit(1);
    }
    return user;
}

}  // namespace quarra::bench
