#pragma once
// Writes log messages to syslog through its datagram socket, one record per message in the form
// the local syslog socket's readers (journald, rsyslog) take, that of the C library's syslog():
// "<PRI>Mmm dd hh:mm:ss identifier[pid]: text", facility user, the severity of the message's flag,
// the message's local time. The identifier is the process name followed by kLDSyslogIdentifierMark:
// the journal keeps it as SYSLOG_IDENTIFIER, which tells the capture the records this logger wrote,
// and rsyslog still files them under the process name. A NUL in the text, which would end the
// record for a reader, is written "\x00"; a record larger than one datagram is cut to fit, with a
// marker saying how much was cut.
#include <memory>

#include "log/LDSystemLogger.h"

namespace quarra {

inline constexpr const char* kLDSyslogSocketPath = "/dev/log";
// The key and value that mark this logger's own records.
inline constexpr const char* kLDASLKeyLDLog = "LDLog";
inline constexpr const char* kLDASLLDLogValue = "1";
// What ends the syslog identifier of this logger's records.
inline constexpr const char* kLDSyslogIdentifierMark = "/LDLog";

class LDASLLogger : public LDSystemLogger {
  public:
    static const std::shared_ptr<LDASLLogger>& sharedInstance();
    // The identifier of this process's records.
    static const std::string& identifier();
    // A logger of its own (for another socket), or null once the shared one exists.
    static std::shared_ptr<LDASLLogger> make();

    // The syslog severity of a message flag: error 2 (critical), warning 3 (error), info 4
    // (warning), debug and any other flag 5 (notice).
    static int severityForFlag(std::uint64_t flag);

  protected:
    std::string recordFor(const LDLogMessage& message, const std::string& text) override;
    void sendTooLarge(const std::string& path, const std::string& record) override;

  private:
    LDASLLogger();
    const std::string tag_;  // "identifier[pid]: ", fixed
};

}  // namespace quarra
