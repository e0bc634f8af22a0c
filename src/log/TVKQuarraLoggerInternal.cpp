#include "log/TVKQuarraLoggerInternal.h"

#include <charconv>
#include <memory>
#include <mutex>
#include <vector>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDLog.h"
#include "log/LDTTYLogger.h"
#include "log/TVKFileLogger.h"
#include "platform/Diagnostics.h"
#include "quarra/Bundle.h"
#include "platform/KeychainValue.h"

namespace quarra {
namespace {

struct SessionValues {
    std::optional<std::string> sessionId;
    std::uint64_t quarraId = 0;
    std::optional<std::string> username;
};

std::optional<std::string> storedSessionId() {
    static auto* value = new KeychainValue([] { return KeychainItemStore::getSessionId(); });
    // A log line without the session is still worth writing.
    return value->get().valueOr(std::nullopt);
}

std::optional<std::string> storedUsername() {
    static auto* value = new KeychainValue([] { return KeychainItemStore::getUsername(); });
    return value->get().valueOr(std::nullopt);
}

// Read afresh at every call: a signed-in user counts only once the SDK is initialised.
SessionValues currentSessionValues() {
    SessionValues values;
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    if (!configuration.isSDKInitialized()) {
        values.username = storedUsername();
        return values;
    }
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auto user = auth.currentUser();
    if (!user) {
        values.username = auth.lastAttemptedLoginUsername();
        return values;
    }
    values.sessionId = storedSessionId();
    if (const auto& quarra = user->currentQuarra()) {
        values.quarraId = quarra->Id();
    }
    values.username = user->userId() != 0 ? std::to_string(user->userId()) : user->username();
    return values;
}

// Fields of the prefix hold no whitespace, so that the line can be read back field by field: a
// user name typed with a space ("john smith") is written "john%20smith".
void append(std::string& out, std::string_view value) {
    for (char c : value) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            static constexpr char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[(c >> 4) & 0xF];
            out += hex[c & 0xF];
        } else {
            out += c;
        }
    }
}

void append(std::string& out, const std::optional<std::string>& value) {
    if (value)
        append(out, std::string_view(*value));
    else
        out += "(null)";
}

void append(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The platform's messages become the SDK's log lines, at their own level, so that nothing reaches
// stderr unless the host adds the console logger. They never bring the log up themselves: the
// log's own making reports (a legacy log folder moved, a keychain consulted), and a report made
// while the log is being made would make it again. Until it is up they wait, a few at most.
struct HeldDiagnostic {
    DiagnosticLevel level;
    std::string message;
    std::source_location where;
};
struct Diagnostics {
    std::mutex mutex;
    bool ready = false;
    std::vector<HeldDiagnostic> held;
};
constexpr std::size_t kHeldDiagnostics = 32;

Diagnostics& diagnostics() {
    static Diagnostics& state = *new Diagnostics();
    return state;
}

void writeDiagnostic(TVKQuarraLoggerInternal& log, DiagnosticLevel level, std::string_view message,
                     const std::source_location& where) {
    static constexpr std::uint64_t flags[] = {LDLogFlagError, LDLogFlagWarning, LDLogFlagInfo,
                                              LDLogFlagDebug};
    static constexpr std::uint64_t levels[] = {LDLogLevelError, LDLogLevelWarning, LDLogLevelInfo,
                                               LDLogLevelDebug};
    auto index = static_cast<std::size_t>(level);
    if (!TVKQuarraLoggerInternal::isLogged(flags[index]))
        return;
    log.log(std::string(message), levels[index], flags[index],
            TVKQuarraLoggerInternal::lastPathComponent(where.file_name()), where.function_name(),
            where.line(), TVKQuarraLoggerInternal::sdkBundleId());
}

void logDiagnostic(DiagnosticLevel level, std::string_view message,
                   const std::source_location& where) {
    {
        Diagnostics& state = diagnostics();
        std::lock_guard lock(state.mutex);
        if (!state.ready) {
            if (state.held.size() < kHeldDiagnostics)
                state.held.push_back({level, std::string(message), where});
            return;
        }
    }
    writeDiagnostic(TVKQuarraLoggerInternal::sharedInstance(), level, message, where);
}

// Installed with the log's code, so that a report made before the SDK's first own line waits
// for the log instead of being lost.
[[maybe_unused]] const bool diagnosticsInstalled = (setDiagnosticHandler(&logDiagnostic), true);

}  // namespace

TVKQuarraLoggerInternal& TVKQuarraLoggerInternal::sharedInstance() {
    static TVKQuarraLoggerInternal* instance = new TVKQuarraLoggerInternal();
    return *instance;
}

TVKQuarraLoggerInternal::TVKQuarraLoggerInternal() {
    // The SDK's folders (the log folder among them) exist before the first line is written.
    TVKQuarraConfigurationManager::sharedInstance();
    addFileDestination();
    std::vector<HeldDiagnostic> held;
    {
        Diagnostics& state = diagnostics();
        std::lock_guard lock(state.mutex);
        state.ready = true;
        held.swap(state.held);
    }
    for (const HeldDiagnostic& diagnostic : held)
        writeDiagnostic(*this, diagnostic.level, diagnostic.message, diagnostic.where);
}

void TVKQuarraLoggerInternal::setConsoleLoggingEnabled(bool enabled) {
    std::lock_guard lock(levelMutex_);
    if (console_ == enabled)
        return;
    console_ = enabled;
    if (enabled)
        LDLog::sharedInstance().addLogger(LDTTYLogger::sharedInstance(), level_);
    else
        LDLog::sharedInstance().removeLogger(LDTTYLogger::sharedInstance());
}

void TVKQuarraLoggerInternal::setLogLevel(std::uint64_t level) {
    std::lock_guard lock(levelMutex_);
    if (level_ == level)
        return;
    level_ = level;
    auto& log = LDLog::sharedInstance();
    if (fileLogger_)
        log.setLevelOfLogger(fileLogger_, level);
    if (console_)
        log.setLevelOfLogger(LDTTYLogger::sharedInstance(), level);
}

std::string TVKQuarraLoggerInternal::usernameField(std::string_view username) {
    std::string field;
    append(field, username);
    return field;
}

void TVKQuarraLoggerInternal::addFileDestination() {
    try {
        fileLogger_ = std::make_shared<TVKFileLogger>();
        LDLog::sharedInstance().addLogger(fileLogger_, level_);
    } catch (...) {
        // Without a log folder the SDK still runs; its lines go nowhere.
        fileLogger_.reset();
    }
}

bool TVKQuarraLoggerInternal::isLogged(std::uint64_t flag) {
    return LDLog::sharedInstance().selectsFlag(flag);
}

void TVKQuarraLoggerInternal::log(std::string text, std::uint64_t level, std::uint64_t flag,
                                  const char* file, std::string_view function, std::int64_t line,
                                  std::string_view bundleId) {
    try {
        auto unsignedLine = static_cast<std::uint64_t>(line);
        std::string message =
            constructLogMessage(bundleId, file, function, unsignedLine, text, flag);
        LDLog::sharedInstance().log(
            true, std::make_shared<const LDLogMessage>(std::move(message), level, flag, 0, file,
                                                       function, unsignedLine, nullptr, 0));
    } catch (...) {
        // Logging never fails the caller.
    }
}

std::string TVKQuarraLoggerInternal::constructLogMessage(
    std::string_view bundleId, std::string_view fileName, std::string_view functionName,
    std::uint64_t line, std::string_view message, std::uint64_t flag) {
    SessionValues session = currentSessionValues();
    std::string_view levelWord = dispatcherFlagToQuarraLogLevel(flag);
    std::string out;
    out.reserve(112 + bundleId.size() + fileName.size() + functionName.size() + message.size());
    out += "[bundleID:";
    append(out, bundleId);
    out += " sessionId:";
    append(out, session.sessionId);
    out += " quarraId:";
    append(out, session.quarraId);
    out += " username:";
    append(out, session.username);
    out += " file:";
    append(out, fileName);
    out += " function:";
    out += functionName;
    out += " line:";
    append(out, line);
    out += "] ";
    out += levelWord;
    out += " message: ";
    out += message;
    return out;
}

std::string_view TVKQuarraLoggerInternal::dispatcherFlagToQuarraLogLevel(std::uint64_t flag) {
    switch (flag) {
        case LDLogFlagError:
            return "ERROR";
        case LDLogFlagWarning:
            return "WARNING";
        case LDLogFlagDebug:
            return "DEBUG";
        case LDLogFlagVerbose:
            return "VERBOSE";
        default:
            return "INFO";
    }
}

void TVKQuarraLoggerInternal::startUploadProcess() {
    if (fileLogger_)
        fileLogger_->startUploadProcess();
}

void TVKQuarraLoggerInternal::startUploadProcessAfterRequest() {
    if (fileLogger_)
        fileLogger_->startUploadProcessAfterRequest();
}

void TVKQuarraLoggerInternal::logDataWithCompletionHandler(
    std::function<void(std::optional<Bytes>)> handler) {
    if (!handler) {
        return;
    }
    if (fileLogger_) {
        fileLogger_->logDataWithCompletionHandler(std::move(handler));
        return;
    }
    DispatchQueue::global()->async([handler = std::move(handler)] { handler(std::nullopt); });
}

bool TVKQuarraLoggerInternal::shouldUploadAfterEndpoint(std::string_view endpoint) {
    return endpoint != "objects/users/me" && endpoint != "client/log";
}

std::string TVKQuarraLoggerInternal::hostBundleId() {
    return Bundle::main().bundleIdentifier();
}

const std::string& TVKQuarraLoggerInternal::sdkBundleId() {
    // Never destroyed: loggers may still read it while the process exits.
    static const std::string& id = *new std::string([] {
        std::string sdk = Bundle::sdk().bundleIdentifier();
        auto dot = sdk.rfind('.');
        return hostBundleId() + "." + (dot == std::string::npos ? sdk : sdk.substr(dot + 1));
    }());
    return id;
}

}  // namespace quarra
