#include <gtest/gtest.h>

#include "platform/Base64.h"

using namespace quarra;

TEST(Base64Test, EncodesAndDecodesTheRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (auto [plain, encoded] : vectors) {
        EXPECT_EQ(base64Encode(toBytes(plain)), encoded);
        EXPECT_EQ(base64Decode(encoded), toBytes(plain)) << encoded;
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64Test, RefusesMalformedTextUnlessAskedToSkipStrangers) {
    for (const char* bad : {"Z", "Zg=", "Zg===", "Zg==Zg==", "Z$g=", "Zm9v\nYg=="}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    EXPECT_EQ(base64Decode("Zm9v\nYg==", true), toBytes("foob"));
    EXPECT_EQ(base64Decode("Zm8"), toBytes("fo"));  // padding may be left out
}
