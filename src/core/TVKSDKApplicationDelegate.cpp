#include "quarra/TVKSDKApplicationDelegate.h"

#include <algorithm>
#include <iterator>
#include <mutex>

#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUpgradeManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "quarra/Application.h"
#include "quarra/Bundle.h"
#include "quarra/TVKErrors.h"
#include "storage/crypt/TVKCryptFiles.h"

namespace quarra {
namespace {

constexpr const char* kSettingKeys[] = {"com.tovik.QuarraUrl", "com.tovik.APIVersion"};

std::mutex launchMutex;
bool launched = false;
// Never destroyed: read by whoever asks, whenever.
ErrorPtr& lastLaunchError = *new ErrorPtr();

ErrorPtr configurationError(const std::string& what, ErrorPtr underlying = nullptr) {
    return Error::make(TVKQuarraErrorDomain, TVKQuarraInvalidConfigurationErrorCode, what,
                       std::move(underlying));
}

// The SDK cannot work without its Info values: without a sign-in host nobody signs in, and without
// an API version every request goes to a path the server does not have.
ErrorPtr sdkResourcesError() {
    const Bundle& sdk = Bundle::sdk();
    if (ErrorPtr error = sdk.resourceError())
        return configurationError("The SDK's resources cannot be read", error);
    Json info = sdk.infoDictionary();
    for (const char* key : kSettingKeys) {
        if (jsonString(info, key).empty())
            return configurationError(std::string("The SDK's setting ") + key + " is missing");
    }
    return nullptr;
}

}  // namespace

ErrorPtr TVKSDKApplicationDelegate::setSDKSettings(const Json& settings) {
    if (!settings.is_object())
        return configurationError("The SDK's settings must be a JSON object");
    for (const auto& [key, value] : settings.items()) {
        if (std::find(std::begin(kSettingKeys), std::end(kSettingKeys), key) ==
            std::end(kSettingKeys))
            return configurationError("Unknown SDK setting " + key);
        if (!value.is_string() || value.get_ref<const std::string&>().empty())
            return configurationError("The SDK setting " + key + " must be a non-empty string");
    }
    std::lock_guard lock(launchMutex);
    if (launched)
        return configurationError("The SDK's settings are set before launch");
    Bundle::sdk().addInfoValues(settings);
    return nullptr;
}

bool TVKSDKApplicationDelegate::didFinishLaunchingWithOptions(const Json&) {
    {
        std::lock_guard lock(launchMutex);
        lastLaunchError = sdkResourcesError();
        if (lastLaunchError)
            return false;
        launched = true;
    }
    // Plaintext that copies of a crashed run left half-written goes first.
    cryptfiles::sweepPartialFiles();
    TVKUpgradeManager::sharedInstance().performUpgradeTasksIfNecessary();
    TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    return true;
}

ErrorPtr TVKSDKApplicationDelegate::launchError() {
    std::lock_guard lock(launchMutex);
    return lastLaunchError;
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
