#include "log/LDASLLogger.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace quarra {
namespace {

std::atomic<bool> aslSharedMade{false};

// A header field: printable ASCII without spaces, at most `limit` characters, "-" when empty.
std::string headerField(std::string_view value, std::size_t limit) {
    std::string field;
    for (char c : value.substr(0, limit)) {
        field += c > 32 && c < 127 ? c : '_';
    }
    return field.empty() ? "-" : field;
}

std::string makeHeader() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return headerField(host, 255) + " " + headerField(LDProcessName(), 48) + " " +
           std::to_string(getpid()) + " - [" + kLDASLKeyLDLog + "@32473 " + kLDASLKeyLDLog +
           "=\"" + kLDASLLDLogValue + "\"]";
}

}  // namespace

LDASLLogger::LDASLLogger()
    : LDSystemLogger("log.dispatch.aslLogger", kLDSyslogSocketPath), header_(makeHeader()) {}

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
    auto since = message.timestamp().time_since_epoch();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    auto seconds = static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(since).count());
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char head[96];
    int length = std::snprintf(head, sizeof head, "<%d>1 %04d-%02d-%02dT%02d:%02d:%02d.%06dZ ",
                               kFacilityUser * 8 + severityForFlag(message.flag()),
                               utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                               utc.tm_min, utc.tm_sec,
                               static_cast<int>(((micros % 1000000) + 1000000) % 1000000));
    std::string record;
    record.reserve(length + header_.size() + text.size() + 4);
    record.append(head, length);
    record += header_;
    record += " \xEF\xBB\xBF";
    record += text;
    return record;
}

}  // namespace quarra
