#pragma once
// Writes log messages to the systemd journal through its native datagram protocol: each message
// becomes one journal record with MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, the code location and
// LDLOG=1, which marks the records this logger wrote.
#include <memory>

#include "log/LDSystemLogger.h"

namespace quarra {

inline constexpr const char* kLDJournalSocketPath = "/run/systemd/journal/socket";

class LDOSLogger : public LDSystemLogger {
  public:
    static const std::shared_ptr<LDOSLogger>& sharedInstance();
    // A logger of its own (for another socket), or null once the shared one exists.
    static std::shared_ptr<LDOSLogger> make();

    // The journal priority of a message flag: error 3, warning and info 6, debug and any other
    // flag 7.
    static int priorityForFlag(std::uint64_t flag);

  protected:
    std::string recordFor(const LDLogMessage& message, const std::string& text) override;
    // The journal takes a record that no datagram can hold as a sealed in-memory file.
    void sendTooLarge(const std::string& path, const std::string& record) override;

  private:
    LDOSLogger();
};

}  // namespace quarra
