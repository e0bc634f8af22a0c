#include "platform/Uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace quarra {
namespace {

TEST(Uuid, IsUpperCaseVersionFourAndFresh) {
    static const std::regex form(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        auto uuid = uuidString();
        ASSERT_TRUE(uuid);
        EXPECT_TRUE(std::regex_match(*uuid, form)) << *uuid;
        EXPECT_TRUE(seen.insert(*uuid).second);
    }
}

}  // namespace
}  // namespace quarra
