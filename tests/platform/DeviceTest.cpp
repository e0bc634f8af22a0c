#include "platform/Device.h"

#include <gtest/gtest.h>

#include "platform/Directories.h"
#include "support/TestSupport.h"

using namespace quarra;

TEST(DeviceTest, VendorIdentifierIsAnUpperCaseUUIDKeptAcrossLaunches) {
    auto id = identifierForVendor();
    ASSERT_TRUE(id);
    EXPECT_EQ(id->size(), 36u);
    for (char c : *id)
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == '-') << *id;
    EXPECT_EQ(identifierForVendor(), id);
    // What a later launch reads.
    EXPECT_EQ(test::readFile(hostDataDirectory() / "device-identifier"), *id + "\n");
}
