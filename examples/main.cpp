// A small host program: forwards its launch to the SDK and shows what the SDK set up.
#include <stdlib.h>

#include <iostream>

#include "QuarraMobileSDK.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKSDKApplicationDelegate.h"
#include "platform/Bundle.h"

int main() {
    using namespace quarra;
    // A host names itself before the SDK starts (unless the environment already does).
    if (!getenv("QUARRA_HOST_BUNDLE_ID")) {
        Bundle::setMainBundle("com.example.quarra-example", {{BundleShortVersionKey, "1.0"},
                                                             {"com.tovik.PasscodeEnabled", false}});
    }
    TVKSDKApplicationDelegate::sharedInstance().didFinishLaunchingWithOptions();

    auto& config = TVKQuarraConfigurationManager::sharedInstance();
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    std::cout << "Quarra SDK " << QuarraMobileSDKVersionString << "\n"
              << "host:                     " << Bundle::main().bundleIdentifier() << "\n"
              << "frameworkId:              " << config.frameworkId() << "\n"
              << "keychainIdentifierRoot:   " << config.keychainIdentifierRoot() << "\n"
              << "sign-in host:             " << TVKQuarraAuthManager::sharedInstance().authDNS()
              << "\n"
              << "application data:         " << config.applicationDataDirectory().string() << "\n"
              << "users:                    " << config.usersDirectory().string() << "\n"
              << "uploads:                  " << config.uploadsDirectory().string() << "\n"
              << "downloads:                " << config.downloadsDirectory().string() << "\n"
              << "logs:                     " << config.logDirectory().string() << "\n"
              << "cache:                    " << config.cacheDirectory().string() << "\n"
              << "SDK initialised:          " << (config.isSDKInitialized() ? "yes" : "no") << "\n"
              << "signed-in user:           " << (user ? user->username() : "(none)") << "\n";
    return 0;
}
