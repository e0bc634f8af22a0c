// Decode throughput of thumbnail-sized PNG and JPEG bodies on 8 threads: the SDK's decoder
// (Image::decode), the image response serializer (decoding straight into a ready-to-draw image),
// and the same decoder libraries called directly, in the same run. Prints
// images per second for three runs (min/median/max) and each SDK path's median as a ratio of the
// direct decode.
// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSmoke.h"
#include "quarra/Image.h"
#include "support/ImageFixtures.h"
#include "transport/HTImageResponseSerializer.h"

namespace {

using namespace quarra;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 8;
const int kPerThread = bench::smokeOr(300, 1);

bool directPng(const Bytes& data) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.data(), data.size()))
        return false;
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    png_image_free(&image);
    return ok;
}

bool directJpeg(const Bytes& data) {
    jpeg_decompress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&info);
    std::vector<std::uint8_t> pixels(std::size_t(info.output_width) * info.output_height * 4);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + std::size_t(info.output_scanline) * info.output_width * 4;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// Images per second with kThreads threads each decoding kPerThread times.
double throughput(const std::function<bool()>& decode) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    auto start = Clock::now();
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kPerThread; ++i)
                if (!decode())
                    ++failures;
        });
    for (auto& thread : threads)
        thread.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (failures)
        throw std::runtime_error("a decode failed");
    return kThreads * kPerThread / seconds;
}

struct Figures {
    double min, median, max;
};

Figures threeRuns(const std::function<bool()>& decode) {
    std::vector<double> runs;
    for (int i = 0; i < 3; ++i)
        runs.push_back(throughput(decode));
    std::sort(runs.begin(), runs.end());
    return {runs[0], runs[1], runs[2]};
}

void print(const char* name, const Figures& f, const Figures& reference) {
    std::printf("%-28s %10.0f %10.0f %10.0f   %.2fx\n", name, f.min, f.median, f.max,
                f.median / reference.median);
}

}  // namespace

int main() {
    const Bytes png = test::makePng(256, 256);
    const Bytes jpeg = test::makeJpeg(256, 256);
    HttpHeaders pngHeaders{{"Content-Type", "image/png"}};
    HttpHeaders jpegHeaders{{"Content-Type", "image/jpeg"}};
    auto pngResponse =
        std::make_shared<HttpResponse>(*Url::parse("https://h/t.png"), 200, pngHeaders);
    auto jpegResponse =
        std::make_shared<HttpResponse>(*Url::parse("https://h/t.jpg"), 200, jpegHeaders);
    auto serializer = HTImageResponseSerializer::serializer();
    auto viaSerializer = [&](const HttpResponsePtr& response, const Bytes& data) {
        auto answer = serializer->responseObjectForResponse(response, data);
        return std::any_cast<ImagePtr>(&answer.responseObject) != nullptr;
    };

    std::printf(
        "256x256 images decoded per second, %d threads (min / median / max of 3 runs; "
        "ratio of medians to the direct decode)\n",
        kThreads);
    std::printf("%-28s %10s %10s %10s\n", "", "min", "median", "max");
    for (const auto& [label, data, response, direct] :
         {std::tuple{"png", &png, pngResponse, &directPng},
          std::tuple{"jpeg", &jpeg, jpegResponse, &directJpeg}}) {
        const Bytes& body = *data;
        auto reference = threeRuns([&] { return direct(body); });
        auto sdk = threeRuns([&] { return Image::decode(body).ok(); });
        auto serialized = threeRuns([&] { return viaSerializer(response, body); });
        print((std::string(label) + " direct").c_str(), reference, reference);
        print((std::string(label) + " Image::decode").c_str(), sdk, reference);
        print((std::string(label) + " serializer").c_str(), serialized, reference);
    }
    return 0;
}
