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
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
    // the function field of __PRETTY_FUNCTION__ do): the queued message refers to them without a
    // copy. `message` is
    // called once, here, or not at all when no logger takes the level; it returns the text (a
    // std::string, a string view, or a C string where null stands for a missing text).
    template <class Message>
    void logErrorMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                 std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagError))
            return;
        log(text(message()), LDLogLevelError, LDLogFlagError, file, functionName, line, bundleId);
    }
    template <class Message>
    void logWarningMessageWithFile(const char* file, std::int64_t line,
                                   std::string_view functionName, std::string_view bundleId,
                                   Message&& message) {
        if (!isLogged(LDLogFlagWarning))
            return;
        log(text(message()), LDLogLevelWarning, LDLogFlagWarning, file, functionName, line,
            bundleId);
    }
    template <class Message>
    void logInfoMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagInfo))
            return;
        log(text(message()), LDLogLevelInfo, LDLogFlagInfo, file, functionName, line, bundleId);
    }
    template <class Message>
    void logDebugMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                 std::string_view bundleId, Message&& message) {
        if (!isLogged(LDLogFlagDebug))
            return;
        log(text(message()), LDLogLevelDebug, LDLogFlagDebug, file, functionName, line, bundleId);
    }

    // The same four with the host's bundle identifier as bundle id.
    template <class Message>
    void logErrorMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                 Message&& message) {
        logErrorMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logWarningMessageWithFile(const char* file, std::int64_t line,
                                   std::string_view functionName, Message&& message) {
        logWarningMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logInfoMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                Message&& message) {
        logInfoMessageWithFile(file, line, functionName, hostBundleId(), message);
    }
    template <class Message>
    void logDebugMessageWithFile(const char* file, std::int64_t line, std::string_view functionName,
                                 Message&& message) {
        logDebugMessageWithFile(file, line, functionName, hostBundleId(), message);
    }

    // Whether any logger takes messages of `flag`: below every logger's level a log call builds
    // nothing (its text is never asked for).
    static bool isLogged(std::uint64_t flag);
    // Builds the message text and queues it asynchronously; there is no level test here.
    void log(std::string text, std::uint64_t level, std::uint64_t flag, const char* file,
             std::string_view function, std::int64_t line, std::string_view bundleId);

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
    void addConsoleDestination() { setConsoleLoggingEnabled(true); }
    void setConsoleLoggingEnabled(bool enabled);
    bool isConsoleLoggingEnabled() const { return console_; }
    // The levels the SDK's loggers record (a mask of LDLogFlag bits). A debug build records debug
    // lines; a release build leaves them out unless the host asks for them: the reply of every
    // request is a debug line, and building and writing it is a good part of a request's cost.
#ifdef NDEBUG
    static constexpr std::uint64_t DefaultLogLevel = LDLogLevelInfo;
#else
    static constexpr std::uint64_t DefaultLogLevel = LDLogLevelDebug;
#endif
    void setLogLevel(std::uint64_t level);
    std::uint64_t logLevel() const {
        return level_;
    }
    // A user name as the prefix writes it (before redaction).
    static std::string usernameField(std::string_view username);
    // The upload that follows a request: see TVKFileLogger::startUploadProcessAfterRequest.
    void startUploadProcessAfterRequest();
    // The process's one file logger, installed in the dispatcher when the facade is made.
    const std::shared_ptr<TVKFileLogger>& fileLogger() const { return fileLogger_; }

    // The bundle id of the call convention: the host's bundle identifier, ".", and the last
    // "."-separated component of the SDK bundle's identifier. Fixed at the first call: the host
    // names itself before the SDK starts.
    static const std::string& sdkBundleId();
    static std::string hostBundleId();
    // The last "/"-separated component of `path`.
    // The function field of a line: "Class::method" of a __PRETTY_FUNCTION__ text, without the
    // namespaces, return type and parameters; a lambda's names the function it is in. A text that
    // is no signature ("fn") stands as it is.
    static consteval std::string_view functionField(const char* pretty) {
        return functionFieldOf(pretty);
    }
    static constexpr std::string_view functionFieldOf(std::string_view pretty) {
        constexpr auto npos = std::string_view::npos;
        if (auto lambda = pretty.find("::<lambda"); lambda != npos)
            pretty = pretty.substr(0, lambda);
        // The parameter list: the first "(" outside template arguments.
        size_t depth = 0;
        size_t open = npos;
        for (size_t i = 0; i < pretty.size() && open == npos; ++i) {
            if (pretty[i] == '<')
                ++depth;
            else if (pretty[i] == '>' && depth)
                --depth;
            else if (pretty[i] == '(' && depth == 0)
                open = i;
        }
        if (open == npos)
            return pretty;
        // The qualified name: from the blank before it (after the return type).
        size_t begin = 0;
        depth = 0;
        for (size_t i = open; i-- > 0 && begin == 0;) {
            if (pretty[i] == '>')
                ++depth;
            else if (pretty[i] == '<' && depth)
                --depth;
            else if (pretty[i] == ' ' && depth == 0)
                begin = i + 1;
        }
        std::string_view name = pretty.substr(begin, open - begin);
        // Its last two components.
        size_t separators = 0;
        depth = 0;
        for (size_t i = name.size(); i-- > 1;) {
            if (name[i] == '>') {
                ++depth;
            } else if (name[i] == '<' && depth) {
                --depth;
            } else if (depth == 0 && name[i] == ':' && name[i - 1] == ':') {
                if (++separators == 2)
                    return name.substr(i + 1);
                --i;
            }
        }
        return name;
    }
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
    std::mutex levelMutex_;  // orders changes of the level and of the console logger
    std::atomic<std::uint64_t> level_{DefaultLogLevel};
    std::atomic<bool> console_{false};

    static std::string text(std::string s) { return s; }
    static std::string text(std::string_view s) { return std::string(s); }
    static std::string text(const char* s) { return s ? s : "(null)"; }
    static std::string text(std::optional<std::string> s) { return s ? std::move(*s) : "(null)"; }
};

}  // namespace quarra

#define TVK_LOG_AT_(call, ...)                                                    \
    ::quarra::TVKQuarraLoggerInternal::sharedInstance().call(                     \
        ::quarra::TVKQuarraLoggerInternal::lastPathComponent(__FILE__), __LINE__, \
        ::quarra::TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__),    \
        ::quarra::TVKQuarraLoggerInternal::sdkBundleId(), [&]() { return __VA_ARGS__; })
#define TVK_LOG_ERROR(...) TVK_LOG_AT_(logErrorMessageWithFile, __VA_ARGS__)
#define TVK_LOG_WARNING(...) TVK_LOG_AT_(logWarningMessageWithFile, __VA_ARGS__)
#define TVK_LOG_INFO(...) TVK_LOG_AT_(logInfoMessageWithFile, __VA_ARGS__)
#define TVK_LOG_DEBUG(...) TVK_LOG_AT_(logDebugMessageWithFile, __VA_ARGS__)
