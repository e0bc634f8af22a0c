#include "core/TVKSDKApplicationDelegate.h"

#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUpgradeManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "platform/Application.h"

namespace quarra {

bool TVKSDKApplicationDelegate::didFinishLaunchingWithOptions(const Json&) {
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

void TVKSDKApplicationDelegate::handleEventsForBackgroundURLSession(const std::string&,
                                                                    std::function<void()>) {
    // The request engine keeps the handler for its own background session once background
    // transfers exist; until then no session of the SDK has events, so there is nothing to keep.
}

}  // namespace quarra
