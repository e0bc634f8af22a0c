// The server side of the install test: the bundled Quarra test server with a demo user, signed in
// for the outside host's identity so that the host (which links the installed SDK and sees only its
// public headers) finds a session and calls the server. Prints "ready", the authority to trust and
// the URL of an image for the host's image view once serving, then serves until its standard input
// closes.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

#include "auth/TVKQuarraAuthInternal.h"
#include "quarra/Bundle.h"
#include "quarra/Error.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKSDKApplicationDelegate.h"
#include "support/ImageFixtures.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"

using namespace quarra;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: quarra_install_server <host bundle identifier>\n";
        return 2;
    }
    constexpr std::uint64_t kQuarra = 5'000'000'001;
    test::QuarraTestServer server;
    test::QuarraTestService service;
    service.serveSignInHost(server);
    service.serveQuarra(server, kQuarra, "Install Quarra");
    service.addUser({"host", "host-password", 9'000'000'007, {kQuarra}, kQuarra});
    service.addEndpoint(kQuarra, "objects/documents/7",
                        [](const test::RecordedRequest&, const test::QuarraTestService::User& user) {
                            return test::QuarraTestService::success(
                                {{"id", 7}, {"name", "Installed.pdf"}, {"owner", user.username}});
                        });
    test::Reply image;
    image.contentType = "image/png";
    const Bytes png = test::makePng(3, 2);
    image.body.assign(png.begin(), png.end());
    server.reply("/host-image.png", image);
    server.trustAuthority();

    Bundle::setMainBundle(argv[1], {{"com.tovik.PasscodeEnabled", false}});
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    TVKQuarraAuthInternal::sharedInstance().setAuthDNS(service.host(kQuarra));
    bool answered = false;
    ErrorPtr failure;
    TVKQuarraAuthInternal::sharedInstance().authenticateWithUsername(
        "host", "host-password", [&](const TVKUserPtr&, const ErrorPtr& error) {
            failure = error;
            answered = true;
        });
    RunLoop::main().runUntil([&] { return answered; }, std::chrono::minutes(2));
    if (!answered || failure) {
        std::cerr << "sign-in failed: " << (failure ? failure->localizedDescription() : "no answer") << "\n";
        return 1;
    }
    // What the host needs to trust the server: its authority, as this process does.
    std::cout << "ready " << server.authorityFile().string() << " "
              << server.url("/host-image.png").string() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    return 0;
}
