#include <gtest/gtest.h>

#include "platform/MimeTypes.h"

using namespace quarra;

TEST(MimeTypesTest, ExtensionsAndTypesMapBothWaysWithFallbacks) {
    EXPECT_EQ(mimeTypeForPathExtension("pdf"), "application/pdf");
    EXPECT_EQ(mimeTypeForPathExtension("PNG"), "image/png");
    EXPECT_EQ(mimeTypeForPathExtension("no-such-ext"), "application/octet-stream");
    EXPECT_EQ(mimeTypeForPathExtension(""), "application/octet-stream");
    EXPECT_EQ(pathExtensionForMimeType("application/pdf"), "pdf");
    EXPECT_EQ(pathExtensionForMimeType("Image/PNG"), "png");
    EXPECT_EQ(pathExtensionForMimeType("application/x-no-such-type"), std::nullopt);
}
