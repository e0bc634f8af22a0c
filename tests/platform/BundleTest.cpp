#include <gtest/gtest.h>
#include <stdlib.h>

#include "quarra/Bundle.h"
#include "platform/Directories.h"
#include "support/TestSupport.h"

using namespace quarra;
using namespace quarra::test;

TEST(BundleTest, HostSetByCallHasIdentifierInfoAndDirectoriesUnderDataHome) {
    TempDir resources;
    writeFile(resources / "Info.json", R"({"CFBundleShortVersionString": "2.1", "a": 1})");
    Bundle::setMainBundle("com.example.notes", {{"a", 2}}, resources.path());
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.notes");
    EXPECT_EQ(Bundle::main().objectForInfoDictionaryKey("a"), 2);  // the call wins over Info.json
    EXPECT_EQ(Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString"), "2.1");
    EXPECT_EQ(Bundle::main().objectForInfoDictionaryKey(BundleIdentifierKey), "com.example.notes");
    EXPECT_TRUE(Bundle::main().objectForInfoDictionaryKey("missing").is_null());

    const auto host = sandbox() / "data" / "com.example.notes";
    EXPECT_EQ(hostDataDirectory(), host);
    EXPECT_EQ(applicationSupportDirectory().parent_path(), host);
    EXPECT_EQ(documentsDirectory(), host / "Documents");
}

TEST(BundleTest, HostComesFromTheEnvironmentWhenNotSetByCall) {
    TempDir resources;
    writeFile(resources / "Info.json", R"({"CFBundleIdentifier": "from.file", "b": "file"})");
    setenv("QUARRA_HOST_RESOURCES", resources.path().c_str(), 1);
    setenv("QUARRA_HOST_INFO", R"({"b": "env"})", 1);
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "from.file");
    EXPECT_EQ(Bundle::main().objectForInfoDictionaryKey("b"), "env");
}

TEST(BundleTest, IdentifierThatIsNoFolderNameIsRefused) {
    for (const char* bad : {"", "..", "a/b"}) {
        EXPECT_THROW(Bundle::setMainBundle(bad), std::invalid_argument) << bad;
    }
}

TEST(BundleTest, LocalizedStringUsesTableThenDefaultThenKey) {
    TempDir resources;
    writeFile(resources / "Localizable.strings.json", R"({"Continue": "Weiter", "Bad": 5})");
    writeFile(resources / "Other.strings.json", "not json");
    Bundle bundle(resources.path(), "b");
    EXPECT_EQ(bundle.localizedString("Continue"), "Weiter");
    EXPECT_EQ(bundle.localizedString("Missing"), "Missing");
    EXPECT_EQ(bundle.localizedString("Missing", "Fallback"), "Fallback");
    EXPECT_EQ(bundle.localizedString("Bad"), "Bad");  // non-text entry is ignored
    EXPECT_EQ(bundle.localizedString("Continue", "", "Other"), "Continue");

    // A translation for $LANG's language overrides the base table entry by entry.
    std::filesystem::create_directory(resources / "fr");
    writeFile(resources / "fr" / "Localizable.strings.json", R"({"Continue": "Continuer"})");
    writeFile(resources / "Localizable.strings.json", R"({"Continue": "Weiter", "Back": "Back!"})");
    setenv("LANG", "fr_FR.UTF-8", 1);
    Bundle french(resources.path(), "b");
    EXPECT_EQ(french.localizedString("Continue"), "Continuer");
    EXPECT_EQ(french.localizedString("Back"), "Back!");
    setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(Bundle(resources.path(), "b").localizedString("Continue"), "Weiter");
}

TEST(BundleTest, SdkBundleNamesItselfAndItsServerSettings) {
    Bundle& sdk = Bundle::sdk();
    EXPECT_FALSE(sdk.bundleIdentifier().empty());
    EXPECT_TRUE(sdk.objectForInfoDictionaryKey("com.tovik.APIVersion").is_string());
    EXPECT_TRUE(sdk.objectForInfoDictionaryKey("com.tovik.QuarraUrl").is_string());
    EXPECT_TRUE(sdk.objectForInfoDictionaryKey(BundleShortVersionKey).is_string());
}
