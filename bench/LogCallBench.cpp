// The cost of one log call on the caller's thread: the SDK's logging facade against an asynchronous
// spdlog logger doing the same work (the same message text with the same context fields, handed to
// a background thread whose sink discards it). Calls come in bursts that fit both queues; the
// backlog is drained between bursts with the clock stopped, so the figures are what a caller pays,
// not how fast the background thread empties a full queue.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "BenchScratch.h"
#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDAbstractLogger.h"
#include "log/LDLog.h"
#include "log/TVKLogFileFormatter.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraLogging.h"

using namespace quarra;

namespace {

constexpr int kBurst = 1024;
constexpr size_t kQueueSize = 16 * kBurst;

// Takes every message and drops it, as the spdlog side's null sink does.
class DiscardingLogger : public LDAbstractLogger {
  public:
    DiscardingLogger() : LDAbstractLogger("bench.discard") {}
    void logMessage(const LDLogMessagePtr& message) override { benchmark::DoNotOptimize(message); }
};

// The SDK keeps its folders and keychain under $XDG_DATA_HOME: a private one, removed at exit.
void useScratchDataHome() {
    ::setenv("XDG_DATA_HOME", (bench::scratchFolder() / "data").c_str(), 1);
}

void setUp() {
    static bool done = [] {
        useScratchDataHome();
        Bundle::setMainBundle("com.example.benchhost");
        TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
        LDLog::sharedInstance().addLogger(std::make_shared<DiscardingLogger>());
        // The calls measured are debug lines, which a release build leaves out unless asked for.
        TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelDebug);
        if (ErrorPtr error = KeychainItemStore::setSessionId("0123456789abcdef0123456789abcdef")) {
            std::fprintf(stderr, "%s\n", error->description().c_str());
            std::exit(1);
        }
        TVKQuarraAuthManager::sharedInstance().updateLastAttemptedLoginUsername("alice");
        return true;
    }();
    (void)done;
}

std::shared_ptr<spdlog::logger> spdlogLogger() {
    static auto logger = [] {
        spdlog::init_thread_pool(kQueueSize, 1);
        auto made = spdlog::create_async<spdlog::sinks::null_sink_mt>("bench");
        made->set_level(spdlog::level::debug);
        return made;
    }();
    return logger;
}

// Argument 0: nobody signed in (the user name comes from the user defaults); 1: a user signed in
// (the session id is checked against the keychain at every call).
void FacadeLogCall(benchmark::State& state) {
    setUp();
    if (state.thread_index() == 0) {
        std::shared_ptr<TVKUserInternal> user;
        if (state.range(0) == 1) {
            auto quarra = std::make_shared<TVKQuarra>(42, "Main", "q.example.com");
            user = std::make_shared<TVKUserInternal>("alice", std::vector<TVKQuarraPtr>{quarra},
                                                     quarra, 4711);
        }
        TVKQuarraAuthManager::sharedInstance().setCurrentUser(user);
    }
    int item = 0;
    for (auto _ : state) {
        TVK_LOG_DEBUG("Loaded document " + std::to_string(++item) + " from the cache");
        if (item % kBurst == 0) {
            state.PauseTiming();
            LDLog::sharedInstance().flushLog();
            state.ResumeTiming();
        }
    }
}

// The part of a log call that builds the line: session values and prefix, without the hand-off.
void FacadeMessageText(benchmark::State& state) {
    setUp();
    std::shared_ptr<TVKUserInternal> user;
    if (state.range(0) == 1) {
        auto quarra = std::make_shared<TVKQuarra>(42, "Main", "q.example.com");
        user = std::make_shared<TVKUserInternal>("alice", std::vector<TVKQuarraPtr>{quarra}, quarra,
                                                 4711);
    }
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(user);
    int item = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(TVKQuarraLoggerInternal::constructLogMessage(
            TVKQuarraLoggerInternal::sdkBundleId(),
            TVKQuarraLoggerInternal::lastPathComponent(__FILE__),
            TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__), __LINE__,
            "Loaded document " + std::to_string(++item) + " from the cache", LDLogFlagDebug));
    }
}

// The file logger's share of a line: redaction and escaping of a typical signed-in line.
void FileLineFormat(benchmark::State& state) {
    setUp();
    const std::string line =
        "[bundleID:com.example.benchhost.QuarraMobileSDK sessionId:" + std::string(64, 'A') +
        std::string(64, '7') +
        " quarraId:42 username:4711 file:LogCallBench.cpp function:FileLineFormat line:120] DEBUG "
        "message: Loaded document 4711 from the cache";
    LDLogMessage message(line, LDLogLevelDebug, LDLogFlagDebug, 0, "F.cpp", "f", 1, nullptr, 0);
    TVKLogFileFormatter formatter;
    for (auto _ : state) {
        benchmark::DoNotOptimize(formatter.formatLogMessage(message));
    }
}

void SpdlogAsyncLogCall(benchmark::State& state) {
    auto logger = spdlogLogger();
    const std::string bundleId = TVKQuarraLoggerInternal::sdkBundleId();
    int item = 0;
    for (auto _ : state) {
        std::string text = "Loaded document " + std::to_string(++item) + " from the cache";
        logger->debug(
            "[bundleID:{} sessionId:{} quarraId:{} username:{} file:{} function:{} line:{}] {} "
            "message: {}",
            bundleId, "(null)", 0, "(null)", TVKQuarraLoggerInternal::lastPathComponent(__FILE__),
            TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__), __LINE__, "DEBUG", text);
        if (item % kBurst == 0) {
            state.PauseTiming();
            while (spdlog::thread_pool()->queue_size() != 0) {
                std::this_thread::yield();
            }
            state.ResumeTiming();
        }
    }
}

}  // namespace

BENCHMARK(FacadeLogCall)->Arg(0)->Arg(1)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(FacadeMessageText)->Arg(0)->Arg(1);
BENCHMARK(FileLineFormat);
BENCHMARK(SpdlogAsyncLogCall)->Threads(1)->Threads(8)->UseRealTime();

BENCHMARK_MAIN();
