// The launch: the SDK's resources come from inside the library, settings go over them before
// launch, and resources it cannot use make the launch fail with a reason instead of sending every
// request astray.
#include "quarra/TVKSDKApplicationDelegate.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "quarra/Bundle.h"
#include "quarra/QuarraMobileSDK.h"
#include "quarra/TVKErrors.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

TVKSDKApplicationDelegate& delegate() {
    return TVKSDKApplicationDelegate::sharedInstance();
}

void expectConfigurationError(const ErrorPtr& error) {
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKQuarraErrorDomain, TVKQuarraInvalidConfigurationErrorCode))
        << error->description();
}

TEST(TVKSDKApplicationDelegateTest, ResourcesAreCompiledInAndSettingsGoOverThemBeforeLaunch) {
    unsetenv("QUARRA_SDK_RESOURCES");
    const Bundle& sdk = Bundle::sdk();
    EXPECT_TRUE(sdk.resourcePath().empty());
    EXPECT_EQ(sdk.objectForInfoDictionaryKey(BundleShortVersionKey), QuarraMobileSDKVersionString);
    auto key = sdk.resourceData("rsa_public_key.der");
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->empty());
    EXPECT_FALSE(sdk.resourceData("missing.der"));

    const Json refused[] = {
        Json::array(),
        {{"com.tovik.Unknown", "x"}},
        {{"com.tovik.APIVersion", ""}},
        {{"com.tovik.QuarraUrl", 443}},
    };
    for (const Json& settings : refused) {
        SCOPED_TRACE(settings.dump());
        expectConfigurationError(TVKSDKApplicationDelegate::setSDKSettings(settings));
    }
    EXPECT_EQ(jsonString(sdk.infoDictionary(), "com.tovik.APIVersion"), "1");
    EXPECT_FALSE(TVKSDKApplicationDelegate::setSDKSettings(
        {{"com.tovik.QuarraUrl", "sign-in.example.test:8443"}, {"com.tovik.APIVersion", "2"}}));
    EXPECT_EQ(jsonString(sdk.infoDictionary(), "com.tovik.QuarraUrl"), "sign-in.example.test:8443");
    EXPECT_EQ(jsonString(sdk.infoDictionary(), "com.tovik.APIVersion"), "2");

    EXPECT_TRUE(delegate().didFinishLaunchingWithOptions());
    EXPECT_FALSE(TVKSDKApplicationDelegate::launchError());
    // Read at launch already: a later change would take effect only in part.
    expectConfigurationError(
        TVKSDKApplicationDelegate::setSDKSettings({{"com.tovik.APIVersion", "3"}}));
}

// Each in a process of its own: the SDK's bundle is read once.
TEST(TVKSDKApplicationDelegateTest, AnUnreadableInfoInAResourceFolderFailsTheLaunch) {
    test::TempDir resources;
    test::writeFile(resources / "Info.json", "{ not JSON");
    setenv("QUARRA_SDK_RESOURCES", resources.path().c_str(), 1);
    EXPECT_FALSE(delegate().didFinishLaunchingWithOptions());
    ErrorPtr error = TVKSDKApplicationDelegate::launchError();
    expectConfigurationError(error);
    ASSERT_TRUE(error && error->underlyingError());
}

TEST(TVKSDKApplicationDelegateTest, AMissingAPIVersionFailsTheLaunch) {
    test::TempDir resources;
    test::writeFile(resources / "Info.json", R"({"com.tovik.QuarraUrl": "localhost"})");
    setenv("QUARRA_SDK_RESOURCES", resources.path().c_str(), 1);
    EXPECT_FALSE(delegate().didFinishLaunchingWithOptions());
    expectConfigurationError(TVKSDKApplicationDelegate::launchError());
    // Set now, the launch goes ahead.
    EXPECT_FALSE(TVKSDKApplicationDelegate::setSDKSettings({{"com.tovik.APIVersion", "1"}}));
    EXPECT_TRUE(delegate().didFinishLaunchingWithOptions());
    EXPECT_FALSE(TVKSDKApplicationDelegate::launchError());
}

}  // namespace
}  // namespace quarra
