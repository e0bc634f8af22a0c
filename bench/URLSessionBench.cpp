// URL sessions against the curl command line, both talking to the loopback HTTPS test server in the
// same run: a 256 MiB download to a file, a 256 MiB upload from a file, and 1,000 small GETs on one
// connection. Each iteration starts afresh (a new session, or a new curl process), so both pay for
// one TLS handshake.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "BenchScratch.h"
#include "BenchSmoke.h"
#include "platform/URLSession.h"
#include "support/QuarraTestServer.h"

extern char** environ;

namespace {

using namespace quarra;
namespace fs = std::filesystem;

const std::uint64_t Big = bench::smokeOr(256ull << 20, 1 << 20);
const int SmallRequests = bench::smokeOr(1000, 10);

struct Fixture {
    // Uploads are counted, not kept: a quarter gibibyte per iteration would swamp the process.
    fs::path folder = bench::scratchFolder() / "transfers";
    test::QuarraTestServer server{test::QuarraTestServer::Options{{"127.0.0.1"}, 64 << 10}};
    fs::path uploadFile = folder / "upload.bin";

    Fixture() {
        server.trustAuthority();
        fs::create_directories(folder);
        test::Reply big;
        big.generatedLength = Big;
        big.contentType = "application/octet-stream";
        server.reply("/big", big);
        server.reply("/upload", test::Reply::json(R"({"stored":true})"));
        server.reply("/small", test::Reply::json(R"({"ok":true})"));
        std::ofstream out(uploadFile, std::ios::binary);
        std::string block = test::QuarraTestServer::generatedBody(1 << 20);
        for (std::uint64_t written = 0; written < Big; written += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    ~Fixture() {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

Fixture& fixture() {
    static Fixture* f = new Fixture();
    return *f;
}

// Counts completions and keeps the first error.
class Waiter : public URLSessionDelegate {
  public:
    void didCompleteWithError(URLSession&, const URLSessionTaskPtr&, const ErrorPtr& e) override {
        std::lock_guard lock(mutex_);
        ++completed_;
        if (e && !error_) {
            error_ = e;
        }
        done_.notify_all();
    }
    void didFinishDownloadingTo(URLSession&, const URLSessionTaskPtr&,
                                const Url& location) override {
        std::error_code ec;
        bytes_ = static_cast<std::int64_t>(fs::file_size(location.filePath(), ec));
    }
    void didBecomeInvalid(URLSession&, const ErrorPtr&) override {
        std::lock_guard lock(mutex_);
        invalid_ = true;
        done_.notify_all();
    }
    void wait(int count) {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return completed_ >= count; });
    }
    void waitInvalid() {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return invalid_; });
    }
    ErrorPtr error() {
        std::lock_guard lock(mutex_);
        return error_;
    }
    std::int64_t bytes_ = 0;

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    int completed_ = 0;
    bool invalid_ = false;
    ErrorPtr error_;
};

// Runs `make` tasks one after another on a fresh session.
template <class Make>
void runSession(benchmark::State& state, int count, Make make) {
    auto waiter = std::make_shared<Waiter>();
    auto session = URLSession::make({}, waiter);
    for (int i = 0; i < count; ++i) {
        make(*session)->resume();
        waiter->wait(i + 1);
    }
    session->finishTasksAndInvalidate();
    waiter->waitInvalid();
    if (waiter->error()) {
        state.SkipWithError(waiter->error()->description().c_str());
    }
}

void runCurl(benchmark::State& state, std::vector<std::string> arguments) {
    std::vector<std::string> all{"curl",   "-s",       "-S",
                                 "--fail", "--cacert", fixture().server.authorityFile().string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError("curl failed");
    }
    posix_spawn_file_actions_destroy(&actions);
}

std::string url(const std::string& path) {
    return fixture().server.url(path).string();
}

void BM_Download256MiB_URLSession(benchmark::State& state) {
    for (auto _ : state) {
        runSession(state, 1, [](URLSession& s) {
            return s.downloadTask(UrlRequest(*Url::parse(url("/big")))).value();
        });
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Big));
}

void BM_Download256MiB_Curl(benchmark::State& state) {
    fs::path out = fixture().folder / "curl-download.bin";
    for (auto _ : state) {
        runCurl(state, {"-o", out.string(), url("/big")});
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Big));
}

void BM_Upload256MiB_URLSession(benchmark::State& state) {
    for (auto _ : state) {
        runSession(state, 1, [](URLSession& s) {
            UrlRequest put(*Url::parse(url("/upload")));
            put.httpMethod = "PUT";
            return s.uploadTask(put, fixture().uploadFile).value();
        });
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Big));
}

void BM_Upload256MiB_Curl(benchmark::State& state) {
    for (auto _ : state) {
        runCurl(state, {"-T", fixture().uploadFile.string(), url("/upload")});
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * Big));
}

void BM_1000SmallGets_URLSession(benchmark::State& state) {
    for (auto _ : state) {
        runSession(state, SmallRequests, [](URLSession& s) {
            return s.dataTask(UrlRequest(*Url::parse(url("/small")))).value();
        });
    }
    state.SetItemsProcessed(state.iterations() * SmallRequests);
}

void BM_1000SmallGets_Curl(benchmark::State& state) {
    std::vector<std::string> urls(SmallRequests, url("/small"));
    for (auto _ : state) {
        runCurl(state, urls);
    }
    state.SetItemsProcessed(state.iterations() * SmallRequests);
}

// Pairs side by side, the SDK first.
BENCHMARK(BM_Download256MiB_URLSession)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_Download256MiB_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_Upload256MiB_URLSession)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_Upload256MiB_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_1000SmallGets_URLSession)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));
BENCHMARK(BM_1000SmallGets_Curl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(bench::iterationsOr(5));

}  // namespace

int main(int argc, char** argv) {
    fixture();  // the server and the upload file, before anything is timed
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
