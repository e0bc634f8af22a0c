#include "log/LDLogFileFormatterDefault.h"

namespace quarra {

LDLogFileFormatterDefault::LDLogFileFormatterDefault()
    : dateFormatter_(DateFormatter::make("yyyy/MM/dd HH:mm:ss:SSS", "en_US_POSIX")) {}

LDLogFileFormatterDefault::LDLogFileFormatterDefault(DateFormatterPtr dateFormatter)
    : dateFormatter_(std::move(dateFormatter)) {}

std::optional<std::string> LDLogFileFormatterDefault::formatLogMessage(const LDLogMessage& message) {
    std::string line = dateFormatter_->stringFromDate(message.timestamp());
    line += "  ";
    line += message.message();
    return line;
}

}  // namespace quarra
