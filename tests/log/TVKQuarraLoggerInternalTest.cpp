#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <fstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "log/LDTTYLogger.h"
#include "log/TVKFileLogger.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Diagnostics.h"
#include "platform/Keychain.h"
#include "quarra/Bundle.h"
#include "quarra/RunLoop.h"
#include "quarra/TVKQuarraLogging.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

class KeepingLogger : public LDAbstractLogger {
  public:
    KeepingLogger() : LDAbstractLogger("test.keeping") {}
    void logMessage(const LDLogMessagePtr& message) override {
        std::lock_guard lock(mutex);
        messages.push_back(message);
    }
    std::vector<LDLogMessagePtr> taken() {
        LDLog::sharedInstance().flushLog();
        std::lock_guard lock(mutex);
        return messages;
    }

  private:
    std::mutex mutex;
    std::vector<LDLogMessagePtr> messages;
};

class TVKQuarraLoggerInternalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Bundle::setMainBundle("com.example.host");
        LDLog::sharedInstance().addLogger(logger);
    }
    std::shared_ptr<KeepingLogger> logger = std::make_shared<KeepingLogger>();
};

// The session part of the prefix that a log call made now would carry.
std::string sessionPart() {
    std::string text = TVKQuarraLoggerInternal::constructLogMessage("b", "f", "fn", 1, "t", 8);
    auto begin = text.find(" sessionId:") + 1;
    return text.substr(begin, text.find(" file:") - begin);
}

}  // namespace

TEST_F(TVKQuarraLoggerInternalTest, PrefixCarriesTheSessionStateOfTheMoment) {
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    auto quarra = std::make_shared<TVKQuarra>(42, "Main", "q.example.com");
    auto signedIn =
        std::make_shared<TVKUserInternal>("carol", std::vector<TVKQuarraPtr>{quarra}, quarra, 4711);

    // Before start-up: the user name held in the keychain, never a session.
    EXPECT_EQ(sessionPart(), "sessionId:(null) quarraId:0 username:(null)");
    EXPECT_EQ(KeychainItemStore::setUsername("alice"), nullptr);
    EXPECT_EQ(KeychainItemStore::setSessionId("session-1"), nullptr);
    auth.setCurrentUser(signedIn);
    EXPECT_EQ(sessionPart(), "sessionId:(null) quarraId:0 username:alice");

    // After start-up, signed in: session, Quarra and the user id when there is one.
    TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    auth.setCurrentUser(signedIn);
    EXPECT_EQ(sessionPart(), "sessionId:session-1 quarraId:42 username:4711");
    EXPECT_EQ(KeychainItemStore::setSessionId("session-2"), nullptr);
    EXPECT_EQ(sessionPart(), "sessionId:session-2 quarraId:42 username:4711");
    // Another process changes the keychain file.
    auto standard = std::dynamic_pointer_cast<FileKeychainStore>(Keychain::standard().store());
    ASSERT_TRUE(standard);
    Keychain otherProcess(std::make_shared<FileKeychainStore>(standard->file()));
    KeychainQuery session;
    session.generic = KeychainItemStore::sessionIdentifier();
    KeychainChanges changes;
    changes.data = Bytes{'s', '-', '3'};
    ASSERT_TRUE(otherProcess.update(session, changes).ok());
    EXPECT_EQ(sessionPart(), "sessionId:s-3 quarraId:42 username:4711");
    auth.setCurrentUser(
        std::make_shared<TVKUserInternal>("carol", std::vector<TVKQuarraPtr>{}, nullptr, 0));
    EXPECT_EQ(sessionPart(), "sessionId:s-3 quarraId:0 username:carol");

    // Nobody signed in: the name last typed on the sign-in screen.
    auth.setCurrentUser(nullptr);
    EXPECT_EQ(sessionPart(), "sessionId:(null) quarraId:0 username:(null)");
    auth.updateLastAttemptedLoginUsername("bob");
    EXPECT_EQ(sessionPart(), "sessionId:(null) quarraId:0 username:bob");
    // Typed with blanks: escaped, so that the line still reads back field by field.
    auth.updateLastAttemptedLoginUsername("john smith\t");
    EXPECT_EQ(sessionPart(), "sessionId:(null) quarraId:0 username:john%20smith%09");
}

TEST_F(TVKQuarraLoggerInternalTest, LevelWordFollowsTheFlag) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {LDLogFlagError, "ERROR"},
        {LDLogFlagWarning, "WARNING"},
        {LDLogFlagInfo, "INFO"},
        {LDLogFlagDebug, "DEBUG"},
        {LDLogFlagVerbose, "VERBOSE"},
        {32, "INFO"},
        {0, "INFO"},
    };
    for (auto [flag, word] : cases) {
        EXPECT_EQ(TVKQuarraLoggerInternal::dispatcherFlagToQuarraLogLevel(flag), word) << flag;
    }
}

TEST_F(TVKQuarraLoggerInternalTest, CallConventionFillsTheContextAndRunsTheBlockOnce) {
    int runs = 0;
    std::thread::id blockThread;
    auto caller = std::this_thread::get_id();
    const int line = __LINE__ + 1;
    TVK_LOG_WARNING(
        (++runs, blockThread = std::this_thread::get_id(), "disk " + std::to_string(7)));
    TVK_LOG_ERROR("failed");
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(blockThread, caller);

    auto messages = logger->taken();
    ASSERT_EQ(messages.size(), 2u);
    const LDLogMessage& warning = *messages[0];
    EXPECT_EQ(warning.flag(), LDLogFlagWarning);
    EXPECT_EQ(warning.level(), LDLogLevelWarning);
    EXPECT_EQ(messages[1]->flag(), LDLogFlagError);
    EXPECT_EQ(messages[1]->level(), LDLogLevelError);
    EXPECT_EQ(warning.file(), "TVKQuarraLoggerInternalTest.cpp");
    EXPECT_EQ(warning.line(), static_cast<std::uint64_t>(line));
    EXPECT_NE(warning.function().find("CallConventionFillsTheContextAndRunsTheBlockOnce"),
              std::string_view::npos);
    // The last component of the SDK bundle's identifier follows the host's.
    std::string sdk = Bundle::sdk().bundleIdentifier();
    std::string bundleId = "com.example.host." + sdk.substr(sdk.rfind('.') + 1);
    EXPECT_EQ(TVKQuarraLoggerInternal::sdkBundleId(), bundleId);
    EXPECT_EQ(warning.message(), "[bundleID:" + bundleId +
                                     " sessionId:(null) quarraId:0 username:(null)"
                                     " file:TVKQuarraLoggerInternalTest.cpp function:" +
                                     std::string(warning.function()) +
                                     " line:" + std::to_string(line) + "] WARNING message: disk 7");
}

TEST_F(TVKQuarraLoggerInternalTest, PlatformDiagnosticsBecomeLinesAtTheirLevelWithoutStderr) {
    testing::internal::CaptureStderr();
    // Reported before the log is up (each test has a process of its own): it waits for the log.
    const int line = __LINE__ + 1;
    reportDiagnostic(DiagnosticLevel::Error, "cannot watch routes");
    EXPECT_TRUE(logger->taken().empty());
    TVKQuarraLoggerInternal::sharedInstance();
    reportDiagnostic(DiagnosticLevel::Debug, "SELECT 1");
    auto messages = logger->taken();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]->flag(), LDLogFlagError);
    EXPECT_EQ(messages[1]->flag(), LDLogFlagDebug);
    EXPECT_EQ(messages[0]->file(), "TVKQuarraLoggerInternalTest.cpp");
    EXPECT_EQ(messages[0]->line(), static_cast<std::uint64_t>(line));
    const std::string& text = messages[0]->message();
    EXPECT_NE(text.find("line:" + std::to_string(line) + "] ERROR message: cannot watch routes"),
              std::string::npos)
        << text;
}

TEST_F(TVKQuarraLoggerInternalTest, ShortFormsUseTheHostBundleIdAndANullTextReadsNull) {
    auto& facade = TVKQuarraLoggerInternal::sharedInstance();
    facade.logDebugMessageWithFile("F.cpp", 3, "fn",
                                   [] { return static_cast<const char*>(nullptr); });
    facade.logInfoMessageWithFile("F.cpp", 4, "fn", "b", [] { return std::string("i"); });
    auto messages = logger->taken();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]->message(),
              "[bundleID:com.example.host sessionId:(null) quarraId:0 username:(null) file:F.cpp "
              "function:fn line:3] DEBUG message: (null)");
    EXPECT_EQ(messages[1]->message().substr(0, 11), "[bundleID:b");
    EXPECT_EQ(messages[1]->flag(), LDLogFlagInfo);
}

TEST_F(TVKQuarraLoggerInternalTest, LogDataAnswersNoneWithoutALogFile) {
    std::atomic<bool> called{false}, onMainQueue{true}, none{false};
    TVKQuarraLoggerInternal::sharedInstance().logDataWithCompletionHandler(
        [&](std::optional<Bytes> data) {
            none = !data.has_value();
            onMainQueue = DispatchQueue::main()->isCurrent();
            called = true;
        });
    EXPECT_TRUE(runMainUntil([&] { return called.load(); }));
    EXPECT_TRUE(none);
    EXPECT_FALSE(onMainQueue);
}

TEST_F(TVKQuarraLoggerInternalTest, UploadFollowsEveryEndpointButTheSessionCheckAndTheLogItself) {
    EXPECT_FALSE(TVKQuarraLoggerInternal::shouldUploadAfterEndpoint("objects/users/me"));
    EXPECT_FALSE(TVKQuarraLoggerInternal::shouldUploadAfterEndpoint("client/log"));
    EXPECT_TRUE(TVKQuarraLoggerInternal::shouldUploadAfterEndpoint("objects/documents"));
}

// A line below every logger's level costs nothing: its text is never built. A logger added just
// before a call still gets that call's line.
TEST(TVKQuarraLoggerInternalLevels, NothingIsBuiltBelowEveryLoggersLevel) {
    // Made first: making the facade installs the SDK's file logger, which takes every level.
    TVKQuarraLoggerInternal::sharedInstance();
    auto& log = LDLog::sharedInstance();
    log.removeAllLoggers();
    auto errorsOnly = std::make_shared<KeepingLogger>();
    log.addLogger(errorsOnly, LDLogLevelError);
    log.flushLog();
    int built = 0;
    TVK_LOG_DEBUG((++built, "detail"));
    TVK_LOG_INFO((++built, "note"));
    EXPECT_EQ(built, 0);
    TVK_LOG_ERROR((++built, "failed"));
    EXPECT_EQ(built, 1);

    auto everything = std::make_shared<KeepingLogger>();
    log.addLogger(everything);
    TVK_LOG_DEBUG((++built, "detail"));
    EXPECT_EQ(built, 2);
    EXPECT_EQ(everything->taken().size(), 1u);
    EXPECT_EQ(errorsOnly->taken().size(), 1u);

    log.removeLogger(everything);
    log.flushLog();
    TVK_LOG_DEBUG((++built, "detail"));
    EXPECT_EQ(built, 2);
    log.removeAllLoggers();
}

namespace quarra_function_field_test {
struct Owner {
    std::string_view named() { return TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__); }
    std::string_view inLambda() {
        return [] { return TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__); }();
    }
};
}  // namespace quarra_function_field_test

// The function field is "Class::method": without namespaces, return type and parameters, which
// made up most of a line; a lambda's names the function it is in.
TEST(TVKQuarraLoggerInternalFunctionField, IsClassAndMethod) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"void quarra::TVKQuarraManager::requestUrl(const std::string&, long unsigned int, "
         "const Json&)::<lambda(const Json&, const ErrorPtr&)>",
         "TVKQuarraManager::requestUrl"},
        {"static std::function<void(int)> quarra::A::b(std::map<int, int>) const", "A::b"},
        {"quarra::Result<std::vector<int> > quarra::X<T>::y() [with T = int]", "X<T>::y"},
        {"int main(int, char**)", "main"},
        {"void {anonymous}::helper()", "{anonymous}::helper"},
        {"fn", "fn"},
    };
    for (auto [pretty, field] : cases)
        EXPECT_EQ(TVKQuarraLoggerInternal::functionFieldOf(pretty), field) << pretty;
    quarra_function_field_test::Owner owner;
    EXPECT_EQ(owner.named(), "Owner::named");
    EXPECT_EQ(owner.inLambda(), "Owner::inLambda");
}

// The host sets how much the SDK logs, and whether to standard error too; a level below the
// setting builds nothing.
TEST(TVKQuarraLoggingTest, TheHostSetsTheLevelAndTheConsoleLogger) {
    auto& log = LDLog::sharedInstance();
    LDLoggerPtr fileLogger = TVKQuarraLoggerInternal::sharedInstance().fileLogger();
    ASSERT_TRUE(fileLogger);
    auto levelOfFileLogger = [&] {
        for (const auto& info : log.allLoggersWithLevel())
            if (info.logger == fileLogger)
                return info.level;
        return ~std::uint64_t{0};
    };
#ifdef NDEBUG
    EXPECT_EQ(TVKQuarraLogging::logLevel(), TVKQuarraLogLevelInfo);
#else
    EXPECT_EQ(TVKQuarraLogging::logLevel(), TVKQuarraLogLevelDebug);
#endif
    EXPECT_FALSE(TVKQuarraLogging::isConsoleLoggingEnabled());

    TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelWarning);
    EXPECT_EQ(TVKQuarraLogging::logLevel(), TVKQuarraLogLevelWarning);
    EXPECT_EQ(levelOfFileLogger(), LDLogLevelWarning);
    int built = 0;
    TVK_LOG_INFO((++built, "note"));
    TVK_LOG_WARNING((++built, "warned"));
    EXPECT_EQ(built, 1);

    TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelVerbose);
    EXPECT_EQ(levelOfFileLogger(), LDLogLevelVerbose);
    TVK_LOG_DEBUG((++built, "detail"));
    EXPECT_EQ(built, 2);

    TVKQuarraLogging::setConsoleLoggingEnabled(true);
    auto loggers = log.allLoggers();
    const LDLoggerPtr console = LDTTYLogger::sharedInstance();
    EXPECT_NE(std::find(loggers.begin(), loggers.end(), console), loggers.end());
    TVKQuarraLogging::setConsoleLoggingEnabled(false);
    loggers = log.allLoggers();
    EXPECT_EQ(std::find(loggers.begin(), loggers.end(), console), loggers.end());
}

// The child of the test below: eight threads log as fast as they can while the host exits.
TEST(TVKQuarraLoggerInternalFlood, ExitingChild) {
    if (!getenv("QUARRA_TEST_FLOOD_CHILD")) {
        GTEST_SKIP() << "started by ExitIsNotHeldByAFlood";
    }
    TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelInfo);
    auto logger = TVKQuarraLoggerInternal::sharedInstance().fileLogger();
    ASSERT_TRUE(logger);
    // Never destroyed: the threads go on logging while the process exits.
    static auto& logged = *new std::atomic<long>(0);
    for (int t = 0; t < 8; ++t) {
        std::thread([t] {
            for (long i = 0;; ++i) {
                TVK_LOG_INFO("flood " + std::to_string(t) + " line " + std::to_string(i) +
                             " password=hunter2 mail bob@example.com");
                logged.fetch_add(1, std::memory_order_relaxed);
            }
        }).detach();
    }
    // Well into the flood: the backlog is full and lines are being dropped.
    while (logged < 400000 || LDLog::sharedInstance().droppedMessages() == 0) {
        std::this_thread::yield();
    }
    // The flood runs on while the process exits; the log's flush at exit must not wait for it.
    // The parent measures the exit from here.
    std::ofstream(getenv("QUARRA_TEST_FLOOD_CHILD"))
        << std::chrono::steady_clock::now().time_since_epoch().count();
    std::exit(0);
}

// A host that exits while threads flood the log ends: the flush at exit takes what was queued
// before it, not what keeps coming.
TEST(TVKQuarraLoggerInternalFlood, ExitIsNotHeldByAFlood) {
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=TVKQuarraLoggerInternalFlood.ExitingChild";
    char* argv[] = {self.data(), filter.data(), nullptr};
    test::TempDir dir;
    const std::string exitAt = dir / "exit-at";
    setenv("QUARRA_TEST_FLOOD_CHILD", exitAt.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child;
    int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    unsetenv("QUARRA_TEST_FLOOD_CHILD");
    ASSERT_EQ(spawned, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    auto ended = std::chrono::steady_clock::now().time_since_epoch().count();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Recorded, not judged: how long the exit took depends on the machine's load.
    std::string calledAt = test::readFile(exitAt);
    ASSERT_FALSE(calledAt.empty());
    RecordProperty("exitSeconds", std::to_string(double(ended - std::stoll(calledAt)) / 1e9));
}
