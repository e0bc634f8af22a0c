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
    for (size_t from = 0;;) {
        size_t nul = text.find('\0', from);
        record.append(text, from, nul == std::string::npos ? std::string::npos : nul - from);
        if (nul == std::string::npos)
            break;
        record += "\\x00";
        from = nul + 1;
    }
    return record;
}

void LDASLLogger::sendTooLarge(const std::string& path, const std::string& record) {
    // The datagram limit depends on the socket's buffers: the record is tried at sizes that
    // usually fit, down to the traditional syslog limit.
    for (size_t size : {size_t{64} * 1024, size_t{8} * 1024, size_t{1024}}) {
        if (record.size() <= size)
            continue;
        std::string marker =
            " [cut: the record had " + std::to_string(record.size()) + " bytes]";
        size_t keep = size - marker.size();
        // Between characters, never inside one.
        while (keep > 0 && (static_cast<unsigned char>(record[keep]) & 0xC0) == 0x80)
            --keep;
        if (sender_.send(path, record.substr(0, keep) + marker) !=
            UnixDatagramSender::Result::TooLarge)
            return;
    }
}

}  // namespace quarra
