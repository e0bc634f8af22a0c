#include "log/LDASLLogger.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace quarra {
namespace {

std::atomic<bool> aslSharedMade{false};

// The month names of the record's time: the C locale's, whatever the process's locale.
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

LDASLLogger::LDASLLogger()
    : LDSystemLogger("log.dispatch.aslLogger", kLDSyslogSocketPath),
      tag_(identifier() + "[" + std::to_string(getpid()) + "]: ") {}

const std::string& LDASLLogger::identifier() {
    // Never destroyed: the logger may still be writing while the process exits.
    static const std::string& name = *new std::string([] {
        // Readers end the identifier at a blank, "[" or ":"; the traditional limit is 32
        // characters.
        std::string process;
        for (char c : LDProcessName()) {
            process += c > 32 && c < 127 && c != '[' && c != ':' ? c : '_';
        }
        return process.substr(0, 32 - std::string_view(kLDSyslogIdentifierMark).size()) +
               kLDSyslogIdentifierMark;
    }());
    return name;
}

const std::shared_ptr<LDASLLogger>& LDASLLogger::sharedInstance() {
    // Never destroyed: it may still be writing while the process exits.
    static const auto& shared = *new std::shared_ptr<LDASLLogger>([] {
        std::shared_ptr<LDASLLogger> logger(new LDASLLogger());
        aslSharedMade = true;
        return logger;
    }());
    return shared;
}

std::shared_ptr<LDASLLogger> LDASLLogger::make() {
    return aslSharedMade ? nullptr : std::shared_ptr<LDASLLogger>(new LDASLLogger());
}

int LDASLLogger::severityForFlag(std::uint64_t flag) {
    switch (flag) {
        case LDLogFlagError:
            return 2;
        case LDLogFlagWarning:
            return 3;
        case LDLogFlagInfo:
            return 4;
        default:
            return 5;
    }
}

std::string LDASLLogger::recordFor(const LDLogMessage& message, const std::string& text) {
    constexpr int kFacilityUser = 1;
    auto seconds = static_cast<std::time_t>(
        std::chrono::floor<std::chrono::seconds>(message.timestamp().time_since_epoch()).count());
    std::tm local{};
    localtime_r(&seconds, &local);
    char head[48];
    int length = std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ",
                               kFacilityUser * 8 + severityForFlag(message.flag()),
                               kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec);
    std::string record;
    record.reserve(static_cast<size_t>(length) + tag_.size() + text.size());
    record.append(head, static_cast<size_t>(length));
    record += tag_;
    record += text;
    return record;
}

}  // namespace quarra
