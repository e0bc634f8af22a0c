// A small host program: forwards its launch to the SDK, signs a user in and calls the server.
//
//     quarra_example                       starts the bundled test server and signs in its demo
//                                          user
//     quarra_example sso                   the same through single sign-on: the bundled OpenID
//                                          provider signs the demo user in, in the desktop's
//                                          browser (log in as "demo" with any password); without
//                                          a display the test driver plays the person there
//     quarra_example <host[:port]> <user>  signs in to that sign-in host (password from
//                                          QUARRA_PASSWORD, else read from standard input) and
//                                          asks for the user's own record
#include <stdlib.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "QuarraMobileSDK.h"
#include "auth/TVKQuarraAuth.h"
#include "auth/TVKQuarraAuthInternal.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "core/TVKSDKApplicationDelegate.h"
#include "platform/Browser.h"
#include "platform/Bundle.h"
#include "platform/RunLoop.h"
#include "support/OpenIDTestProvider.h"
#include "support/ProviderTestDriver.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"

using namespace quarra;

namespace {

constexpr std::uint64_t kDemoQuarra = 5'000'000'001;
constexpr auto kTimeout = std::chrono::seconds(30);

// The embedded server: a sign-in host and one Quarra with a demo user and a few documents.
struct DemoServer {
    test::QuarraTestServer server;
    test::QuarraTestService service;

    DemoServer() {
        // The SDK trusts this server's own authority; done before any connection is made.
        server.trustAuthority();
        service.serveSignInHost(server);
        service.serveQuarra(server, kDemoQuarra, "Demo Quarra");
        service.addUser({"demo", "demo-password", 9'000'000'007, {kDemoQuarra}, kDemoQuarra});
        service.addEndpoint(
            kDemoQuarra, "objects/documents",
            [](const test::RecordedRequest&, const test::QuarraTestService::User& user) {
                return test::QuarraTestService::success(
                    {{"data",
                      {{{"id", 1}, {"name", "Welcome.pdf"}, {"owner", user.username}},
                       {{"id", 2}, {"name", "Budget 2027.xlsx"}, {"owner", user.username}}}}});
            });
    }
};

// Single sign-on for the demo user: the bundled provider, the exchange on the embedded server.
struct DemoProvider {
    test::OpenIDTestProvider provider;

    explicit DemoProvider(DemoServer& demo) {
        demo.service.serveSessionExchange(demo.server, provider.issuer());
        demo.service.setSingleSignOnProfile(
            "demo", {{"as_metadata", provider.metadata()},
                     {"quarra_session_endpoint", demo.server.url("/oauth/session").string()}});
        if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) {
            // Nobody can see a browser: the test driver logs in as the demo user.
            Browser::setShared(std::make_shared<test::ProviderTestBrowser>(
                test::ProviderTestDriver::Options{.login = "demo", .password = "any"}));
        }
    }
};

std::string describe(const ErrorPtr& error) {
    return error->localizedDescription() + " (" + error->domain() + " " +
           std::to_string(error->code()) + ")";
}

}  // namespace

int main(int argc, char** argv) {
    // A host names itself before the SDK starts (unless the environment already does).
    if (!getenv("QUARRA_HOST_BUNDLE_ID")) {
        Bundle::setMainBundle(
            "com.example.quarra-example",
            {{BundleShortVersionKey, "1.0"},
             {"com.tovik.PasscodeEnabled", false},
             {"com.tovik.oauth.client_id", test::OpenIDTestProvider::NativeClient},
             {"com.tovik.oauth.redirect_uri", test::OpenIDTestProvider::LoopbackRedirect}});
    }
    std::unique_ptr<DemoServer> demo;
    std::unique_ptr<DemoProvider> identityProvider;
    std::string signInHost, username, password, endpoint;
    const bool singleSignOn = argc == 2 && std::string(argv[1]) == "sso";
    if (argc >= 3) {
        signInHost = argv[1];
        username = argv[2];
        const char* fromEnvironment = getenv("QUARRA_PASSWORD");
        if (fromEnvironment) {
            password = fromEnvironment;
        } else {
            std::cerr << "password for " << username << ": ";
            std::getline(std::cin, password);
        }
        endpoint = "objects/users/me";
    } else {
        demo = std::make_unique<DemoServer>();
        signInHost = demo->service.host(kDemoQuarra);
        username = "demo";
        password = "demo-password";
        endpoint = "objects/documents";
        if (singleSignOn) {
            try {
                identityProvider = std::make_unique<DemoProvider>(*demo);
            } catch (const std::exception& e) {
                std::cerr << "no identity provider: " << e.what() << "\n";
                return 1;
            }
        }
    }

    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    std::cout << "Quarra SDK " << QuarraMobileSDKVersionString << "\n"
              << "host:              " << Bundle::main().bundleIdentifier() << "\n"
              << "application data:  " << config.applicationDataDirectory().string() << "\n"
              << "sign-in host:      " << signInHost << (demo ? " (embedded test server)" : "")
              << "\n";

    TVKQuarraAuthInternal::sharedInstance().setAuthDNS(signInHost);
    bool signedIn = false;
    ErrorPtr failure;
    if (singleSignOn) {
        // As a sign-in screen does: ask how the user signs in, then sign in that way.
        auto& auth = TVKQuarraAuthManager::sharedInstance();
        auth.checkAuthTypeForUsername(
            username, [&](long type, const Json& profile, const ErrorPtr& error) {
                if (error || type != TVKAuthTypeSingleSignOn) {
                    failure = error;
                    signedIn = true;
                    return;
                }
                std::cout << "single sign-on:    " << profile["as_metadata"]["issuer"] << "\n";
                auth.authorizeOAuthUser(username, profile,
                                        [&](const TVKUserInternalPtr&, const ErrorPtr& error) {
                                            failure = error;
                                            signedIn = true;
                                        });
            });
        // A person at a browser takes longer than a program.
        RunLoop::main().runUntil([&] { return signedIn; }, std::chrono::minutes(5));
    } else {
        TVKQuarraAuthInternal::sharedInstance().authenticateWithUsername(
            username, password, [&](const TVKUserPtr&, const ErrorPtr& error) {
                failure = error;
                signedIn = true;
            });
        RunLoop::main().runUntil([&] { return signedIn; }, kTimeout);
    }
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (!signedIn || failure || !user) {
        std::cerr << "sign-in failed: " << (failure ? describe(failure) : "no answer") << "\n";
        return 1;
    }
    std::cout << "signed in:         " << user->username() << " in "
              << user->currentQuarra()->name() << " ("
              << TVKQuarraManager::quarraDNS(*user->currentQuarra()) << ")\n";

    bool answered = false;
    Json reply;
    TVKQuarraManager::sharedInstance().requestQuarraEndpoint(
        endpoint, user->currentQuarra(), TVKQuarraRequestMethodGET, Json::object(),
        TVKQuarraParameterEncodingFormURL, [&](const Json& response, const ErrorPtr& error) {
            reply = response;
            failure = error;
            answered = true;
        });
    RunLoop::main().runUntil([&] { return answered; }, kTimeout);
    if (!answered || failure) {
        std::cerr << endpoint << " failed: " << (failure ? describe(failure) : "no answer") << "\n";
        return 1;
    }
    std::cout << endpoint << ":\n" << reply.dump(2) << "\n";

    // The demo leaves nothing signed in behind.
    if (demo) {
        TVKQuarraAuth::sharedInstance().logout();
        std::cout << "signed out\n";
    }
    return 0;
}
