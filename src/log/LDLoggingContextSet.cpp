#include "log/LDLoggingContextSet.h"

namespace quarra {

void LDLoggingContextSet::addToSet(std::uint64_t context) {
    std::lock_guard lock(mutex_);
    set_.insert(context);
}

void LDLoggingContextSet::removeFromSet(std::uint64_t context) {
    std::lock_guard lock(mutex_);
    set_.erase(context);
}

std::vector<std::uint64_t> LDLoggingContextSet::currentSet() const {
    std::lock_guard lock(mutex_);
    return {set_.begin(), set_.end()};
}

bool LDLoggingContextSet::isInSet(std::uint64_t context) const {
    std::lock_guard lock(mutex_);
    return set_.count(context) != 0;
}

std::optional<std::string> LDContextWhitelistFilterLogFormatter::formatLogMessage(
    const LDLogMessage& message) {
    if (!set_.isInSet(static_cast<std::uint64_t>(message.context()))) {
        return std::nullopt;
    }
    return message.message();
}

std::optional<std::string> LDContextBlacklistFilterLogFormatter::formatLogMessage(
    const LDLogMessage& message) {
    if (set_.isInSet(static_cast<std::uint64_t>(message.context()))) {
        return std::nullopt;
    }
    return message.message();
}

}  // namespace quarra
