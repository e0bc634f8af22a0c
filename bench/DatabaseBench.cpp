// The encrypted cache database against the stock sqlcipher shell, the same statements on the same
// data in the same run: inserts in one transaction and single-row queries by key. The shell's times
// are its process run less a run that only starts, keys and reads the schema, so neither side pays
// start-up or key derivation there; that cost is measured on its own (open, key, first read,
// close).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "BenchScratch.h"
#include "BenchSmoke.h"
#include "storage/db/SQDatabase.h"

namespace {

using namespace quarra;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kRows = bench::smokeOr(20000, 20);
const int kQueries = bench::smokeOr(20000, 20);
const std::string kKey = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const char* kCreate = "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, value REAL)";

const fs::path& workDir() {
    static const fs::path dir = [] {
        fs::path path = bench::scratchFolder() / "db";
        fs::create_directories(path);
        return path;
    }();
    return dir;
}

std::string name(int i) {
    return "name-" + std::to_string(i * 7919 % kRows);
}
double value(int i) {
    return i * 0.25;
}
int queriedId(int i) {
    return 1 + (i * 7919) % kRows;
}

std::string insertLiteral(int i) {
    return "INSERT INTO t VALUES (" + std::to_string(i + 1) + ", '" + name(i) + "', " +
           std::to_string(value(i)) + ")";
}

std::string selectLiteral(int i) {
    return "SELECT name, value FROM t WHERE id = " + std::to_string(queriedId(i));
}

void freshFile(const fs::path& path) {
    fs::remove(path);
    fs::remove(path.string() + "-journal");
}

std::shared_ptr<SQDatabase> openKeyed(const fs::path& path) {
    auto db = SQDatabase::databaseWithPath(path.string());
    db->open();
    db->setKey(kKey);
    return db;
}

// Seconds the shell takes for `body` after keying `path`, less its start-up, keying and schema
// read.
double shellSeconds(const fs::path& path, const std::string& body) {
    auto run = [&](const std::string& statements) {
        fs::path script = workDir() / "script.sql";
        std::ofstream(script) << "PRAGMA key='" << kKey
                              << "';\nSELECT count(*) FROM sqlite_master;\n"
                              << statements;
        std::string command =
            "sqlcipher -batch '" + path.string() + "' < '" + script.string() + "' > /dev/null 2>&1";
        auto start = Clock::now();
        if (std::system(command.c_str()) != 0)
            return -1.0;
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    double baseline = 1e9;
    for (int i = 0; i < 3; ++i)
        baseline = std::min(baseline, run(""));
    double total = run(body);
    return total < 0 || baseline < 0 ? -1 : std::max(total - baseline, 1e-6);
}

// The shell's rate, for the SDK benchmarks' "x_shell" ratio.
double gShellInsertRate = 0;
double gShellQueryRate = 0;

void setRatio(benchmark::State& state, double items, double seconds, double shellRate) {
    state.SetItemsProcessed(static_cast<int64_t>(items));
    if (shellRate > 0 && seconds > 0) {
        state.counters["x_shell"] = (items / seconds) / shellRate;
    }
}

// Times the shell running `body` on `path` (made afresh each time when `fresh`); stores its rate.
void shellBenchmark(benchmark::State& state, const fs::path& path, const std::string& body,
                    int items, bool fresh, double& rate) {
    double total = 0;
    for (auto _ : state) {
        if (fresh)
            freshFile(path);
        double seconds = shellSeconds(path, body);
        if (seconds < 0)
            state.SkipWithError("sqlcipher shell failed");
        state.SetIterationTime(seconds);
        total += seconds;
    }
    rate = double(items) * double(state.iterations()) / total;
    state.SetItemsProcessed(int64_t(items) * state.iterations());
}

void BM_OpenAndKey_SDK(benchmark::State& state) {
    fs::path path = workDir() / "open.db";
    openKeyed(path)->executeUpdate("CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY)");
    for (auto _ : state) {
        auto db = openKeyed(path);
        // The key is derived at the first read.
        benchmark::DoNotOptimize(db->intForQuery("SELECT count(*) FROM sqlite_master"));
        db->close();
    }
}
BENCHMARK(BM_OpenAndKey_SDK)->Unit(benchmark::kMillisecond);

void BM_OpenAndKey_Shell(benchmark::State& state) {
    fs::path path = workDir() / "open.db";
    std::string command = "echo \"PRAGMA key='" + kKey +
                          "'; SELECT count(*) FROM sqlite_master;\" | sqlcipher -batch '" +
                          path.string() + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("sqlcipher shell failed");
    }
}
BENCHMARK(BM_OpenAndKey_Shell)->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(10));

void BM_Insert_Shell(benchmark::State& state) {
    fs::path path = workDir() / "insert-shell.db";
    std::string body = std::string(kCreate) + ";\nBEGIN;\n";
    for (int i = 0; i < kRows; ++i)
        body += insertLiteral(i) + ";\n";
    body += "COMMIT;\n";
    shellBenchmark(state, path, body, kRows, true, gShellInsertRate);
}
BENCHMARK(BM_Insert_Shell)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(5));

// mode 0: bound arguments; 1: bound arguments with the statement cache; 2: the shell's literal
// text.
void BM_Insert_SDK(benchmark::State& state) {
    fs::path path = workDir() / "insert-sdk.db";
    const int mode = static_cast<int>(state.range(0));
    std::vector<std::string> literals;
    for (int i = 0; mode == 2 && i < kRows; ++i)
        literals.push_back(insertLiteral(i));
    double total = 0;
    for (auto _ : state) {
        freshFile(path);
        auto db = openKeyed(path);
        db->setShouldCacheStatements(mode == 1);
        db->intForQuery("SELECT count(*) FROM sqlite_master");
        auto start = Clock::now();
        db->executeUpdate(kCreate);
        db->beginTransaction();
        for (int i = 0; i < kRows; ++i) {
            bool ok = mode == 2 ? db->executeUpdate(literals[size_t(i)])
                                : db->executeUpdate("INSERT INTO t VALUES (?, ?, ?)", i + 1,
                                                    name(i), value(i));
            if (!ok)
                state.SkipWithError("insert failed");
        }
        if (!db->commit())
            state.SkipWithError("commit failed");
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        db->close();
    }
    setRatio(state, double(kRows) * double(state.iterations()), total, gShellInsertRate);
}
BENCHMARK(BM_Insert_SDK)
    ->ArgName("mode")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(5));

const fs::path& queryFile() {
    static const fs::path path = [] {
        fs::path p = workDir() / "query.db";
        auto db = openKeyed(p);
        db->executeUpdate(kCreate);
        db->beginTransaction();
        for (int i = 0; i < kRows; ++i)
            db->executeUpdate("INSERT INTO t VALUES (?, ?, ?)", i + 1, name(i), value(i));
        db->commit();
        return p;
    }();
    return path;
}

void BM_Query_Shell(benchmark::State& state) {
    std::string body;
    for (int i = 0; i < kQueries; ++i)
        body += selectLiteral(i) + ";\n";
    shellBenchmark(state, queryFile(), body, kQueries, false, gShellQueryRate);
}
BENCHMARK(BM_Query_Shell)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(5));

// mode 0: bound argument; 1: bound argument with the statement cache; 2: the shell's literal text.
void BM_Query_SDK(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    std::vector<std::string> literals;
    for (int i = 0; mode == 2 && i < kQueries; ++i)
        literals.push_back(selectLiteral(i));
    auto db = openKeyed(queryFile());
    db->setShouldCacheStatements(mode == 1);
    double total = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        for (int i = 0; i < kQueries; ++i) {
            auto rs = mode == 2 ? db->executeQuery(literals[size_t(i)])
                                : db->executeQuery("SELECT name, value FROM t WHERE id = ?",
                                                   queriedId(i));
            if (!rs || !rs->next()) {
                state.SkipWithError("query failed");
                break;
            }
            benchmark::DoNotOptimize(rs->stringForColumnIndex(0));
            benchmark::DoNotOptimize(rs->doubleForColumnIndex(1));
            rs->close();
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    setRatio(state, double(kQueries) * double(state.iterations()), total, gShellQueryRate);
}
BENCHMARK(BM_Query_SDK)
    ->ArgName("mode")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(5));

}  // namespace

BENCHMARK_MAIN();
