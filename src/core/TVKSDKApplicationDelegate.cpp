#include "quarra/TVKSDKApplicationDelegate.h"

#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUpgradeManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "quarra/Application.h"
#include "storage/crypt/TVKCryptFiles.h"

namespace quarra {

bool TVKSDKApplicationDelegate::didFinishLaunchingWithOptions(const Json&) {
    // Plaintext that copies of a crashed run left half-written goes first.
    cryptfiles::sweepPartialFiles();
    TVKUpgradeManager::sharedInstance().performUpgradeTasksIfNecessary();
    TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    return true;
}

bool TVKSDKApplicationDelegate::openURL(const Url& url, const Json&) {
    return TVKQuarraAuthManager::sharedInstance().resumeOAuthFlowWithURL(url);
}

void TVKSDKApplicationDelegate::applicationDidEnterBackground() {
    Application::shared().didEnterBackground();
}

void TVKSDKApplicationDelegate::applicationWillEnterForeground() {
    Application::shared().willEnterForeground();
}

void TVKSDKApplicationDelegate::handleEventsForBackgroundURLSession(
    const std::string& identifier, std::function<void()> completionHandler) {
    // The first use of the engine after a relaunch opens the background session again, which
    // then delivers what finished meanwhile.
    TVKQuarraManager::sharedInstance().setCompletionHandler(std::move(completionHandler),
                                                            identifier);
}

}  // namespace quarra
