#include "log/LDLogFileFormatterDefault.h"

namespace quarra {

namespace {
constexpr const char* kPattern = "yyyy/MM/dd HH:mm:ss:SSS";
}

LDLogFileFormatterDefault::LDLogFileFormatterDefault()
    : dateFormatter_(DateFormatter::make(kPattern, "en_US_POSIX").value()), cacheSeconds_(true) {}

LDLogFileFormatterDefault::LDLogFileFormatterDefault(DateFormatterPtr dateFormatter)
    : dateFormatter_(std::move(dateFormatter)), cacheSeconds_(false) {}

std::optional<std::string> LDLogFileFormatterDefault::formatLogMessage(const LDLogMessage& message) {
    std::string line;
    if (cacheSeconds_) {
        auto millis = std::chrono::floor<std::chrono::milliseconds>(message.timestamp())
                          .time_since_epoch()
                          .count();
        std::int64_t second = millis >= 0 ? millis / 1000 : (millis - 999) / 1000;
        int rest = static_cast<int>(millis - second * 1000);
        {
            std::lock_guard lock(mutex_);
            if (second != cachedSecond_) {
                std::string text = dateFormatter_->stringFromDate(message.timestamp());
                cachedText_ = text.substr(0, text.size() - 3);
                cachedSecond_ = second;
            }
            line = cachedText_;
        }
        line += static_cast<char>('0' + rest / 100);
        line += static_cast<char>('0' + rest / 10 % 10);
        line += static_cast<char>('0' + rest % 10);
    } else {
        line = dateFormatter_->stringFromDate(message.timestamp());
    }
    line += "  ";
    line += message.message();
    return line;
}

}  // namespace quarra
