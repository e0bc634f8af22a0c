#include "quarra/TVKQuarraLogging.h"

#include "log/LDLogMessage.h"
#include "log/TVKQuarraLoggerInternal.h"

namespace quarra {
namespace {

constexpr std::uint64_t kMasks[] = {LDLogLevelOff,  LDLogLevelError, LDLogLevelWarning,
                                    LDLogLevelInfo, LDLogLevelDebug, LDLogLevelVerbose};

}  // namespace

void TVKQuarraLogging::setLogLevel(TVKQuarraLogLevel level) {
    if (level > TVKQuarraLogLevelVerbose)
        level = TVKQuarraLogLevelVerbose;
    TVKQuarraLoggerInternal::sharedInstance().setLogLevel(kMasks[level]);
}

TVKQuarraLogLevel TVKQuarraLogging::logLevel() {
    std::uint64_t mask = TVKQuarraLoggerInternal::sharedInstance().logLevel();
    unsigned level = TVKQuarraLogLevelVerbose;
    while (level > 0 && kMasks[level] != mask)
        --level;
    return static_cast<TVKQuarraLogLevel>(level);
}

void TVKQuarraLogging::setConsoleLoggingEnabled(bool enabled) {
    TVKQuarraLoggerInternal::sharedInstance().setConsoleLoggingEnabled(enabled);
}

bool TVKQuarraLogging::isConsoleLoggingEnabled() {
    return TVKQuarraLoggerInternal::sharedInstance().isConsoleLoggingEnabled();
}

}  // namespace quarra
