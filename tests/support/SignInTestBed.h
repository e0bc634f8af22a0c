#pragma once
// A signed-in world for tests: two Quarras on two loopback test servers (the first one also the
// sign-in host), users who may use them, and the SDK pointed at both and trusting them. Make it
// before the test's first SDK call.
#include <cstdint>
#include <string>

#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraManager.h"
#include "quarra/RunLoop.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"

namespace quarra::test {

// What a handler delivered; set on the main queue, read by the test after waiting.
struct Outcome {
    int calls = 0;
    Json response;
    TVKUserInternalPtr user;
    ErrorPtr error;

    TVKQuarraRequestHandler requestHandler() {
        return [this](const Json& r, const ErrorPtr& e) {
            ++calls;
            response = r;
            error = e;
        };
    }
    TVKUserHandler userHandler() {
        return [this](const TVKUserInternalPtr& u, const ErrorPtr& e) {
            ++calls;
            user = u;
            error = e;
        };
    }
    // Runs the main loop until the handler has been called (at most five seconds).
    bool wait() {
        return runMainUntil([this] { return calls > 0; });
    }
};

class SignInTestBed {
  public:
    // Above 2^32, so ids must travel as 64-bit values.
    static constexpr std::uint64_t FirstQuarra = 5'000'000'001;
    static constexpr std::uint64_t SecondQuarra = 42;
    static constexpr std::uint64_t AliceId = 9'000'000'007;
    static constexpr const char* Alice = "alice";
    static constexpr const char* AlicePassword = "secret";
    // Only a member of the second Quarra.
    static constexpr const char* Bob = "bob";

    SignInTestBed();
    // Ends the SDK's connections, so the servers stop at once.
    ~SignInTestBed();

    // Signs the user in with the password; fails the test when that does not work.
    TVKUserInternalPtr signIn(const std::string& username = Alice,
                              const std::string& password = AlicePassword);
    // The signed-in user's Quarra.
    TVKQuarraPtr quarra(std::uint64_t Id) const;
    // Requests that reached the Quarras and the sign-in host on the path of a Quarra endpoint
    // ("objects/users/me") or a sign-in host endpoint ("/auth/api").
    std::size_t count(const std::string& endpoint) const;

    // Made before the servers and so gone only after they stop: their threads answer through it
    // until then (a log upload that a request started may still be arriving).
    QuarraTestService service;
    QuarraTestServer first;
    QuarraTestServer second;
};

}  // namespace quarra::test
