#pragma once
// The one door through which the SDK's own code writes to the log. Each call turns the caller's
// context (file, line, function, bundle id) and the current session state into one message text on
// the caller's thread and queues it on the log dispatcher without waiting. Safe to call from any
// thread; logging never fails and never throws into the caller.
//
// SDK code logs through the macros at the end of this file, which follow the call convention:
//     TVK_LOG_DEBUG("Response for url:" + url.string());
//     TVK_LOG_ERROR("Upload failed: " + error->description());
// The message expression is evaluated exactly once, inside the call, on the caller's thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "log/LDLogMessage.h"
#include "quarra/Bytes.h"

namespace quarra {

class TVKFileLogger;

class TVKQuarraLoggerInternal {
  public:
    // Made on first use, with the configuration manager (and so the SDK's directories) before it.
    static TVKQuarraLoggerInternal& sharedInstance();

    TVKQuarraLoggerInternal(const TVKQuarraLoggerInternal&) = delete;
    TVKQuarraLoggerInternal& operator=(const TVKQuarraLoggerInternal&) = delete;

    // The level calls. `file` and `functionName` must have static storage (the tail of __FILE__ and
    // __PRETTY_FUNCTION__ do): the queued message refers to them without a copy. `message` is
    // called once, here, or not at all when no logger takes the level; it returns the text (a
    // std::string, a string view, or a C string where null stands for a missing text).
    template <class Message>
    void logErrorMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                 std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagError))
            return;
        log(text(message()), LDLogLevelError, LDLogFlagError, file, functionName, line, bundleId);
    }
    template <class Message>
    void logWarningMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                   std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagWarning))
            return;
        log(text(message()), LDLogLevelWarning, LDLogFlagWarning, file, functionName, line,
            bundleId);
    }
    template <class Message>
    void logInfoMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagInfo))
            return;
        log(text(message()), LDLogLevelInfo, LDLogFlagInfo, file, functionName, line, bundleId);
    }
    template <class Message>
    void logDebugMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                 std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagDebug))
            return;
        log(text(message()), LDLogLevelDebug, LDLogFlagDebug, file, functionName, line, bundleId);
    }

    // The same four with the host's bundle identifier as bundle id.
    template <class Message>
    void logErrorMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                 Message&& message) {
        logErrorMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logWarningMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                   Message&& message) {
        logWarningMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logInfoMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                Message&& message) {
        logInfoMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logDebugMessageWithFile(const char* file, std::int64_t line, const char* functionName,
                                 Message&& message) {
        logDebugMessageWithFile(file, line, functionName, hostBundleId(), message);
    }

    // Whether any logger takes messages of `flag`: below every logger's level a log call builds
    // nothing (its text is never asked for).
    static bool isLogged(std::uint64_t flag);
    // Builds the message text and queues it asynchronously; there is no level test here.
    void log(std::string text, std::uint64_t level, std::uint64_t flag, const char* file,
             const char* function, std::int64_t line, std::string_view bundleId);

    // "[bundleID:… sessionId:… quarraId:… username:… file:… function:… line:…] LEVEL message: text"
    // with the session values read now; a missing value reads "(null)".
    static std::string constructLogMessage(std::string_view bundleId, std::string_view fileName,
                                           std::string_view functionName, std::uint64_t line,
                                           std::string_view message, std::uint64_t flag);
    // "ERROR", "WARNING", "INFO", "DEBUG", "VERBOSE"; "INFO" for any other flag.
    static std::string_view dispatcherFlagToQuarraLogLevel(std::uint64_t flag);

    // Starts uploading the log to the current Quarra when no upload runs and a user is signed in;
    // otherwise does nothing. Returns at once.
    void startUploadProcess();
    // Hands the current log file's bytes to `handler`, none when there is no log file, on a global
    // queue (never the main queue). Returns at once.
    void logDataWithCompletionHandler(std::function<void(std::optional<Bytes>)> handler);
    // False for the endpoints whose own requests must not start an upload ("objects/users/me",
    // "client/log").
    static bool shouldUploadAfterEndpoint(std::string_view endpoint);
    // Sends every log line to standard error as well, through the process's console logger.
    void addConsoleDestination();
    // The process's one file logger, installed in the dispatcher when the facade is made.
    const std::shared_ptr<TVKFileLogger>& fileLogger() const { return fileLogger_; }

    // The bundle id of the call convention: the host's bundle identifier, ".", and the last
    // "."-separated component of the SDK bundle's identifier. Fixed at the first call: the host
    // names itself before the SDK starts.
    static const std::string& sdkBundleId();
    static std::string hostBundleId();
    // The last "/"-separated component of `path`.
    static constexpr const char* lastPathComponent(const char* path) {
        const char* name = path;
        for (const char* p = path; *p; ++p) {
            if (*p == '/') {
                name = p + 1;
            }
        }
        return name;
    }

  private:
    TVKQuarraLoggerInternal();
    void addFileDestination();

    std::shared_ptr<TVKFileLogger> fileLogger_;

    static std::string text(std::string s) { return s; }
    static std::string text(std::string_view s) { return std::string(s); }
    static std::string text(const char* s) { return s ? s : "(null)"; }
    static std::string text(std::optional<std::string> s) { return s ? std::move(*s) : "(null)"; }
};

}  // namespace quarra

#define TVK_LOG_AT_(call, ...)                                                    \
    ::quarra::TVKQuarraLoggerInternal::sharedInstance().call(                     \
        ::quarra::TVKQuarraLoggerInternal::lastPathComponent(__FILE__), __LINE__, \
        __PRETTY_FUNCTION__, ::quarra::TVKQuarraLoggerInternal::sdkBundleId(),    \
        [&]() { return __VA_ARGS__; })
#define TVK_LOG_ERROR(...) TVK_LOG_AT_(logErrorMessageWithFile, __VA_ARGS__)
#define TVK_LOG_WARNING(...) TVK_LOG_AT_(logWarningMessageWithFile, __VA_ARGS__)
#define TVK_LOG_INFO(...) TVK_LOG_AT_(logInfoMessageWithFile, __VA_ARGS__)
#define TVK_LOG_DEBUG(...) TVK_LOG_AT_(logDebugMessageWithFile, __VA_ARGS__)
