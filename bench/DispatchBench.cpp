// The thread pool under a flood of tiny blocks: 200,000 empty blocks on a concurrent queue against
// the same on a serial queue, in the same run. A pool that makes a thread whenever work waits pays
// for thread start-ups and lock contention here; the counter "threads" is the process's thread
// count once the flood has drained (the goal: at most twice the cores).
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "BenchSmoke.h"
#include "quarra/Dispatch.h"

namespace {

using namespace quarra;

const int Blocks = bench::smokeOr(200'000, 200);

double threadCount() {
    return static_cast<double>(
        std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                      std::filesystem::directory_iterator()));
}

void flood(benchmark::State& state, const DispatchQueuePtr& queue) {
    double threads = 0;
    for (auto _ : state) {
        std::atomic<int> left{Blocks};
        DispatchSemaphore done;
        for (int i = 0; i < Blocks; ++i) {
            queue->async([&] {
                if (left.fetch_sub(1, std::memory_order_acq_rel) == 1)
                    done.signal();
            });
        }
        done.wait();
        threads = std::max(threads, threadCount());
    }
    state.SetItemsProcessed(state.iterations() * Blocks);
    state.counters["threads"] = threads;
    state.counters["cores"] = std::thread::hardware_concurrency();
}

void BM_EmptyBlocks_ConcurrentQueue(benchmark::State& state) {
    flood(state, DispatchQueue::global());
}

void BM_EmptyBlocks_SerialQueue(benchmark::State& state) {
    auto queue = DispatchQueue::serial("bench.serial");
    flood(state, queue);
}

BENCHMARK(BM_EmptyBlocks_ConcurrentQueue)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_EmptyBlocks_SerialQueue)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));

}  // namespace

BENCHMARK_MAIN();
