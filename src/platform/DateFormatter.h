#pragma once
// Dates to text and back with a Unicode date pattern ("yyyy/MM/dd HH:mm:ss:SSS", "EEEE, d MMMM y
// G", "h:mm a zzzz"), a locale and a time zone, over ICU's SimpleDateFormat. Parsing is strict
// (non-lenient): the text must match the pattern. Safe to share between threads.
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

// A moment with a fraction of a second, as seconds since 1970-01-01 00:00:00 UTC.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

// Errors of this domain carry ICU's error code.
inline constexpr const char* DateFormatterErrorDomain = "quarra.dateformatter";

class DateFormatter {
  public:
    // `locale`: an ICU/BCP 47 locale id ("en_US_POSIX", "de-CH"); empty = the process's locale
    // (LC_ALL, LC_TIME, LANG). `timeZone`: an Olson id or "GMT"/"UTC"/"GMT+02:00"; empty = the local
    // time zone (TZ, else the system's). Fails when the pattern or locale is unusable (an unknown
    // time zone id is an error too, not a silent GMT).
    static Result<std::shared_ptr<const DateFormatter>> make(const std::string& pattern,
                                                             const std::string& locale = {},
                                                             const std::string& timeZone = {});
    ~DateFormatter();
    DateFormatter(const DateFormatter&) = delete;
    DateFormatter& operator=(const DateFormatter&) = delete;

    const std::string& pattern() const { return pattern_; }
    const std::string& locale() const { return locale_; }
    // The time zone's id as ICU names it ("Europe/Zurich", "GMT").
    const std::string& timeZone() const { return timeZone_; }

    // UTF-8 text of `date`. Fractions below a millisecond are cut off, as ICU keeps milliseconds.
    std::string stringFromDate(Date date) const;
    // Clock times are taken in whole milliseconds, with no rounding on the way.
    template <class Duration>
    std::string stringFromDate(
        std::chrono::time_point<std::chrono::system_clock, Duration> date) const {
        return stringFromMilliseconds(
            std::chrono::floor<std::chrono::milliseconds>(date).time_since_epoch().count());
    }
    // Null when `text` does not match the pattern as a whole.
    std::optional<Date> dateFromString(std::string_view text) const;

  private:
    DateFormatter() = default;
    std::string stringFromMilliseconds(double millis) const;

    std::string pattern_;
    std::string locale_;
    std::string timeZone_;
    // ICU's formatter keeps a calendar that formatting changes: calls are serialised.
    struct Impl;
    mutable std::mutex mutex_;
    std::unique_ptr<Impl> impl_;
};

using DateFormatterPtr = std::shared_ptr<const DateFormatter>;

}  // namespace quarra
