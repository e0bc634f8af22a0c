#include "log/LDSystemLogger.h"

#include <cerrno>

namespace quarra {

LDSystemLogger::LDSystemLogger(std::string loggerName, std::string socketPath)
    : LDAbstractLogger(std::move(loggerName)), socketPath_(std::move(socketPath)) {}

void LDSystemLogger::logMessage(const LDLogMessagePtr& message) {
    if (message->fileName() == kLDSystemLogCaptureFileName) {
        return;
    }
    std::optional<std::string> formatted;
    if (logFormatter_) {
        formatted = logFormatter_->formatLogMessage(*message);
        if (!formatted) {
            return;
        }
    }
    std::string record = recordFor(*message, formatted ? *formatted : message->message());
    if (sender_.send(socketPath_, record) == UnixDatagramSender::Result::TooLarge) {
        sendTooLarge(socketPath_, record);
    }
}

void LDSystemLogger::setSocketPath(std::string path) {
    changeInMessageOrder([this, path = std::move(path)] { socketPath_ = path; });
}

std::string LDSystemLogger::socketPath() {
    std::string path;
    readInMessageOrder([&] { path = socketPath_; });
    return path;
}

const std::string& LDProcessName() {
    // Never destroyed: loggers may still read it while the process exits.
    static const std::string& name = *new std::string([] {
        std::string process = program_invocation_short_name ? program_invocation_short_name : "";
        return process.empty() ? std::string("<UnnamedApp>") : process;
    }());
    return name;
}

}  // namespace quarra
