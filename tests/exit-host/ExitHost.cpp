// A host that signs in, sets an upload, a request and a log upload going, and returns from main
// while they run, the way a host that simply ends does. Started by the exit test, which serves the
// Quarra and checks that this process ends without a crash.
// Arguments: <sign-in host:port> <quarra id> <file to upload> <milliseconds before returning>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "auth/TVKQuarraAuthManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraAPI.h"
#include "quarra/TVKSDKApplicationDelegate.h"

int main(int argc, char** argv) {
    using namespace quarra;
    if (argc != 5)
        return 2;
    Bundle::setMainBundle("com.example.exithost", {{"com.tovik.PasscodeEnabled", false}});
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auth.setAuthDNS(argv[1]);
    bool signedIn = false;
    ErrorPtr failure;
    auth.loginToAuthServerWithUsername("alice", "secret",
                                       [&](const TVKUserInternalPtr&, const ErrorPtr& error) {
                                           failure = error;
                                           signedIn = true;
                                       });
    RunLoop::main().runUntil([&] { return signedIn; }, std::chrono::minutes(1));
    if (!signedIn || failure)
        return 3;
    auto quarra = auth.quarraWithId(std::strtoull(argv[2], nullptr, 10)).valueOr(nullptr);
    if (!quarra)
        return 4;

    // Lines for the log upload to read, redact and send; some carry what redaction looks for.
    auto& log = TVKQuarraLoggerInternal::sharedInstance();
    for (int i = 0; i < 300; ++i) {
        log.logInfoMessageWithFile(__FILE__, __LINE__, __func__, [i] {
            return "line " + std::to_string(i) + " for alice@example.com password=hunter2";
        });
    }
    auto& api = TVKQuarraAPI::sharedInstance();
    api.requestQuarraMultipartFormEndpoint(
        "objects/documents", quarra, Url::fileUrl(argv[3]), false, TVKQuarraRequestMethodPOST, {},
        nullptr,
        [](const Json&, const std::optional<Url>&, const std::optional<std::string>&,
           const ErrorPtr&) {});
    api.getDocument(7, quarra, [](const Json&, const ErrorPtr&) {});
    log.startUploadProcess();
    // Each run ends at another moment of the work; nothing waits on the clock here, the pause only
    // lets the work go on for that long before main returns.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[4])));
    return 0;
}
