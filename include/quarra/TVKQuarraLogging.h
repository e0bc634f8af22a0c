#pragma once
// How much the SDK writes to its log, and whether its lines go to standard error as well. May be
// called from any thread, at any time; a change applies to the lines logged after it.
//     quarra::TVKQuarraLogging::setLogLevel(quarra::TVKQuarraLogLevelDebug);
//     quarra::TVKQuarraLogging::setConsoleLoggingEnabled(true);

namespace quarra {

enum TVKQuarraLogLevel : unsigned {
    TVKQuarraLogLevelOff = 0,
    TVKQuarraLogLevelError,
    TVKQuarraLogLevelWarning,
    TVKQuarraLogLevelInfo,
    TVKQuarraLogLevelDebug,
    TVKQuarraLogLevelVerbose,
};

class TVKQuarraLogging {
  public:
    TVKQuarraLogging() = delete;

    // The SDK logs lines of this level and the more severe ones. Info by default in a release
    // build of the SDK (a request's reply is logged at Debug), Debug in a debug build.
    static void setLogLevel(TVKQuarraLogLevel level);
    static TVKQuarraLogLevel logLevel();
    // Off by default: the SDK writes nothing to standard error unless asked to. Warning: the
    // console gets the lines as they are logged, not redacted: passwords, tokens, session ids and
    // e-mail addresses in them appear in clear. Enable it only in a developer's own build, never
    // where standard error is kept or collected.
    static void setConsoleLoggingEnabled(bool enabled);
    static bool isConsoleLoggingEnabled();
};

}  // namespace quarra
