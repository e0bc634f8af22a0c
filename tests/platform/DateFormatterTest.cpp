#include "platform/DateFormatter.h"

#include <gtest/gtest.h>

using namespace quarra;

namespace {

// 2023-11-14 22:13:20.250 UTC, a Tuesday.
const Date kMoment{std::chrono::duration<double>(1700000000.25)};

}  // namespace

TEST(DateFormatterTest, PatternsFormatAndParseRoundTrip) {
    struct Case {
        const char* pattern;
        const char* locale;
        const char* zone;
        const char* text;
    };
    const Case cases[] = {
        {"yyyy/MM/dd HH:mm:ss:SSS", "en_US_POSIX", "GMT", "2023/11/14 22:13:20:250"},
        {"yyyy'-'MM'-'dd'--'HH'-'mm'-'ss'-'SSS'", "en_US_POSIX", "GMT",
         "2023-11-14--22-13-20-250"},
        // Era and weekday names, in two languages.
        {"EEEE, d MMMM y G HH:mm:ss.SSS", "en_US", "GMT", "Tuesday, 14 November 2023 AD 22:13:20.250"},
        {"EEEE, d. MMMM y G HH:mm:ss.SSS", "de_DE", "GMT",
         "Dienstag, 14. November 2023 n. Chr. 22:13:20.250"},
        {"EEE yyyy-MM-dd GGGG HH:mm:ss.SSS", "en_US", "UTC", "Tue 2023-11-14 Anno Domini 22:13:20.250"},
        // 12-hour clock with the day period; hour 1-24.
        {"yyyy-MM-dd hh:mm:ss.SSS a", "en_US", "GMT", "2023-11-14 10:13:20.250 PM"},
        {"yyyy-MM-dd kk:mm:ss.SSS", "en_US", "GMT", "2023-11-14 22:13:20.250"},
        // Time zones: fixed offsets, a named zone with daylight saving off in November, ISO forms.
        {"yyyy-MM-dd HH:mm:ss.SSS ZZZZZ", "en_US", "Asia/Kolkata", "2023-11-15 03:43:20.250 +05:30"},
        {"yyyy-MM-dd HH:mm:ss.SSS zzzz", "en_US", "Europe/Zurich",
         "2023-11-14 23:13:20.250 Central European Standard Time"},
        {"yyyy-MM-dd'T'HH:mm:ss.SSSXXX", "en_US_POSIX", "America/New_York",
         "2023-11-14T17:13:20.250-05:00"},
        // Fractional seconds of other widths.
        {"yyyy-MM-dd HH:mm:ss.S", "en_US_POSIX", "GMT", "2023-11-14 22:13:20.2"},
        {"yyyy-MM-dd HH:mm:ss.SSSSSS", "en_US_POSIX", "GMT", "2023-11-14 22:13:20.250000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        auto made = DateFormatter::make(c.pattern, c.locale, c.zone);
        ASSERT_TRUE(made) << made.error()->description();
        auto formatter = *made;
        EXPECT_EQ(formatter->stringFromDate(kMoment), c.text);
        auto parsed = formatter->dateFromString(c.text);
        ASSERT_TRUE(parsed);
        // "S" alone keeps tenths only.
        double expected = std::string(c.pattern).ends_with(".S") ? 1700000000.2 : 1700000000.25;
        EXPECT_NEAR(parsed->time_since_epoch().count(), expected, 1e-6);
    }
}

TEST(DateFormatterTest, ParsingIsStrictAndBadSettingsAreErrors) {
    auto formatter = DateFormatter::make("yyyy-MM-dd HH:mm:ss", "en_US_POSIX", "GMT").value();
    for (const char* bad : {"2023-13-14 22:13:20", "2023-11-14 22:13:20 trailing", "2023-11-14",
                            "", "2023-02-30 00:00:00", "2023-11-14 25:00:00"}) {
        EXPECT_FALSE(formatter->dateFromString(bad)) << bad;
    }
    auto unknownZone = DateFormatter::make("yyyy", "en_US", "Mars/Olympus_Mons");
    ASSERT_FALSE(unknownZone);
    EXPECT_EQ(unknownZone.error()->domain(), DateFormatterErrorDomain);
}

TEST(DateFormatterTest, EmptyTimeZoneIsTheLocalOne) {
    setenv("TZ", "Asia/Tokyo", 1);
    auto formatter = DateFormatter::make("yyyy/MM/dd HH:mm:ss:SSS", "en_US_POSIX").value();
    EXPECT_EQ(formatter->timeZone(), "Asia/Tokyo");
    EXPECT_EQ(formatter->stringFromDate(kMoment), "2023/11/15 07:13:20:250");
}
