#include "platform/DateFormatter.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>

namespace quarra {

struct DateFormatter::Impl {
    std::unique_ptr<icu::SimpleDateFormat> format;
};

namespace {

ErrorPtr icuError(UErrorCode code, const std::string& what) {
    return Error::make(DateFormatterErrorDomain, code, what + ": " + u_errorName(code));
}

}  // namespace

DateFormatter::~DateFormatter() = default;

Result<std::shared_ptr<const DateFormatter>> DateFormatter::make(const std::string& pattern,
                                                                 const std::string& locale,
                                                                 const std::string& timeZone) {
    icu::Locale icuLocale =
        locale.empty() ? icu::Locale::getDefault() : icu::Locale::createCanonical(locale.c_str());
    if (icuLocale.isBogus())
        return icuError(U_ILLEGAL_ARGUMENT_ERROR, "Unusable locale \"" + locale + "\"");
    std::unique_ptr<icu::TimeZone> zone;
    if (timeZone.empty()) {
        zone.reset(icu::TimeZone::detectHostTimeZone());
    } else {
        zone.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone)));
        if (*zone == icu::TimeZone::getUnknown())
            return icuError(U_ILLEGAL_ARGUMENT_ERROR, "Unknown time zone \"" + timeZone + "\"");
    }
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                          icuLocale, status);
    if (U_FAILURE(status))
        return icuError(status, "Unusable date pattern \"" + pattern + "\"");
    format->adoptTimeZone(zone.release());
    format->setLenient(false);

    std::shared_ptr<DateFormatter> made(new DateFormatter());
    made->pattern_ = pattern;
    made->locale_ = icuLocale.getName();
    icu::UnicodeString zoneId;
    format->getTimeZone().getID(zoneId);
    zoneId.toUTF8String(made->timeZone_);
    made->impl_ = std::make_unique<Impl>(Impl{std::move(format)});
    return std::shared_ptr<const DateFormatter>(std::move(made));
}

std::string DateFormatter::stringFromDate(Date date) const {
    // ICU counts whole milliseconds. The seconds are taken to the microsecond first, so that a
    // time that is a whole millisecond but not exactly representable is not floored to the one
    // before; flooring then keeps ".9995" from rounding up into the next second.
    double micros = std::round(date.time_since_epoch().count() * 1e6);
    return stringFromMilliseconds(std::floor(micros / 1000.0));
}

std::string DateFormatter::stringFromMilliseconds(double millis) const {
    icu::UnicodeString text;
    {
        std::lock_guard lock(mutex_);
        impl_->format->format(millis, text);
    }
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::optional<Date> DateFormatter::dateFromString(std::string_view text) const {
    icu::UnicodeString input =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::ParsePosition position(0);
    UDate millis;
    {
        std::lock_guard lock(mutex_);
        millis = impl_->format->parse(input, position);
    }
    if (position.getErrorIndex() >= 0 || position.getIndex() != input.length())
        return std::nullopt;
    return Date(std::chrono::duration<double>(millis / 1000.0));
}

}  // namespace quarra
