#include <gtest/gtest.h>

#include "sso/SSOFieldMapping.h"

using namespace quarra;
using namespace std::chrono;
using Type = SSOFieldMapping::Type;

namespace {

const SSOFieldMap& testMap() {
    static const SSOFieldMap map = {
        {"text", SSOFieldMapping(Type::String)},
        {"since_now", SSOFieldMapping(Type::Date, SSOFieldMapping::dateSinceNowConversion)},
        {"epoch", SSOFieldMapping(Type::Date, SSOFieldMapping::dateEpochConversion)},
        {"uri", SSOFieldMapping(Type::URL, SSOFieldMapping::URLConversion)},
    };
    return map;
}

}  // namespace

TEST(SSOFieldMappingTest, KeepsWrongTypesNullsAndUnknownNamesAsAdditionalParameters) {
    struct Case {
        const char* reply;
        const char* remaining;
        bool textSet, dateSet, uriSet;
    };
    const Case cases[] = {
        {R"({"text": "t", "since_now": 10, "uri": "https://h/r"})", "{}", true, true, true},
        {R"({"text": null})", R"({"text": null})", false, false, false},
        {R"({"text": 5, "since_now": "3600"})", R"({"text": 5, "since_now": "3600"})", false, false,
         false},
        {R"({"text": ["a", "b"], "epoch": true})", R"({"text": ["a", "b"], "epoch": true})", false,
         false, false},
        {R"({"since_now": null, "uri": 7})", R"({"since_now": null, "uri": 7})", false, false,
         false},
        // Text that is no URL leaves the field empty and is kept nowhere.
        {R"({"uri": "not a url"})", "{}", false, false, false},
        {R"({"vendor": {"nested": [1, {"x": null}]}, "TEXT": "t"})",
         R"({"vendor": {"nested": [1, {"x": null}]}, "TEXT": "t"})", false, false, false},
        {"[1, 2]", "{}", false, false, false},
        {"null", "{}", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        SSOMappedFields fields;
        Json remaining =
            SSOMappedFields::remainingParametersWithMap(testMap(), Json::parse(c.reply), fields);
        EXPECT_EQ(remaining, Json::parse(c.remaining));
        EXPECT_EQ(fields.string("text").has_value(), c.textSet);
        EXPECT_EQ(fields.date("since_now").has_value(), c.dateSet);
        EXPECT_EQ(fields.url("uri").has_value(), c.uriSet);
    }
}

TEST(SSOFieldMappingTest, ConvertsNumbersOfSecondsIntoDates) {
    const std::pair<const char*, long long> cases[] = {
        {"0", 0},
        {"3600", 3600},
        {"59.9", 59},
        {"-1.5", -1},
        {"1700000000", 1700000000},
        {"18446744073709551615", 200LL * 366 * 24 * 3600},
        {"-1e300", -200LL * 366 * 24 * 3600},
    };
    for (auto [number, seconds] : cases) {
        SCOPED_TRACE(number);
        auto value = SSOFieldMapping::dateEpochConversion(Json::parse(number));
        ASSERT_TRUE(std::holds_alternative<SSODate>(value));
        EXPECT_EQ(duration_cast<std::chrono::seconds>(std::get<SSODate>(value).time_since_epoch())
                      .count(),
                  seconds);
    }
    auto before = floor<microseconds>(system_clock::now());
    auto value = SSOFieldMapping::dateSinceNowConversion(3600);
    auto after = system_clock::now();
    ASSERT_TRUE(std::holds_alternative<SSODate>(value));
    EXPECT_GE(std::get<SSODate>(value), before + hours(1));
    EXPECT_LE(std::get<SSODate>(value), after + hours(1));
    EXPECT_EQ(std::get<Json>(SSOFieldMapping::dateSinceNowConversion("3600")), "3600");
}

TEST(SSOFieldMappingTest, ConvertsTextIntoUrls) {
    EXPECT_EQ(std::get<Url>(SSOFieldMapping::URLConversion("https://h/r?x=1")).string(),
              "https://h/r?x=1");
    EXPECT_TRUE(
        std::holds_alternative<std::monostate>(SSOFieldMapping::URLConversion("/relative")));
    EXPECT_EQ(std::get<Json>(SSOFieldMapping::URLConversion(42)), 42);
}

TEST(SSOFieldMappingTest, DescribesValuesAndMasksSecrets) {
    SSOMappedFields fields;
    SSOMappedFields::remainingParametersWithMap(
        testMap(), {{"text", "abc"}, {"epoch", 0}, {"uri", "https://h/"}}, fields);
    EXPECT_EQ(fields.describe("text"), "\"abc\"");
    EXPECT_EQ(fields.describe("text", true), "\"***\"");
    EXPECT_EQ(fields.describe("epoch"), "1970-01-01 00:00:00 +0000");
    EXPECT_EQ(fields.describe("uri"), "https://h/");
    EXPECT_EQ(fields.describe("since_now"), "(null)");
}
