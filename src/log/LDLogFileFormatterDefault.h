#pragma once
// The default line of a log file: the message's timestamp, two spaces, the message text.
#include <climits>
#include <cstdint>
#include <mutex>

#include "log/LDLogger.h"
#include "platform/DateFormatter.h"

namespace quarra {

class LDLogFileFormatterDefault : public LDLogFormatter {
  public:
    // Timestamps as "yyyy/MM/dd HH:mm:ss:SSS" in the local time zone. The digits and calendar are
    // fixed (the POSIX locale), whatever the user's locale: the lines are read back by programs.
    LDLogFileFormatterDefault();
    explicit LDLogFileFormatterDefault(DateFormatterPtr dateFormatter);

    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;
    const DateFormatterPtr& dateFormatter() const { return dateFormatter_; }

  private:
    DateFormatterPtr dateFormatter_;
    // With the default pattern the text up to the milliseconds is the same for a whole second:
    // made once per second, not once per line.
    const bool cacheSeconds_;
    std::mutex mutex_;
    std::int64_t cachedSecond_ = INT64_MIN;
    std::string cachedText_;
};

}  // namespace quarra
