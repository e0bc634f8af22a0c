#pragma once
// Feeds the process's own system-log messages back into the log dispatcher: the records of this
// process in the systemd journal, from the moment the capture starts, are logged through LDLog
// with the flag their priority maps to. Records the SDK's own system loggers wrote (the journal
// logger's carry LDLOG=1, the syslog logger's its SYSLOG_IDENTIFIER) are left out, and what the
// capture feeds in is never written to a system log again.
//
// Priority (syslog levels, as the journal keeps them) to flag:
//   0, 1, 2 or none: error, logged synchronously; 3: warning; 4: info; 5: debug;
//   6, 7 or any other: verbose; all but error logged asynchronously.
//
// Where the machine runs no journal, start() finds nothing to read and the capture ends at once.
#include <cstdint>
#include <map>
#include <string>

namespace quarra {

class LDASLLogCapture {
  public:
    LDASLLogCapture() = delete;

    // Starts reading on a thread of its own unless a capture is running.
    static void start();
    // The capture ends promptly; a later start() begins a new one.
    static void stop();
    static bool isRunning();

    // The flags passed on; 31 (error to verbose) unless set.
    static std::uint64_t captureLevel();
    static void setCaptureLevel(std::uint64_t level);

    // Reads the journal namespace of this name instead of the system journal (empty: the system
    // journal). Takes effect at the next start().
    static void setJournalNamespace(std::string name);

    // One journal record, by field name ("MESSAGE", "PRIORITY", "_SOURCE_REALTIME_TIMESTAMP" and
    // the record's own "__REALTIME_TIMESTAMP", both in microseconds since 1970): turned into a log
    // message, or nothing without MESSAGE or when its flag is not captured.
    static void aslMessageReceived(const std::map<std::string, std::string>& record);
};

}  // namespace quarra
