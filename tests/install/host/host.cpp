// A host program outside the SDK's tree: it sees the installed public headers only. It finds the
// session the install test's server left for its identity and fetches a document with it.
#include <quarra/Bundle.h>
#include <quarra/Error.h>
#include <quarra/QuarraMobileSDK.h>
#include <quarra/RunLoop.h>
#include <quarra/TVKQuarraAPI.h>
#include <quarra/TVKQuarraAuth.h>
#include <quarra/TVKQuarraLogging.h>
#include <quarra/TVKSDKApplicationDelegate.h>

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: host <bundle identifier>\n";
        return 2;
    }
    quarra::Bundle::setMainBundle(argv[1], {{"com.tovik.PasscodeEnabled", false}});
    // A host decides how much the SDK logs.
    quarra::TVKQuarraLogging::setLogLevel(quarra::TVKQuarraLogLevelWarning);
    if (!quarra::TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions()) {
        std::cerr << "launch failed: "
                  << quarra::TVKSDKApplicationDelegate::launchError()->localizedDescription()
                  << "\n";
        return 1;
    }
    std::cout << "Quarra SDK " << quarra::QuarraMobileSDKVersionString << "\n";

    auto user = quarra::TVKQuarraAuth::sharedInstance().currentUser();
    if (!user || user->quarras().empty()) {
        std::cerr << "nobody is signed in\n";
        return 1;
    }
    bool answered = false;
    quarra::Json reply;
    quarra::ErrorPtr failure;
    quarra::TVKQuarraAPI::sharedInstance().getDocument(
        7, user->quarras().front(),
        [&](const quarra::Json& response, const quarra::ErrorPtr& error) {
            reply = response;
            failure = error;
            answered = true;
        });
    quarra::RunLoop::main().runUntil([&] { return answered; }, std::chrono::minutes(2));
    if (!answered || failure) {
        std::cerr << "request failed: " << (failure ? failure->localizedDescription() : "no answer")
                  << "\n";
        return 1;
    }
    std::cout << reply.dump() << "\n";
    return reply.value("name", "") == "Installed.pdf" ? 0 : 1;
}
