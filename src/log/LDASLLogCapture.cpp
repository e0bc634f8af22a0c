#include "log/LDASLLogCapture.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "log/LDASLLogger.h"
#include "log/LDLog.h"
#include "log/LDSystemLogger.h"
#include "platform/FileDescriptor.h"

namespace quarra {
namespace {

// One capture: its thread ends once `stopped` is set and the wake-up descriptor is written.
struct Capture {
    std::atomic<bool> stopped{false};
    FileDescriptor wake;
};

// Never destroyed: the capture thread may still run while the process exits.
std::mutex captureMutex;
std::shared_ptr<Capture>& running = *new std::shared_ptr<Capture>();  // guarded by captureMutex
std::string& journalNamespace = *new std::string();                   // guarded by captureMutex
std::atomic<std::uint64_t> level{LDLogLevelVerbose};

std::optional<std::uint64_t> parseNumber(const std::string& text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The value of `field` in the current record, when it has one.
std::optional<std::string> fieldOf(sd_journal* journal, const char* field) {
    const void* data = nullptr;
    std::size_t length = 0;
    if (sd_journal_get_data(journal, field, &data, &length) < 0)
        return std::nullopt;
    std::string text(static_cast<const char*>(data), length);
    std::size_t equals = text.find('=');
    return equals == std::string::npos ? std::string() : text.substr(equals + 1);
}

void readNewRecords(sd_journal* journal) {
    while (sd_journal_next(journal) > 0) {
        // The SDK's own loggers' records: never fed back. The journal logger marks its records with
        // a field of their own, the syslog logger with its identifier.
        if (fieldOf(journal, "LDLOG") == std::string(kLDASLLDLogValue) ||
            fieldOf(journal, "SYSLOG_IDENTIFIER") == LDASLLogger::identifier())
            continue;
        std::map<std::string, std::string> record;
        for (const char* field : {"MESSAGE", "PRIORITY", "_SOURCE_REALTIME_TIMESTAMP"}) {
            if (auto value = fieldOf(journal, field))
                record[field] = std::move(*value);
        }
        std::uint64_t realtime = 0;
        if (sd_journal_get_realtime_usec(journal, &realtime) >= 0)
            record["__REALTIME_TIMESTAMP"] = std::to_string(realtime);
        LDASLLogCapture::aslMessageReceived(record);
    }
}

void capture(std::shared_ptr<Capture> self, std::string name) {
    sd_journal* journal = nullptr;
    int flags = SD_JOURNAL_LOCAL_ONLY;
    if (sd_journal_open_namespace(&journal, name.empty() ? nullptr : name.c_str(), flags) < 0) {
        self->stopped = true;
        return;
    }
    std::unique_ptr<sd_journal, decltype(&sd_journal_close)> owner(journal, sd_journal_close);
    std::string pid = "_PID=" + std::to_string(getpid());
    // From the start in whole seconds, this process's records only.
    auto start = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    if (sd_journal_add_match(journal, pid.data(), pid.size()) < 0 ||
        sd_journal_seek_realtime_usec(journal,
                                      static_cast<std::uint64_t>(start.count()) * 1000000) < 0) {
        self->stopped = true;
        return;
    }
    int fd = sd_journal_get_fd(journal);
    if (fd < 0) {
        self->stopped = true;
        return;
    }
    while (!self->stopped) {
        readNewRecords(journal);
        pollfd fds[2] = {{fd, static_cast<short>(sd_journal_get_events(journal)), 0},
                         {self->wake.get(), POLLIN, 0}};
        std::uint64_t timeout = 0;
        int wait = -1;
        if (sd_journal_get_timeout(journal, &timeout) > 0 && timeout != UINT64_MAX) {
            std::uint64_t now =
                static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count());
            wait = timeout > now ? static_cast<int>((timeout - now + 999) / 1000) : 0;
        }
        if (poll(fds, 2, wait) < 0 && errno != EINTR)
            break;
        sd_journal_process(journal);
    }
}

}  // namespace

void LDASLLogCapture::start() {
    std::lock_guard lock(captureMutex);
    if (running && !running->stopped)
        return;
    auto self = std::make_shared<Capture>();
    self->wake = FileDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!self->wake)
        return;
    running = self;
    // Lives as long as the capture; nothing waits for it.
    std::thread(capture, self, journalNamespace).detach();
}

void LDASLLogCapture::stop() {
    std::lock_guard lock(captureMutex);
    if (!running)
        return;
    running->stopped = true;
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(running->wake.get(), &one, sizeof one);
    running = nullptr;
}

bool LDASLLogCapture::isRunning() {
    std::lock_guard lock(captureMutex);
    return running && !running->stopped;
}

std::uint64_t LDASLLogCapture::captureLevel() {
    return level.load();
}

void LDASLLogCapture::setCaptureLevel(std::uint64_t value) {
    level = value;
}

void LDASLLogCapture::setJournalNamespace(std::string name) {
    std::lock_guard lock(captureMutex);
    journalNamespace = std::move(name);
}

void LDASLLogCapture::aslMessageReceived(const std::map<std::string, std::string>& record) {
    auto message = record.find("MESSAGE");
    if (message == record.end())
        return;
    std::uint64_t flag = LDLogFlagError;
    auto priority = record.find("PRIORITY");
    if (priority != record.end()) {
        switch (parseNumber(priority->second).value_or(7)) {
            case 0:
            case 1:
            case 2:
                flag = LDLogFlagError;
                break;
            case 3:
                flag = LDLogFlagWarning;
                break;
            case 4:
                flag = LDLogFlagInfo;
                break;
            case 5:
                flag = LDLogFlagDebug;
                break;
            default:
                flag = LDLogFlagVerbose;
                break;
        }
    }
    std::uint64_t captured = level.load();
    if (!(captured & flag))
        return;
    // When the sender said when it logged, that time; else when the journal received it.
    LDLogTimestamp timestamp = std::chrono::system_clock::now();
    for (const char* field : {"_SOURCE_REALTIME_TIMESTAMP", "__REALTIME_TIMESTAMP"}) {
        auto it = record.find(field);
        if (it == record.end())
            continue;
        if (auto micros = parseNumber(it->second)) {
            timestamp = LDLogTimestamp(std::chrono::duration_cast<LDLogTimestamp::duration>(
                std::chrono::microseconds(*micros)));
            break;
        }
    }
    auto logMessage = std::make_shared<LDLogMessage>(message->second, captured, flag, 0,
                                                     kLDSystemLogCaptureFileName, "", 0, LDLogTag(),
                                                     0, timestamp);
    LDLog::sharedInstance().log(flag != LDLogFlagError, std::move(logMessage));
}

}  // namespace quarra
