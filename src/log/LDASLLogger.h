#pragma once
// Writes log messages to syslog through its datagram socket, one RFC 5424 record per message:
// facility user, the severity of the message's flag, the time in UTC, host, process name and id,
// the structured element [LDLog@32473 LDLog="1"] that marks the records this logger wrote, and the
// text in UTF-8 after a byte order mark.
#include <memory>

#include "log/LDSystemLogger.h"

namespace quarra {

inline constexpr const char* kLDSyslogSocketPath = "/dev/log";
// The key and value that mark this logger's own records.
inline constexpr const char* kLDASLKeyLDLog = "LDLog";
inline constexpr const char* kLDASLLDLogValue = "1";

class LDASLLogger : public LDSystemLogger {
  public:
    static const std::shared_ptr<LDASLLogger>& sharedInstance();
    // A logger of its own (for another socket), or null once the shared one exists.
    static std::shared_ptr<LDASLLogger> make();

    // The syslog severity of a message flag: error 2 (critical), warning 3 (error), info 4
    // (warning), debug and any other flag 5 (notice).
    static int severityForFlag(std::uint64_t flag);

  protected:
    std::string recordFor(const LDLogMessage& message, const std::string& text) override;

  private:
    LDASLLogger();
    const std::string header_;  // HOSTNAME APP-NAME PROCID MSGID STRUCTURED-DATA, fixed
};

}  // namespace quarra
