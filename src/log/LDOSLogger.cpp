#include "log/LDOSLogger.h"

#include <atomic>

namespace quarra {
namespace {

std::atomic<bool> osSharedMade{false};

// KEY=value, or for a value with a line break the length-prefixed binary form.
void appendField(std::string& record, std::string_view key, std::string_view value) {
    record += key;
    if (value.find('\n') == std::string_view::npos) {
        record += '=';
        record += value;
    } else {
        record += '\n';
        std::uint64_t size = value.size();
        for (int i = 0; i < 8; ++i) {
            record += static_cast<char>((size >> (8 * i)) & 0xFF);
        }
        record += value;
    }
    record += '\n';
}

}  // namespace

LDOSLogger::LDOSLogger() : LDSystemLogger("log.dispatch.osLogger", kLDJournalSocketPath) {}

const std::shared_ptr<LDOSLogger>& LDOSLogger::sharedInstance() {
    // Never destroyed: it may still be writing while the process exits.
    static const auto& shared = *new std::shared_ptr<LDOSLogger>([] {
        std::shared_ptr<LDOSLogger> logger(new LDOSLogger());
        osSharedMade = true;
        return logger;
    }());
    return shared;
}

std::shared_ptr<LDOSLogger> LDOSLogger::make() {
    return osSharedMade ? nullptr : std::shared_ptr<LDOSLogger>(new LDOSLogger());
}

int LDOSLogger::priorityForFlag(std::uint64_t flag) {
    switch (flag) {
        case LDLogFlagError:
            return 3;
        case LDLogFlagWarning:
        case LDLogFlagInfo:
            return 6;
        default:
            return 7;
    }
}

std::string LDOSLogger::recordFor(const LDLogMessage& message, const std::string& text) {
    std::string record;
    record.reserve(text.size() + 160);
    appendField(record, "MESSAGE", text);
    appendField(record, "PRIORITY", std::to_string(priorityForFlag(message.flag())));
    appendField(record, "SYSLOG_IDENTIFIER", LDProcessName());
    if (!message.file().empty()) {
        appendField(record, "CODE_FILE", message.file());
        appendField(record, "CODE_LINE", std::to_string(message.line()));
    }
    if (!message.function().empty()) {
        appendField(record, "CODE_FUNC", message.function());
    }
    appendField(record, "LDLOG", "1");
    return record;
}

void LDOSLogger::sendTooLarge(const std::string& path, const std::string& record) {
    (void)sender_.sendAsSealedFile(path, record);
}

}  // namespace quarra
