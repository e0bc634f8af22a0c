#include "log/LDMultiFormatter.h"

#include <algorithm>

namespace quarra {

std::optional<std::string> LDMultiFormatter::formatLogMessage(const LDLogMessage& message) {
    std::lock_guard lock(mutex_);
    std::optional<std::string> text = message.message();
    for (const auto& formatter : formatters_) {
        text = formatter->formatLogMessage(message.withMessage(std::move(*text)));
        if (!text) {
            return std::nullopt;
        }
    }
    return text;
}

std::vector<LDLogFormatterPtr> LDMultiFormatter::formatters() const {
    std::lock_guard lock(mutex_);
    return formatters_;
}

void LDMultiFormatter::addFormatter(LDLogFormatterPtr formatter) {
    if (!formatter) {
        return;
    }
    std::lock_guard lock(mutex_);
    formatters_.push_back(std::move(formatter));
}

void LDMultiFormatter::removeFormatter(const LDLogFormatterPtr& formatter) {
    std::lock_guard lock(mutex_);
    std::erase(formatters_, formatter);
}

void LDMultiFormatter::removeAllFormatters() {
    std::lock_guard lock(mutex_);
    formatters_.clear();
}

bool LDMultiFormatter::isFormattingWithFormatter(const LDLogFormatterPtr& formatter) const {
    std::lock_guard lock(mutex_);
    return std::find(formatters_.begin(), formatters_.end(), formatter) != formatters_.end();
}

}  // namespace quarra
