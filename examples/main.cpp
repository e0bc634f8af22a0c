// A small host program: forwards its launch to the SDK, signs a user in and calls the server.
//
//     quarra_example                       starts the bundled test server and signs in its demo
//     user quarra_example <host[:port]> <user>  signs in to that sign-in host (password from
//                                          QUARRA_PASSWORD, else read from standard input) and
//                                          asks for the user's own record
//     quarra_example passcode              signs the demo user in and shows the application
//                                          passcode's lock screen in the terminal
//     quarra_example pictures [folder]     draws the lock screen in each mode into PNG files
#include <stdlib.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "PasscodeTerminal.h"
#include "QuarraMobileSDK.h"
#include "auth/TVKQuarraAuth.h"
#include "auth/TVKQuarraAuthInternal.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "core/TVKSDKApplicationDelegate.h"
#include "platform/Bundle.h"
#include "platform/RunLoop.h"
#include "platform/ui/Window.h"
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

std::string describe(const ErrorPtr& error) {
    return error->localizedDescription() + " (" + error->domain() + " " +
           std::to_string(error->code()) + ")";
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc >= 2 ? argv[1] : "";
    bool passcode = command == "passcode";
    // A host names itself before the SDK starts (unless the environment already does).
    if (!getenv("QUARRA_HOST_BUNDLE_ID")) {
        Bundle::setMainBundle(
            "com.example.quarra-example",
            {{BundleShortVersionKey, "1.0"}, {"com.tovik.PasscodeEnabled", passcode}});
    }
    if (command == "pictures")
        return drawLockScreenPictures(argc >= 3 ? argv[2] : "docs");
    std::unique_ptr<DemoServer> demo;
    std::string signInHost, username, password, endpoint;
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
    }

    // The host's window, with a screen of its own under anything the SDK presents.
    auto window = ui::Window::make();
    window->setRootViewController(std::make_shared<ui::ViewController>());
    window->makeKeyAndVisible();
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
    TVKQuarraAuthInternal::sharedInstance().authenticateWithUsername(
        username, password, [&](const TVKUserPtr&, const ErrorPtr& error) {
            failure = error;
            signedIn = true;
        });
    RunLoop::main().runUntil([&] { return signedIn; }, kTimeout);
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (!signedIn || failure || !user) {
        std::cerr << "sign-in failed: " << (failure ? describe(failure) : "no answer") << "\n";
        return 1;
    }
    std::cout << "signed in:         " << user->username() << " in "
              << user->currentQuarra()->name() << " ("
              << TVKQuarraManager::quarraDNS(*user->currentQuarra()) << ")\n";
    if (passcode) {
        // The passcode stays with the user for the next run; the session does not.
        int status = drivePasscodeInTerminal(std::cin, std::cout);
        TVKQuarraAuth::sharedInstance().logout();
        return status;
    }

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
