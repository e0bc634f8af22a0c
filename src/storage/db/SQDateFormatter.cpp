#include "storage/db/SQDateFormatter.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace quarra {
namespace {

constexpr std::string_view kLetters = "yMdHmsS";

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

SQDateFormatter::SQDateFormatter(std::string pattern, int utcOffsetSeconds)
    : pattern_(std::move(pattern)), utcOffsetSeconds_(utcOffsetSeconds) {
    auto appendLiteral = [this](char c) {
        if (fields_.empty() || fields_.back().letter != 0) {
            fields_.push_back({0, 0, {}});
        }
        fields_.back().literal += c;
    };
    for (size_t i = 0; i < pattern_.size();) {
        char c = pattern_[i];
        if (c == '\'') {
            size_t end = i + 1;
            if (end < pattern_.size() && pattern_[end] == '\'') {
                appendLiteral('\'');
                i += 2;
                continue;
            }
            for (; end < pattern_.size() && pattern_[end] != '\''; ++end) {
                appendLiteral(pattern_[end]);
            }
            i = end + 1;
        } else if (isAsciiLetter(c)) {
            if (kLetters.find(c) == std::string_view::npos) {
                throw std::invalid_argument("unsupported date pattern letter in \"" + pattern_ +
                                            "\"");
            }
            size_t end = i;
            while (end < pattern_.size() && pattern_[end] == c)
                ++end;
            fields_.push_back({c, static_cast<int>(end - i), {}});
            i = end;
        } else {
            appendLiteral(c);
            ++i;
        }
    }
}

std::string SQDateFormatter::stringFromDate(SQDate date) const {
    using namespace std::chrono;
    double local = date.time_since_epoch().count() + utcOffsetSeconds_;
    double whole = std::floor(local);
    double fraction = local - whole;
    sys_seconds point{std::chrono::seconds(static_cast<long long>(whole))};
    auto day = floor<days>(point);
    year_month_day ymd{day};
    hh_mm_ss hms{point - day};
    std::string out;
    char buffer[32];
    for (const Field& field : fields_) {
        long value = 0;
        switch (field.letter) {
            case 0:
                out += field.literal;
                continue;
            case 'y':
                value = static_cast<int>(ymd.year());
                if (field.width == 2)
                    value %= 100;
                break;
            case 'M':
                value = static_cast<unsigned>(ymd.month());
                break;
            case 'd':
                value = static_cast<unsigned>(ymd.day());
                break;
            case 'H':
                value = hms.hours().count();
                break;
            case 'm':
                value = hms.minutes().count();
                break;
            case 's':
                value = hms.seconds().count();
                break;
            case 'S':
                value = static_cast<long>(std::floor(fraction * std::pow(10.0, field.width)));
                break;
        }
        std::snprintf(buffer, sizeof buffer, "%0*ld", field.width, value);
        out += buffer;
    }
    return out;
}

std::optional<SQDate> SQDateFormatter::dateFromString(std::string_view text) const {
    using namespace std::chrono;
    int year = 1970;
    unsigned month = 1, day = 1;
    long hour = 0, minute = 0, second = 0;
    double fraction = 0;
    size_t pos = 0;
    for (const Field& field : fields_) {
        if (field.letter == 0) {
            if (text.substr(pos, field.literal.size()) != field.literal)
                return std::nullopt;
            pos += field.literal.size();
            continue;
        }
        // A field of width 1 takes as many digits as there are; wider fields take exactly their
        // width, except the year, which may have more digits.
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' &&
               (field.width == 1 || field.letter == 'y' || pos - start < size_t(field.width))) {
            ++pos;
        }
        if (pos == start ||
            (field.width > 1 && field.letter != 'y' && pos - start != size_t(field.width)))
            return std::nullopt;
        long value = std::stol(std::string(text.substr(start, pos - start)));
        switch (field.letter) {
            case 'y':
                year = static_cast<int>(field.width == 2 ? 2000 + value : value);
                break;
            case 'M':
                month = static_cast<unsigned>(value);
                break;
            case 'd':
                day = static_cast<unsigned>(value);
                break;
            case 'H':
                hour = value;
                break;
            case 'm':
                minute = value;
                break;
            case 's':
                second = value;
                break;
            case 'S':
                fraction = value / std::pow(10.0, double(pos - start));
                break;
        }
    }
    year_month_day ymd{std::chrono::year(year), std::chrono::month(month), std::chrono::day(day)};
    if (pos != text.size() || !ymd.ok() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    double total = sys_days(ymd).time_since_epoch() / std::chrono::seconds(1) + hour * 3600.0 +
                   minute * 60.0 + second + fraction - utcOffsetSeconds_;
    return SQDate(duration<double>(total));
}

}  // namespace quarra
