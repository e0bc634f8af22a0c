#include "log/LDDispatchQueueLogFormatter.h"

#include <array>
#include <typeinfo>

#include "quarra/Dispatch.h"

namespace quarra {
namespace {

// Blocks of any code run on these, so their labels say nothing of who logged.
bool isSharedGlobalQueue(const std::string& label) {
    // Never destroyed: lines may still be formatted while the process exits.
    static const auto& labels =
        *new std::array<std::string, 4>{DispatchQueue::global(QueuePriority::High)->label(),
                                        DispatchQueue::global(QueuePriority::Default)->label(),
                                        DispatchQueue::global(QueuePriority::Low)->label(),
                                        DispatchQueue::global(QueuePriority::Background)->label()};
    for (const auto& shared : labels) {
        if (label == shared) {
            return true;
        }
    }
    return false;
}

// Lengths count characters, not bytes, so a cut never splits one.
bool isContinuationByte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) {
        count += isContinuationByte(c) ? 0 : 1;
    }
    return count;
}

void cutToCharacters(std::string& text, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isContinuationByte(text[i]) && seen++ == characters) {
            text.resize(i);
            return;
        }
    }
}

}  // namespace

LDDispatchQueueLogFormatter::LDDispatchQueueLogFormatter(std::uint64_t mode)
    : mode_(mode), replacements_{{DispatchQueue::main()->label(), "main"}} {}

std::optional<std::string> LDDispatchQueueLogFormatter::replacementStringForQueueLabel(
    const std::string& label) const {
    std::lock_guard lock(mutex_);
    auto it = replacements_.find(label);
    if (it == replacements_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void LDDispatchQueueLogFormatter::setReplacementString(
    const std::optional<std::string>& replacement, const std::string& label) {
    std::lock_guard lock(mutex_);
    if (replacement) {
        replacements_[label] = *replacement;
    } else {
        replacements_.erase(label);
    }
}

DateFormatterPtr LDDispatchQueueLogFormatter::createDateFormatter() const {
    return DateFormatter::make("yyyy-MM-dd HH:mm:ss:SSS", "en_US_POSIX").value();
}

std::string LDDispatchQueueLogFormatter::stringFromDate(LDLogTimestamp date) {
    DateFormatterPtr formatter;
    if (mode_ == NonShareableMode) {
        if (!ownDateFormatter_) {
            ownDateFormatter_ = createDateFormatter();
        }
        formatter = ownDateFormatter_;
    } else {
        // One date formatter per thread and per formatter class, so loggers on different threads
        // never wait for each other's dates.
        thread_local std::unordered_map<const std::type_info*, DateFormatterPtr> perThread;
        auto& slot = perThread[&typeid(*this)];
        if (!slot) {
            slot = createDateFormatter();
        }
        formatter = slot;
    }
    return formatter ? formatter->stringFromDate(date) : std::string();
}

std::string LDDispatchQueueLogFormatter::queueThreadLabelForLogMessage(
    const LDLogMessage& message) const {
    const std::string* used = nullptr;
    if (!message.queueLabel().empty() && !isSharedGlobalQueue(message.queueLabel())) {
        used = &message.queueLabel();
    } else if (!message.threadName().empty()) {
        used = &message.threadName();
    }
    std::string label;
    if (used) {
        label = replacementStringForQueueLabel(*used).value_or(*used);
    } else {
        label = message.threadID();
    }
    std::size_t length = characterCount(label);
    if (maxQueueLength_ != 0 && length > maxQueueLength_) {
        cutToCharacters(label, maxQueueLength_);
    } else if (length < minQueueLength_) {
        label.append(minQueueLength_ - length, ' ');
    }
    return label;
}

std::optional<std::string> LDDispatchQueueLogFormatter::formatLogMessage(
    const LDLogMessage& message) {
    return stringFromDate(message.timestamp()) + " [" + queueThreadLabelForLogMessage(message) +
           "] " + message.message();
}

}  // namespace quarra
