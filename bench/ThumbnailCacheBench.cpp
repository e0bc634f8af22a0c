// Lookup latency of the thumbnail cache: a memory hit against a disk hit (the user's encrypted
// file read, decrypted and decoded, then put in the memory tier), in the same run. Prints
// microseconds per lookup for three runs (min / median / max) and the disk hit's median as a
// multiple of the memory hit's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "BenchScratch.h"
#include "BenchSignIn.h"
#include "BenchSmoke.h"
#include "core/TVKAutoPurgingImageCache.h"
#include "support/ImageFixtures.h"

namespace {

using namespace quarra;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const int kLookups = bench::smokeOr(200, 2);
constexpr const char* kIdentifier =
    "https://q.example.com/api/v1/objects/documents/1/versions/2/3/thumbnail";

struct Figures {
    double min, median, max;
};

// Microseconds per lookup, three runs of kLookups; `prepare` runs before each lookup, untimed.
Figures threeRuns(const std::function<void()>& prepare, const std::function<bool()>& lookup) {
    std::vector<double> runs;
    for (int run = 0; run < 3; ++run) {
        Clock::duration total{};
        for (int i = 0; i < kLookups; ++i) {
            prepare();
            auto start = Clock::now();
            if (!lookup()) {
                std::fprintf(stderr, "a lookup missed\n");
                std::exit(1);
            }
            total += Clock::now() - start;
        }
        runs.push_back(std::chrono::duration<double, std::micro>(total).count() / kLookups);
    }
    std::sort(runs.begin(), runs.end());
    return {runs[0], runs[1], runs[2]};
}

void print(const char* name, const Figures& f, const Figures& reference) {
    std::printf("%-24s %10.1f %10.1f %10.1f   %.1fx\n", name, f.min, f.median, f.max,
                f.median / reference.median);
}

}  // namespace

int main() {
    // The benchmark's user, key and files live in a home of its own, never the user's.
    std::string home = bench::scratchFolder() / "home";
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", home.c_str(), 1);
    // The thumbnails' disk tier belongs to the signed-in user.
    test::QuarraTestServer server;
    test::QuarraTestService service;
    bench::signInBenchUser(server, service);

    auto cache = TVKAutoPurgingImageCache::make();
    const Bytes png = test::makePng(256, 256);
    cache->addImage(Image::decode(png).value(), png, kIdentifier);
    cache->syncStorageQueue()->syncBarrier([] {});
    if (!fs::exists(*TVKAutoPurgingImageCache::fileForIdentifier(kIdentifier, "bench"))) {
        std::fprintf(stderr, "the thumbnail file was not written\n");
        return 1;
    }

    auto lookup = [&] { return cache->imageWithIdentifier(kIdentifier) != nullptr; };
    auto memory = threeRuns([] {}, lookup);
    auto disk = threeRuns([&] { (void)cache->removeAllImages(); }, lookup);

    std::printf(
        "256x256 PNG thumbnail, microseconds per lookup (min / median / max of 3 runs of %d; "
        "ratio of medians to the memory hit)\n",
        kLookups);
    std::printf("%-24s %10s %10s %10s\n", "", "min", "median", "max");
    print("memory hit", memory, memory);
    print("disk hit (decrypt+decode)", disk, memory);
    fs::remove_all(home);
    return 0;
}
