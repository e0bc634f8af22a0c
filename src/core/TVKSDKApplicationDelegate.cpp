#include "core/TVKSDKApplicationDelegate.h"

#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUpgradeManager.h"
#include "core/TVKQuarraConfigurationManager.h"
<<<<<<< HEAD
#include "core/TVKQuarraManager.h"
=======
#include "platform/Application.h"
>>>>>>> issue-14

namespace quarra {

bool TVKSDKApplicationDelegate::didFinishLaunchingWithOptions(const Json&) {
    TVKUpgradeManager::sharedInstance().performUpgradeTasksIfNecessary();
    TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    return true;
}

bool TVKSDKApplicationDelegate::openURL(const Url& url, const Json&) {
    return TVKQuarraAuthManager::sharedInstance().resumeOAuthFlowWithURL(url);
}

<<<<<<< HEAD
void TVKSDKApplicationDelegate::handleEventsForBackgroundURLSession(
    const std::string& identifier, std::function<void()> completionHandler) {
    // The first use of the engine after a relaunch opens the background session again, which
    // then delivers what finished meanwhile.
    TVKQuarraManager::sharedInstance().setCompletionHandler(std::move(completionHandler),
                                                            identifier);
=======
void TVKSDKApplicationDelegate::applicationDidEnterBackground() {
    Application::shared().didEnterBackground();
}

void TVKSDKApplicationDelegate::applicationWillEnterForeground() {
    Application::shared().willEnterForeground();
}

void TVKSDKApplicationDelegate::handleEventsForBackgroundURLSession(const std::string&,
                                                                    std::function<void()>) {
    // The request engine keeps the handler for its own background session once background
    // transfers exist; until then no session of the SDK has events, so there is nothing to keep.
>>>>>>> issue-14
}

}  // namespace quarra
