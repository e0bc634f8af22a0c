#pragma once
// Base of the loggers that hand messages to a system log service listening on a Unix datagram
// socket. A logger that cannot reach its socket, or finds it full, drops the line and carries on:
// no log call ever waits for the system log.
#include <string>

#include "log/LDAbstractLogger.h"
#include "platform/UnixDatagram.h"

namespace quarra {

// The file name that messages fed back from the system log carry; such a message is never written
// to a system log again.
inline constexpr const char* kLDSystemLogCaptureFileName = "LDASLLogCapture";

class LDSystemLogger : public LDAbstractLogger {
  public:
    void logMessage(const LDLogMessagePtr& message) override;

    // The socket the records go to. The change is made in step with the message stream.
    void setSocketPath(std::string path);
    // REQUIRES: not on the logging queue or this logger's queue.
    std::string socketPath();

  protected:
    LDSystemLogger(std::string loggerName, std::string socketPath);
    // The record of `message` with `text`, as one datagram.
    virtual std::string recordFor(const LDLogMessage& message, const std::string& text) = 0;
    // How to pass a record too large for one datagram; the base drops it.
    virtual void sendTooLarge(const std::string& /*path*/, const std::string& /*record*/) {}

    UnixDatagramSender sender_;

  private:
    std::string socketPath_;  // only touched on the logger's queue
};

// The process's name as log lines name it ("<UnnamedApp>" when it has none).
const std::string& LDProcessName();

}  // namespace quarra
