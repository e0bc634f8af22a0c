#pragma once
// Turns dates into text and back with a fixed pattern, for connections that store dates as text.
// Pattern letters (Unicode date-pattern style): yyyy year, MM month, dd day, HH hour (0-23), mm
// minute, ss second, S.. fraction of a second (one digit per letter); text in single quotes and any
// other non-letter character stand for themselves ("''" is one quote). Immutable, so safe to share.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/db/SQValue.h"

namespace quarra {

class SQDateFormatter {
  public:
    // REQUIRES: `pattern` uses only the letters above (std::invalid_argument otherwise).
    explicit SQDateFormatter(std::string pattern, int utcOffsetSeconds = 0);

    const std::string& pattern() const { return pattern_; }
    int utcOffsetSeconds() const { return utcOffsetSeconds_; }

    std::string stringFromDate(SQDate date) const;
    // Null when `text` does not match the pattern exactly.
    std::optional<SQDate> dateFromString(std::string_view text) const;

  private:
    struct Field {
        char letter;  // 0 for literal text
        int width;
        std::string literal;
    };

    std::string pattern_;
    int utcOffsetSeconds_;
    std::vector<Field> fields_;
};

}  // namespace quarra
