// The SDK's log file against spdlog's asynchronous file sink, in the same run:
//   - lines per second that reach the file (the SDK with its redaction: every line carries a
//     128-character session id to shorten and one line in 256 an e-mail address to encrypt);
//   - what one call costs the caller, with a fixed text and with a text built from an argument.
// Both sides write the same line (timestamp, two spaces, the context prefix and the text) to a file
// of their own. Calls come in bursts that fit both queues; each burst's backlog is written out with
// the clock stopped, so the caller-side figures are what a caller pays, not how fast a full queue
// drains. Three runs; min / median / max of each figure and the ratio of the medians.
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "BenchScratch.h"
#include "BenchSmoke.h"
#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/LDLog.h"
#include "log/TVKFileLogger.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraLogging.h"

using namespace quarra;
using Clock = std::chrono::steady_clock;

namespace {

const int kLines = bench::smokeOr(100000, 100);
constexpr int kBurst = 1024;
const int kCallerCalls = bench::smokeOr(64, 1) * kBurst;
constexpr int kRuns = 3;

const std::string scratch = bench::scratchFolder().string();

void setUp() {
    ::setenv("XDG_DATA_HOME", (bench::scratchFolder() / "data").c_str(), 1);
    Bundle::setMainBundle("com.example.benchhost");
    TVKQuarraConfigurationManager::sharedInstance().initializeSDK();
    if (KeychainItemStore::setSessionId(std::string(64, 'A') + std::string(64, '7'))) {
        std::fprintf(stderr, "could not store the session id\n");
        std::exit(1);
    }
    // Made now: installs the file logger. The calls measured are debug lines, which a release
    // build leaves out unless asked for.
    TVKQuarraLogging::setLogLevel(TVKQuarraLogLevelDebug);
}

// Signed in, each SDK call reads the session id as the keychain holds it at that moment.
void signIn(bool in) {
    auto quarra = std::make_shared<TVKQuarra>(42, "Main", "q.example.com");
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        in ? std::make_shared<TVKUserInternal>("alice", std::vector<TVKQuarraPtr>{quarra}, quarra,
                                               4711)
           : nullptr);
}

std::shared_ptr<spdlog::logger> spdlogFileLogger() {
    static auto logger = [] {
        spdlog::init_thread_pool(16 * kBurst, 1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(scratch + "/spdlog.log");
        auto made = std::make_shared<spdlog::async_logger>(
            "bench", sink, spdlog::thread_pool(), spdlog::async_overflow_policy::block);
        made->set_pattern("%Y/%m/%d %H:%M:%S:%e  %v");
        made->set_level(spdlog::level::debug);
        return made;
    }();
    return logger;
}

// Waits until spdlog's worker has written everything queued and the file has it.
void drainSpdlog() {
    while (spdlog::thread_pool()->queue_size() != 0)
        std::this_thread::yield();
    for (auto& sink : spdlogFileLogger()->sinks())
        sink->flush();
}

void drainSdk() {
    LDLog::sharedInstance().flushLog();
}

// The text of call `i`: an argument in it, and an address in one of 256.
std::string text(int i) {
    return (i % 256 == 0 ? "Shared with bob@example.com document " : "Loaded document ") +
           std::to_string(i) + " from the cache";
}

void sdkCall(int i, bool argument) {
    if (argument)
        TVK_LOG_DEBUG(text(i));
    else
        TVK_LOG_DEBUG("Loaded a document from the cache");
}

void spdlogCall(int i, bool argument) {
    static const std::string bundleId = TVKQuarraLoggerInternal::sdkBundleId();
    static const std::string session = std::string(64, 'A') + std::string(64, '7');
    constexpr const char* format =
        "[bundleID:{} sessionId:{} quarraId:{} username:{} file:{} function:{} line:{}] {} "
        "message: {}";
    if (argument)
        spdlogFileLogger()->debug(format, bundleId, session, 42, 4711,
                                  TVKQuarraLoggerInternal::lastPathComponent(__FILE__),
                                  TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__),
                                  __LINE__, "DEBUG", text(i));
    else
        spdlogFileLogger()->debug(format, bundleId, session, 42, 4711,
                                  TVKQuarraLoggerInternal::lastPathComponent(__FILE__),
                                  TVKQuarraLoggerInternal::functionField(__PRETTY_FUNCTION__),
                                  __LINE__, "DEBUG", "Loaded a document from the cache");
}

// Lines per second from the first call until the last line is in the file.
template <class Call, class Drain>
double lineRate(Call call, Drain drain) {
    auto start = Clock::now();
    for (int i = 0; i < kLines; ++i)
        call(i, true);
    drain();
    return kLines / std::chrono::duration<double>(Clock::now() - start).count();
}

// Nanoseconds per call on the caller's thread.
template <class Call, class Drain>
double callerCost(Call call, Drain drain, bool argument) {
    Clock::duration spent{};
    for (int done = 0; done < kCallerCalls; done += kBurst) {
        auto start = Clock::now();
        for (int i = done; i < done + kBurst; ++i)
            call(i, argument);
        spent += Clock::now() - start;
        drain();
    }
    return std::chrono::duration<double, std::nano>(spent).count() / kCallerCalls;
}

struct Figure {
    const char* name;
    const char* unit;
    bool higherIsBetter;
    std::vector<double> sdk, reference;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void print(const Figure& f) {
    auto [sdkMin, sdkMax] = std::minmax_element(f.sdk.begin(), f.sdk.end());
    auto [refMin, refMax] = std::minmax_element(f.reference.begin(), f.reference.end());
    std::printf("%-34s SDK %10.0f / %10.0f / %10.0f   spdlog %10.0f / %10.0f / %10.0f %s   "
                "SDK/spdlog %.2f\n",
                f.name, *sdkMin, median(f.sdk), *sdkMax, *refMin, median(f.reference), *refMax,
                f.unit, median(f.sdk) / median(f.reference));
}

}  // namespace

int main() {
    setUp();
    auto sdkFile = [] {
        auto logger = TVKQuarraLoggerInternal::sharedInstance().fileLogger();
        return logger ? logger->logFileManager()->logsDirectory() : std::filesystem::path();
    }();
    std::printf("min / median / max of %d runs; SDK log folder %s\n", kRuns, sdkFile.c_str());
    // Warm up both sides (files opened, queues and caches made).
    lineRate(sdkCall, drainSdk);
    lineRate(spdlogCall, drainSpdlog);
    for (bool in : {true, false}) {
        signIn(in);
        std::printf("%s\n", in ? "a user signed in:" : "nobody signed in:");
        Figure rate{"lines/s into the file", "lines/s", true, {}, {}};
        Figure fixed{"caller cost, fixed text", "ns", false, {}, {}};
        Figure withArgument{"caller cost, text with an argument", "ns", false, {}, {}};
        for (int run = 0; run < kRuns; ++run) {
            rate.sdk.push_back(lineRate(sdkCall, drainSdk));
            rate.reference.push_back(lineRate(spdlogCall, drainSpdlog));
            fixed.sdk.push_back(callerCost(sdkCall, drainSdk, false));
            fixed.reference.push_back(callerCost(spdlogCall, drainSpdlog, false));
            withArgument.sdk.push_back(callerCost(sdkCall, drainSdk, true));
            withArgument.reference.push_back(callerCost(spdlogCall, drainSpdlog, true));
        }
        print(rate);
        print(fixed);
        print(withArgument);
    }
    return 0;
}
