// A 1 GiB multipart body written to a file, against `cp` of the same source file in the same run:
// the body streams from its file part, so its time should be near a plain copy and its memory
// should not grow with the body. Peak memory is reported as counters (MiB): the growth of this
// process's peak during the body writes, and cp's own peak.
//
// Then the same body uploaded over loopback HTTPS to the test server, streamed by the HTTP session
// manager, against `curl -T` of the body written to a file. The server runs in this process, so
// no memory figure is taken there.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "BenchScratch.h"
#include "BenchSmoke.h"
#include "quarra/Dispatch.h"
#include "support/QuarraTestServer.h"
#include "transport/HTHTTPResponseSerializer.h"
#include "transport/HTHTTPSessionManager.h"
#include "transport/HTStreamingMultipartFormData.h"

extern char** environ;

namespace {

using namespace quarra;
namespace fs = std::filesystem;

const std::uint64_t kSize = bench::smokeOr(std::uint64_t{1} << 30, 1 << 20);

// A gibibyte is not to be left behind: the scratch folder goes at exit or interruption.
const fs::path& folder() {
    return bench::scratchFolder();
}

const fs::path& source() {
    static const fs::path path = [] {
        fs::path file = folder() / "source.bin";
        std::error_code ec;
        if (fs::file_size(file, ec) != kSize) {
            std::ofstream out(file, std::ios::binary | std::ios::trunc);
            std::vector<char> block(1 << 20);
            for (std::uint64_t written = 0; written < kSize; written += block.size()) {
                for (std::size_t i = 0; i < block.size(); ++i)
                    block[i] = static_cast<char>((written + i) * 131 + ((written + i) >> 12));
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
        }
        return file;
    }();
    return path;
}

// Removes an output and lets the disk catch up, so no run pays for the writeback of another.
void settle(const fs::path& output) {
    fs::remove(output);
    ::sync();
}

double peakMiB(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_MultipartBodyToFile(benchmark::State& state) {
    fs::path output = folder() / "body.bin";
    double before = peakMiB(RUSAGE_SELF);
    for (auto _ : state) {
        UrlRequest request(*Url::parse("https://127.0.0.1/upload"));
        request.httpMethod = "POST";
        HTStreamingMultipartFormData form(request, 4);
        form.appendPartWithFormData(toBytes("quarterly report"), "title");
        if (ErrorPtr error = form.appendPartWithFileURL(Url::fileUrl(source()), "file")) {
            state.SkipWithError(error->description().c_str());
            break;
        }
        if (ErrorPtr error = form.bodyStream()->writeToFile(output)) {
            state.SkipWithError(error->description().c_str());
            break;
        }
        state.PauseTiming();
        settle(output);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
    state.counters["peak_growth_MiB"] = peakMiB(RUSAGE_SELF) - before;
}

void BM_CpReference(benchmark::State& state) {
    fs::path output = folder() / "copy.bin";
    for (auto _ : state) {
        std::string from = source().string(), to = output.string();
        char* argv[] = {const_cast<char*>("cp"), from.data(), to.data(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "cp", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("cannot start cp");
            break;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("cp failed");
            break;
        }
        state.PauseTiming();
        settle(output);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
    state.counters["cp_peak_MiB"] = peakMiB(RUSAGE_CHILDREN);
}

test::QuarraTestServer& server() {
    static auto* instance = [] {
        auto* server = new test::QuarraTestServer();
        server->trustAuthority();
        server->reply("/upload", test::Reply::json(R"({"stored":true})"));
        return server;
    }();
    return *instance;
}

void BM_MultipartUpload_HTTPSessionManager(benchmark::State& state) {
    auto manager = HTHTTPSessionManager::make(server().url("/"));
    manager->setCompletionQueue(DispatchQueue::global());
    manager->setResponseSerializer(HTHTTPResponseSerializer::serializer());
    for (auto _ : state) {
        DispatchSemaphore done;
        ErrorPtr failure;
        manager->POSTConstructingBodyWithBlock(
            "upload", {{"title", "quarterly report"}},
            [&failure](HTMultipartFormData& form) {
                failure = form.appendPartWithFileURL(Url::fileUrl(source()), "file");
            },
            [&](const URLSessionTaskPtr&, const std::any&) { done.signal(); },
            [&](const URLSessionTaskPtr&, const ErrorPtr& error) {
                failure = error;
                done.signal();
            });
        done.wait();
        if (failure) {
            state.SkipWithError(failure->description().c_str());
            break;
        }
    }
    manager->invalidateSessionCancelingTasks(true);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_MultipartUpload_CurlT(benchmark::State& state) {
    // The same body, written once, sent with the same content type.
    UrlRequest request(server().url("/upload"));
    request.httpMethod = "POST";
    HTStreamingMultipartFormData form(request, 4);
    form.appendPartWithFormData(toBytes("quarterly report"), "title");
    if (ErrorPtr error = form.appendPartWithFileURL(Url::fileUrl(source()), "file")) {
        state.SkipWithError(error->description().c_str());
        return;
    }
    request = form.requestByFinalizingMultipartFormData();
    fs::path body = folder() / "upload-body.bin";
    if (ErrorPtr error = form.bodyStream()->writeToFile(body)) {
        state.SkipWithError(error->description().c_str());
        return;
    }
    std::vector<std::string> arguments{
        "curl",
        "-s",
        "-S",
        "--fail",
        "--cacert",
        server().authorityFile().string(),
        "-o",
        "/dev/null",
        "-X",
        "POST",
        "-H",
        "Content-Type: " + *request.valueForHTTPHeaderField("Content-Type"),
        "-T",
        body.string(),
        server().url("/upload").string()};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (auto _ : state) {
        pid_t pid;
        int status = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
    fs::remove(body);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

// Both read the source from the page cache: it is made (or found) before either runs.
const bool kSourceReady = (source(), ::sync(), true);

BENCHMARK(BM_MultipartBodyToFile)->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(3))->UseRealTime();
BENCHMARK(BM_CpReference)->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(3))->UseRealTime();
BENCHMARK(BM_MultipartUpload_HTTPSessionManager)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(bench::iterationsOr(3))
    ->UseRealTime();
BENCHMARK(BM_MultipartUpload_CurlT)->Unit(benchmark::kMillisecond)->Iterations(bench::iterationsOr(3))->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
