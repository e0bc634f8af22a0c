// A small cache operation (open, key, one insert, commit, close) on an encrypted cache file, keyed
// the way the engine asks by default (the passphrase, derived anew at every opening) against the
// cache's way (the key derived once per file and process, then given as raw key data), in the same
// run; "x_passphrase" is how many times faster the cache's way is. The last benchmark is the whole
// cache operation a host sees: a JSON cache storing one record (user checks, keychain read, keyed
// transaction, close).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "BenchScratch.h"
#include "BenchSmoke.h"
#include "auth/KeychainItemStore.h"
#include "auth/TVKQuarraAuthManager.h"
#include "auth/TVKUserInternal.h"
#include "storage/cache/TVKCacheDatabaseKey.h"
#include "quarra/TVKQuarraJSONCache.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "storage/db/SQDatabase.h"

namespace {

using namespace quarra;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kPassphrase = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

fs::path& home() {
    static fs::path dir = bench::scratchFolder() / "cache";
    return dir;
}

const fs::path& databaseFile() {
    static const fs::path path = [] {
        fs::path p = home() / "bench_cache.db";
        auto db = SQDatabase::databaseWithPath(p.string());
        db->open();
        db->setKey(kPassphrase);
        db->executeUpdate("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)");
        db->executeUpdate("INSERT INTO t VALUES (1, 'value')");
        db->close();
        return p;
    }();
    return path;
}

double gPassphraseSeconds[2] = {0, 0};

// One small operation, an insert or (`query`) a read by key; false when a step failed.
bool smallOperation(const std::string& key, std::int64_t id, bool query) {
    auto db = SQDatabase::databaseWithPath(databaseFile().string());
    bool ok = db->open() && db->setKey(key) && db->beginDeferredTransaction();
    if (ok && query) {
        ok = db->stringForQuery("SELECT v FROM t WHERE id = ?", 1).has_value();
    } else if (ok) {
        ok = db->executeUpdate("INSERT OR REPLACE INTO t VALUES (?, ?)", id, "value");
    }
    ok = ok && db->commit();
    db->close();
    return ok;
}

// Arg 0: an insert (its commit waits for the disk); arg 1: a query.
void run(benchmark::State& state, bool derived) {
    const bool query = state.range(0) == 1;
    std::int64_t id = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        const std::string key =
            derived ? TVKCacheDatabaseKey::keyForDatabase(databaseFile(), kPassphrase)
                    : kPassphrase;
        if (!smallOperation(key, 1 + ++id % 100, query)) {
            state.SkipWithError("operation failed");
            return;
        }
    }
    double seconds =
        std::chrono::duration<double>(Clock::now() - start).count() / double(state.iterations());
    state.counters["ms_per_op"] = seconds * 1000;
    if (!derived) {
        gPassphraseSeconds[query] = seconds;
    } else if (gPassphraseSeconds[query] > 0) {
        state.counters["x_passphrase"] = gPassphraseSeconds[query] / seconds;
    }
}

void BM_SmallOperation_Passphrase(benchmark::State& state) {
    run(state, false);
}
BENCHMARK(BM_SmallOperation_Passphrase)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));

void BM_SmallOperation_DerivedKey(benchmark::State& state) {
    TVKCacheDatabaseKey::forgetDerivedKeys();
    run(state, true);
}
BENCHMARK(BM_SmallOperation_DerivedKey)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));

void BM_JSONCacheStoreOneRecord(benchmark::State& state) {
    const std::string username = "bench";
    if (KeychainItemStore::setUsername(username) ||
        TVKQuarraCryptManager::sharedInstance().generateFileEncryptionKeyForUsernameIfNeeded(
            username)) {
        state.SkipWithError("no file key");
        return;
    }
    auto quarra = std::make_shared<TVKQuarra>(7, "Bench", "bench.example.com");
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        std::make_shared<TVKUserInternal>(username, std::vector{quarra}, quarra, 1));
    auto cache =
        TVKQuarraJSONCache::openCacheWithName("Bench", quarra, {TVKQuarraJSONField("title", 1)});
    std::int64_t id = 0;
    auto start = Clock::now();
    for (auto _ : state) {
        // Without a handler nothing is queued on the main queue: the call is the whole operation.
        cache->cache({{{"id", ++id % 100}, {"title", "value"}}}, quarra, nullptr);
    }
    state.counters["ms_per_op"] = std::chrono::duration<double>(Clock::now() - start).count() *
                                  1000 / double(state.iterations());
}
// The floor the disk sets: the same insert on an unencrypted file, with its commit's syncs.
void BM_SmallOperation_Unencrypted(benchmark::State& state) {
    const fs::path path = home() / "plain.db";
    {
        auto db = SQDatabase::databaseWithPath(path.string());
        db->open();
        db->executeUpdate("CREATE TABLE IF NOT EXISTS t (id INTEGER PRIMARY KEY, v TEXT)");
        db->close();
    }
    std::int64_t id = 0;
    for (auto _ : state) {
        auto db = SQDatabase::databaseWithPath(path.string());
        if (!db->open() || !db->beginDeferredTransaction() ||
            !db->executeUpdate("INSERT OR REPLACE INTO t VALUES (?, ?)", ++id % 100, "value") ||
            !db->commit()) {
            state.SkipWithError("operation failed");
            return;
        }
        db->close();
    }
}
BENCHMARK(BM_SmallOperation_Unencrypted)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));

BENCHMARK(BM_JSONCacheStoreOneRecord)->Unit(benchmark::kMillisecond)->MinTime(bench::minTimeOr(2));

}  // namespace

int main(int argc, char** argv) {
    // The benchmark's user, key and files live in a folder of their own, never the user's.
    fs::create_directories(home());
    setenv("HOME", home().c_str(), 1);
    setenv("XDG_DATA_HOME", home().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(home());
    return 0;
}
