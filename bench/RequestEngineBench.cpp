// Requests per second and per-request latency of the request engine against the loopback Quarra
// test server, beside the same GET made directly with libcurl's multi interface in the same run
// (same TLS server, same connection limit per host, keep-alive, JSON parse of every reply). Each
// iteration issues N requests at once and waits for all N results; the engine's results arrive on
// the main queue, which the benchmark thread runs. One request at a time is also set beside
// libcurl's easy interface on the calling thread, and every count beside libcurl's multi interface
// on a thread of its own that hands each result back (BM_CurlThread), a design like the engine's.
// The counter "new_connections" counts the
// connections the server accepted after a warm-up round (when connections are kept: none).
// "switches" and "cpu_ms" are the process's context switches and CPU time per request; the server
// runs in the same process, so both sides carry the same server share and only the difference is
// the client's.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchScratch.h"
#include "BenchSignIn.h"
#include "core/TVKQuarraManager.h"
#include "quarra/RunLoop.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"
#include "transport/HTHTTPSessionManager.h"

using namespace quarra;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kQuarra = bench::kBenchQuarra;
constexpr const char* kEndpoint = "objects/documents";

struct World {
    test::QuarraTestServer server;
    test::QuarraTestService service;
    TVKQuarraPtr quarra;
    std::string url;
    std::string sessionId;
};

// Context switches and CPU time of the whole process from construction to `report`.
class ProcessCost {
public:
    ProcessCost() { ::getrusage(RUSAGE_SELF, &start_); }

    void report(benchmark::State& state, std::int64_t requests) const {
        rusage end{};
        ::getrusage(RUSAGE_SELF, &end);
        auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        double switches = double((end.ru_nvcsw + end.ru_nivcsw) - (start_.ru_nvcsw + start_.ru_nivcsw));
        double cpu = seconds(end.ru_utime) + seconds(end.ru_stime) - seconds(start_.ru_utime) -
                     seconds(start_.ru_stime);
        state.counters["switches"] = switches / double(requests);
        state.counters["cpu_ms"] = 1000 * cpu / double(requests);
    }

private:
    rusage start_{};
};

World& world() {
    static World* w = [] {
        // The SDK's files go to a folder of the run's own, not the user's.
        setenv("XDG_DATA_HOME", (bench::scratchFolder() / "data").c_str(), 1);
        auto* w = new World();
        auto user = bench::signInBenchUser(w->server, w->service);
        Json documents = Json::array();
        for (int i = 0; i < 20; ++i)
            documents.push_back({{"id", i}, {"name", "document " + std::to_string(i)}});
        w->service.addEndpoint(
            kQuarra, kEndpoint,
            [documents](const test::RecordedRequest&, const test::QuarraTestService::User&) {
                return test::QuarraTestService::success({{"data", documents}});
            });
        w->quarra = user->currentQuarra();
        w->sessionId = *user->sessionId();
        w->url = TVKQuarraManager::urlForQuarraEndpoint(kEndpoint,
                                                        TVKQuarraManager::quarraDNS(*w->quarra));
        return w;
    }();
    return *w;
}

void BM_Engine(benchmark::State& state) {
    World& w = world();
    const int n = static_cast<int>(state.range(0));
    auto& engine = TVKQuarraManager::sharedInstance();
    double latencySum = 0;
    std::int64_t failures = 0;
    auto round = [&] {
        int finished = 0;
        for (int i = 0; i < n; ++i) {
            auto start = Clock::now();
            engine.requestQuarraEndpoint(
                kEndpoint, w.quarra, TVKQuarraRequestMethodGET, {{"page", i}},
                TVKQuarraParameterEncodingFormURL, [&, start](const Json&, const ErrorPtr& error) {
                    latencySum += std::chrono::duration<double>(Clock::now() - start).count();
                    failures += error ? 1 : 0;
                    ++finished;
                });
        }
        RunLoop::main().runUntil([&] { return finished == n; }, std::chrono::seconds(30));
    };
    w.server.clearRequests();
    round();
    latencySum = 0;
    failures = 0;
    std::size_t warm = w.server.connections();
    ProcessCost cost;
    double slowestRound = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        round();
        slowestRound =
            std::max(slowestRound, std::chrono::duration<double>(Clock::now() - start).count());
    }
    cost.report(state, state.iterations() * n);
    // A round held up by a transfer that waited on nothing shows here, not in the mean.
    state.counters["slowest_round_ms"] = 1000 * slowestRound;
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["latency_ms"] = 1000 * latencySum / double(state.iterations() * n);
    state.counters["failures"] = double(failures);
    state.counters["new_connections"] = double(w.server.connections() - warm);
    // Idle keep-alive connections would hold server threads the next run needs.
    engine.cancelAllRequests();
}

// The engine's own transport alone: the same GET through an HTTP session manager, results taken on
// the pool, so the difference to BM_Engine is what the engine itself costs.
void BM_SessionManager(benchmark::State& state) {
    World& w = world();
    const int n = static_cast<int>(state.range(0));
    auto manager = HTHTTPSessionManager::manager();
    manager->setCompletionQueue(DispatchQueue::global());
    manager->requestSerializer()->setValue(w.sessionId, "Authorization");
    manager->requestSerializer()->setValue("com.example.benchhost", "ClientID");
    manager->requestSerializer()->setValue("bench QuarraMobileSDK/1.0.0", "User-Agent");
    std::atomic<double> latencySum{0};
    std::atomic<std::int64_t> failures{0};
    for (auto _ : state) {
        std::atomic<int> finished{0};
        for (int i = 0; i < n; ++i) {
            auto start = Clock::now();
            auto done = [&, start](bool failed) {
                latencySum =
                    latencySum + std::chrono::duration<double>(Clock::now() - start).count();
                failures += failed;
                ++finished;
            };
            manager->GET(
                w.url, {{"page", i}},
                [done](const URLSessionTaskPtr&, const std::any& object) {
                    const Json* reply = std::any_cast<Json>(&object);
                    done(!reply || jsonString(*reply, "responseStatus") != "SUCCESS");
                },
                [done](const URLSessionTaskPtr&, const ErrorPtr&) { done(true); });
        }
        while (finished < n)
            std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["latency_ms"] = 1000 * latencySum / double(state.iterations() * n);
    state.counters["failures"] = double(failures);
    manager->invalidateSessionCancelingTasks(true);
}

size_t collect(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One easy handle per request of a round, each for its own page with the engine's headers.
struct CurlCall {
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    Clock::time_point start, end;
    bool failed = false;
};

std::vector<CurlCall> makeCurlCalls(World& w, int n) {
    std::vector<CurlCall> calls(n);
    std::string authorization = "Authorization: " + w.sessionId;
    for (int i = 0; i < n; ++i) {
        CurlCall& c = calls[i];
        c.easy = curl_easy_init();
        std::string url = w.url + "?page=" + std::to_string(i);
        curl_easy_setopt(c.easy, CURLOPT_URL, url.c_str());
        c.headers = curl_slist_append(c.headers, authorization.c_str());
        c.headers = curl_slist_append(c.headers, "ClientID: com.example.benchhost");
        c.headers = curl_slist_append(c.headers, "User-Agent: bench QuarraMobileSDK/1.0.0");
        curl_easy_setopt(c.easy, CURLOPT_HTTPHEADER, c.headers);
        curl_easy_setopt(c.easy, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(c.easy, CURLOPT_WRITEDATA, &c.body);
        curl_easy_setopt(c.easy, CURLOPT_CAINFO, w.server.authorityFile().c_str());
        curl_easy_setopt(c.easy, CURLOPT_PRIVATE, &c);
    }
    return calls;
}

void freeCurlCalls(std::vector<CurlCall>& calls) {
    for (CurlCall& c : calls) {
        curl_easy_cleanup(c.easy);
        curl_slist_free_all(c.headers);
    }
}

void BM_Curl(benchmark::State& state) {
    World& w = world();
    const int n = static_cast<int>(state.range(0));
    CURLM* multi = curl_multi_init();
    // The engine's sessions allow six connections per host; so does this side.
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    using Call = CurlCall;
    std::vector<Call> calls = makeCurlCalls(w, n);
    double latencySum = 0;
    std::int64_t failures = 0;
    ProcessCost cost;
    for (auto _ : state) {
        for (Call& c : calls) {
            c.body.clear();
            c.start = Clock::now();
            curl_multi_add_handle(multi, c.easy);
        }
        int running = n;
        while (running > 0) {
            curl_multi_perform(multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                Call* c = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &c);
                Json reply = Json::parse(c->body, nullptr, false);
                failures += (message->data.result != CURLE_OK ||
                             jsonString(reply, "responseStatus") != "SUCCESS");
                latencySum += std::chrono::duration<double>(Clock::now() - c->start).count();
                curl_multi_remove_handle(multi, message->easy_handle);
            }
            if (running > 0)
                curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
    }
    freeCurlCalls(calls);
    cost.report(state, state.iterations() * n);
    curl_multi_cleanup(multi);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["latency_ms"] = 1000 * latencySum / double(state.iterations() * n);
    state.counters["failures"] = double(failures);
}

// The reference of a design like the engine's: libcurl's multi interface on a thread of its own,
// which takes the requests, parses each reply and hands the result back to the calling thread, so
// a request crosses threads twice as the engine's do (mutex and condition variable, nothing more).
class CurlThread {
  public:
    using Call = CurlCall;

    CurlThread() : multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
        thread_ = std::thread([this] { loop(); });
    }
    ~CurlThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }

    void submit(Call* call) {
        {
            std::lock_guard lock(mutex_);
            incoming_.push_back(call);
        }
        curl_multi_wakeup(multi_);
    }
    // Waits until `count` results have come back since the last call.
    void await(int count) {
        std::unique_lock lock(mutex_);
        finishedCv_.wait(lock, [&] { return finished_ >= count; });
        finished_ -= count;
    }

  private:
    void loop() {
        std::vector<Call*> taken;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    return;
                taken.swap(incoming_);
            }
            for (Call* call : taken)
                curl_multi_add_handle(multi_, call->easy);
            taken.clear();
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            int done = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
                if (message->msg != CURLMSG_DONE)
                    continue;
                Call* call = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &call);
                Json reply = Json::parse(call->body, nullptr, false);
                call->failed = message->data.result != CURLE_OK ||
                               jsonString(reply, "responseStatus") != "SUCCESS";
                call->end = Clock::now();
                curl_multi_remove_handle(multi_, message->easy_handle);
                ++done;
            }
            if (done > 0) {
                {
                    std::lock_guard lock(mutex_);
                    finished_ += done;
                }
                finishedCv_.notify_one();
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    CURLM* multi_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable finishedCv_;
    std::vector<Call*> incoming_;
    int finished_ = 0;
    bool stopping_ = false;
};

void BM_CurlThread(benchmark::State& state) {
    World& w = world();
    const int n = static_cast<int>(state.range(0));
    std::vector<CurlCall> calls = makeCurlCalls(w, n);
    double latencySum = 0;
    std::int64_t failures = 0;
    {
        CurlThread curl;
        ProcessCost cost;
        for (auto _ : state) {
            for (CurlCall& c : calls) {
                c.body.clear();
                c.start = Clock::now();
                curl.submit(&c);
            }
            curl.await(n);
            for (const CurlCall& c : calls) {
                failures += c.failed;
                latencySum += std::chrono::duration<double>(c.end - c.start).count();
            }
        }
        cost.report(state, state.iterations() * n);
    }
    freeCurlCalls(calls);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["latency_ms"] = 1000 * latencySum / double(state.iterations() * n);
    state.counters["failures"] = double(failures);
}

// The reference for one request at a time: one easy handle (it keeps its connection) used on the
// calling thread, as a program that needs nothing else would.
void BM_CurlEasy(benchmark::State& state) {
    World& w = world();
    CURL* easy = curl_easy_init();
    std::string body;
    curl_slist* headers = nullptr;
    std::string authorization = "Authorization: " + w.sessionId;
    headers = curl_slist_append(headers, authorization.c_str());
    headers = curl_slist_append(headers, "ClientID: com.example.benchhost");
    headers = curl_slist_append(headers, "User-Agent: bench QuarraMobileSDK/1.0.0");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_CAINFO, w.server.authorityFile().c_str());
    double latencySum = 0;
    std::int64_t failures = 0;
    int page = 0;
    w.server.clearRequests();
    ProcessCost cost;
    for (auto _ : state) {
        std::string url = w.url + "?page=" + std::to_string(page++ % 64);
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        body.clear();
        auto start = Clock::now();
        CURLcode result = curl_easy_perform(easy);
        Json reply = Json::parse(body, nullptr, false);
        failures += (result != CURLE_OK || jsonString(reply, "responseStatus") != "SUCCESS");
        latencySum += std::chrono::duration<double>(Clock::now() - start).count();
    }
    cost.report(state, state.iterations());
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    state.SetItemsProcessed(state.iterations());
    state.counters["latency_ms"] = 1000 * latencySum / double(state.iterations());
    state.counters["failures"] = double(failures);
    state.counters["new_connections"] = double(w.server.connections());
}

}  // namespace

BENCHMARK(BM_Engine)->Arg(1)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SessionManager)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlEasy)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CurlThread)->Arg(1)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Curl)->Arg(1)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

namespace {

// Prints, after the usual table, each ratio of the engine's requests per second to a reference's:
// min / median / max over the repetitions, repetition k of one beside repetition k of the other
// (with --benchmark_repetitions=R --benchmark_enable_random_interleaving=true they ran close in
// time, so a load that comes and goes weighs on both alike).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                rate != run.counters.end())
                rates_[run.run_name.function_name + "/" + run.run_name.args].push_back(rate->second);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nrequests/s of the engine over the reference (min / median / max of the ratio)\n");
        for (const char* n : {"1", "16", "64"}) {
            ratio(std::string("BM_Engine/") + n, std::string("BM_CurlThread/") + n);
            ratio(std::string("BM_Engine/") + n, std::string("BM_Curl/") + n);
        }
        ratio("BM_Engine/1", "BM_CurlEasy/");
    }

  private:
    void ratio(const std::string& engine, const std::string& reference) {
        auto a = rates_.find(engine), b = rates_.find(reference);
        if (a == rates_.end() || b == rates_.end())
            return;
        std::vector<double> ratios;
        for (std::size_t k = 0; k < std::min(a->second.size(), b->second.size()); ++k)
            ratios.push_back(a->second[k] / b->second[k]);
        std::sort(ratios.begin(), ratios.end());
        std::printf("%-14s / %-16s %6.2f %6.2f %6.2f   (%zu)\n", engine.c_str(), reference.c_str(),
                    ratios.front(), ratios[ratios.size() / 2], ratios.back(), ratios.size());
    }

    std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
