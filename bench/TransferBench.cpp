// File transfers of the request engine over loopback HTTPS to the Quarra test server, each beside
// the command line doing the same work in the same run:
// - a 256 MiB download stored encrypted, against `curl -o` then `openssl enc` of the file;
// - an upload of an encrypted file (255 MiB of content, so that the encrypted file stays within
//   the 256 MiB upload limit), decrypted into a multipart body and sent, against `openssl enc -d`
//   then `curl -F` of the decrypted file.
// The SDK's figures include what a host pays per call: the network gate, for the upload its
// forced sign-in, the temporary files, the result on the main queue. The counter peak_growth_MiB
// is the growth of this process's peak memory over the SDK's runs (the server runs in this
// process too and keeps only the head of each body); ref_peak_MiB is the largest peak of the
// reference's processes.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BenchScratch.h"
#include "BenchSignIn.h"
#include "BenchSmoke.h"
#include "core/TVKQuarraManager.h"
#include "quarra/TVKQuarraAPI.h"
#include "quarra/RunLoop.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "support/QuarraTestServer.h"
#include "support/QuarraTestService.h"

extern char** environ;

using namespace quarra;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kQuarra = bench::kBenchQuarra;
const std::uint64_t kDownloadSize = bench::smokeOr(std::uint64_t{256} << 20, 1 << 20);
const std::uint64_t kUploadContentSize = bench::smokeOr(std::uint64_t{255} << 20, 1 << 20);
constexpr const char* kFileEndpoint = "objects/documents/1/versions/1/0/file";
constexpr const char* kDocuments = "objects/documents";
constexpr auto kLimit = std::chrono::minutes(10);

double peakMiB(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct World {
    fs::path folder;
    test::QuarraTestServer server{[] {
        test::QuarraTestServer::Options options;
        options.bodyRecordLimit = 1 << 20;
        return options;
    }()};
    test::QuarraTestService service;
    TVKQuarraPtr quarra;
    fs::path plain;      // the upload's content
    fs::path encrypted;  // the same, encrypted by the SDK
    fs::path openssl;    // the same, encrypted by openssl enc for the reference
};

// Runs `script` with sh; true when it succeeded.
bool shell(const std::string& script) {
    std::string command = script;
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), command.data(), nullptr};
    pid_t pid;
    int status = 0;
    return posix_spawnp(&pid, "sh", nullptr, nullptr, argv, environ) == 0 &&
           waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

World& world() {
    static World* w = [] {
        auto* w = new World();
        w->folder = bench::scratchFolder() / "transfers";
        fs::create_directories(w->folder / "data");
        // The SDK's files, keychain and keys go to a folder of the run's own.
        setenv("XDG_DATA_HOME", (w->folder / "data").c_str(), 1);
        setenv("HOME", w->folder.c_str(), 1);
        auto user = bench::signInBenchUser(w->server, w->service);
        w->service.addEndpoint(
            kQuarra, kFileEndpoint,
            [](const test::RecordedRequest&, const test::QuarraTestService::User&) {
                test::Reply reply;
                reply.contentType = "application/octet-stream";
                reply.generatedLength = kDownloadSize;
                return reply;
            });
        w->service.addEndpoint(
            kQuarra, kDocuments,
            [](const test::RecordedRequest&, const test::QuarraTestService::User&) {
                return test::QuarraTestService::success({{"id", 3}});
            });
        w->quarra = user->currentQuarra();
        // The reference works with the same key and session as the SDK, handed over in its
        // environment rather than on a command line.
        auto& crypt = TVKQuarraCryptManager::sharedInstance();
        setenv("QUARRA_BENCH_KEY", crypt.getFileEncryptionKey()->c_str(), 1);
        setenv("QUARRA_BENCH_SESSION", user->sessionId()->c_str(), 1);

        w->plain = w->folder / "minutes.bin";
        w->encrypted = w->folder / "minutes-encrypted.bin";
        w->openssl = w->folder / "minutes-openssl.bin";
        if (!shell("head -c " + std::to_string(kUploadContentSize) + " /dev/urandom > '" +
                   w->plain.string() +
                   "' && openssl enc -aes-256-cbc -pbkdf2 -pass "
                   "env:QUARRA_BENCH_KEY -in '" +
                   w->plain.string() + "' -out '" + w->openssl.string() + "'")) {
            abort();
        }
        bool encrypted = false;
        crypt.createEncryptedFileAtPath(w->encrypted, w->plain, nullptr,
                                        [&](ErrorPtr) { encrypted = true; });
        runMainUntil([&] { return encrypted; }, kLimit);
        if (!fs::exists(w->encrypted) || fs::file_size(w->encrypted) > TVKMaximumUploadFileSize)
            abort();
        ::sync();
        return w;
    }();
    return *w;
}

std::string curlBase(World& w) {
    return "curl -s -S --fail --cacert '" + w.server.authorityFile().string() +
           "' -H \"Authorization: $QUARRA_BENCH_SESSION\" -H 'ClientID: com.example.benchhost'"
           " -H 'User-Agent: bench QuarraMobileSDK/1.0 (curl)' ";
}

std::string url(World& w, const std::string& endpoint) {
    return TVKQuarraManager::urlForQuarraEndpoint(endpoint, TVKQuarraManager::quarraDNS(*w.quarra));
}

// Times `script` per iteration; `output` (if any) is removed between runs.
void runReference(benchmark::State& state, const std::string& script, const fs::path& output,
                  std::uint64_t bytes) {
    for (auto _ : state) {
        if (!shell(script)) {
            state.SkipWithError("the reference command failed");
            break;
        }
        state.PauseTiming();
        std::error_code ec;
        fs::remove(output, ec);
        ::sync();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["ref_peak_MiB"] = peakMiB(RUSAGE_CHILDREN);
}

// Times `call` per iteration; it starts a transfer whose handler sets its two arguments.
void runSDK(benchmark::State& state, const std::function<void(bool&, ErrorPtr&)>& call,
            const fs::path& output, std::uint64_t bytes) {
    double before = peakMiB(RUSAGE_SELF);
    for (auto _ : state) {
        bool done = false;
        ErrorPtr failure;
        call(done, failure);
        if (!runMainUntil([&] { return done; }, kLimit) || failure) {
            state.SkipWithError(failure ? failure->description().c_str() : "no answer");
            break;
        }
        state.PauseTiming();
        std::error_code ec;
        fs::remove(output, ec);
        ::sync();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["peak_growth_MiB"] = peakMiB(RUSAGE_SELF) - before;
}

void BM_DownloadStoredEncrypted_SDK(benchmark::State& state) {
    World& w = world();
    fs::path destination = w.folder / "downloaded.bin";
    runSDK(
        state,
        [&](bool& done, ErrorPtr& failure) {
            TVKQuarraAPI::sharedInstance().requestQuarraDownloadFileEndpoint(
                kFileEndpoint, w.quarra, Url::fileUrl(destination), true, Json::object(), nullptr,
                [&](const Json&, const std::optional<Url>&, const std::string&,
                    const std::optional<std::string>&, const ErrorPtr& error) {
                    failure = error;
                    done = true;
                });
        },
        destination, kDownloadSize);
}

void BM_DownloadStoredEncrypted_CurlOpenssl(benchmark::State& state) {
    World& w = world();
    std::string temporary = (w.folder / "curl-download.tmp").string();
    fs::path destination = w.folder / "curl-downloaded.bin";
    runReference(state,
                 curlBase(w) + "-o '" + temporary + "' '" + url(w, kFileEndpoint) +
                     "' && openssl enc -aes-256-cbc -pbkdf2 -pass env:QUARRA_BENCH_KEY -in '" +
                     temporary + "' -out '" + destination.string() + "' && rm '" + temporary + "'",
                 destination, kDownloadSize);
}

void BM_UploadEncryptedFile_SDK(benchmark::State& state) {
    World& w = world();
    runSDK(
        state,
        [&](bool& done, ErrorPtr& failure) {
            TVKQuarraAPI::sharedInstance().requestQuarraMultipartFormEndpoint(
                kDocuments, w.quarra, Url::fileUrl(w.encrypted), true, TVKQuarraRequestMethodPOST,
                {{"name", "minutes"}}, nullptr,
                [&](const Json&, const std::optional<Url>&, const std::optional<std::string>&,
                    const ErrorPtr& error) {
                    failure = error;
                    done = true;
                });
        },
        fs::path(), kUploadContentSize);
}

void BM_UploadEncryptedFile_OpensslCurl(benchmark::State& state) {
    World& w = world();
    std::string temporary = (w.folder / "minutes.tmp").string();
    runReference(state,
                 "openssl enc -d -aes-256-cbc -pbkdf2 -pass env:QUARRA_BENCH_KEY -in '" +
                     w.openssl.string() + "' -out '" + temporary + "' && " + curlBase(w) +
                     "-o /dev/null -F name=minutes -F 'file=@" + temporary + "' '" +
                     url(w, kDocuments) + "' && rm '" + temporary + "'",
                 fs::path(), kUploadContentSize);
}

BENCHMARK(BM_DownloadStoredEncrypted_SDK)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(3))
    ->UseRealTime();
BENCHMARK(BM_DownloadStoredEncrypted_CurlOpenssl)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(3))
    ->UseRealTime();
BENCHMARK(BM_UploadEncryptedFile_SDK)->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(3))->UseRealTime();
BENCHMARK(BM_UploadEncryptedFile_OpensslCurl)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(3))
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
