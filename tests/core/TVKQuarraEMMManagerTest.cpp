#include <gtest/gtest.h>

#include "core/TVKMIMEType.h"
#include "core/TVKQuarraEMMManager.h"
#include "quarra/Bundle.h"
#include "platform/UserDefaults.h"

using namespace quarra;

TEST(TVKQuarraEMMManagerTest, BiometricsHideOnlyForNotVisibleWhateverTheCaseAndBlanks) {
    Bundle::setMainBundle("com.example.host");
    auto& emm = TVKQuarraEMMManager::sharedInstance();
    EXPECT_TRUE(emm.isBiometricAuthenticationVisible());  // no managed configuration
    struct Case {
        Json value;
        bool visible;
    };
    const Case cases[] = {
        {"notvisible", false},
        {"NotVisible", false},
        {"  notvisible\n", false},
        {"not visible", false},
        {"N O T visible", false},
        {"not-visible", true},
        {"visible", true},
        {"", true},
        {5, true},
        {Json::object(), true},
    };
    for (const auto& c : cases) {
        UserDefaults::standard().setObject(Json{{TVKBiometricAuthenticationVisibleKey, c.value}},
                                           TVKManagedConfigurationKey);
        EXPECT_EQ(emm.isBiometricAuthenticationVisible(), c.visible) << c.value.dump();
    }
    UserDefaults::standard().setObject("not a dictionary", TVKManagedConfigurationKey);
    EXPECT_TRUE(emm.isBiometricAuthenticationVisible());
    EXPECT_EQ(emm.readFromEMMDefaultsWith(TVKBiometricAuthenticationVisibleKey), std::nullopt);
}

TEST(TVKQuarraEMMManagerTest, MimeTypesForUploadsAndDownloads) {
    EXPECT_EQ(contentTypeForPathExtension("pdf"), "application/pdf");
    EXPECT_EQ(contentTypeForPathExtension("unknownext"), "application/octet-stream");
    EXPECT_EQ(pathExtensionForContentType("application/x-unknown"), std::nullopt);
}
