#include "transport/HTImageResponseSerializer.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "platform/URLError.h"
#include "support/ImageFixtures.h"

namespace quarra {
namespace {

HttpResponsePtr imageResponse(int status, const char* contentType) {
    HttpHeaders headers;
    headers["Content-Type"] = contentType;
    return std::make_shared<HttpResponse>(*Url::parse("https://h/t"), status, headers);
}

ImagePtr imageOf(const HTSerializedResponse& answer) {
    const ImagePtr* image = std::any_cast<ImagePtr>(&answer.responseObject);
    return image ? *image : nullptr;
}

TEST(ImageResponseSerializerTest, DecodesAcceptedImagesAtTheConfiguredScale) {
    auto serializer = HTImageResponseSerializer::serializer();
    EXPECT_EQ(serializer->acceptableContentTypes()->size(), 10u);
    serializer->setImageScale(2.0);
    auto answer =
        serializer->responseObjectForResponse(imageResponse(200, "image/png"), test::makePng(200, 100));
    auto image = imageOf(answer);
    ASSERT_TRUE(image);
    EXPECT_FALSE(answer.error);
    EXPECT_DOUBLE_EQ(image->size().width, 100);
    EXPECT_DOUBLE_EQ(image->size().height, 50);
    EXPECT_DOUBLE_EQ(image->scale(), 2.0);
    // Small still images come back ready to draw.
    EXPECT_TRUE(image->isPremultiplied());

    serializer->setAutomaticallyInflatesResponseImage(false);
    image = imageOf(
        serializer->responseObjectForResponse(imageResponse(200, "image/jpeg"), test::makeJpeg(8, 8)));
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->isPremultiplied());
}

// What is inflated and what is handed on as decoded.
TEST(ImageResponseSerializerTest, InflatesOnlySmallShallowStillImages) {
    auto serializer = HTImageResponseSerializer::serializer();
    struct Case {
        const char* name;
        const char* type;
        Bytes data;
        bool inflated;
    } cases[] = {
        {"small png", "image/png", test::makePng(16, 16), true},
        {"cmyk jpeg", "image/jpeg", test::makeJpeg(16, 16, true), true},
        {"still gif", "image/gif", test::makeGif(4, 4), true},
        {"2048x1024 png", "image/png", test::makePng(2048, 1024, 8, false), false},
        {"16-bit png", "image/png", test::makePng(8, 8, 16), false},
        {"animated gif", "image/gif", test::makeGif(4, 4, 2), false},
        {"tiff", "image/tiff", test::makeTiff(8, 8), true},
        {"bmp", "image/bmp", test::makeBmp(8, 8), true},
        {"icon", "image/x-icon", test::makeIco(16, 16), true},
        {"x bitmap", "image/x-xbitmap", test::makeXbm(9, 3), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = imageOf(serializer->responseObjectForResponse(imageResponse(200, c.type), c.data));
        ASSERT_TRUE(image);
        EXPECT_EQ(image->isPremultiplied(), c.inflated);
        EXPECT_DOUBLE_EQ(image->scale(), 1.0);
    }
    auto gif = imageOf(
        serializer->responseObjectForResponse(imageResponse(200, "image/gif"), test::makeGif(4, 4, 2)));
    ASSERT_TRUE(gif);
    EXPECT_EQ(gif->frames().size(), 2u);
}

// No lock is held while decoding: every format's decoder runs on many threads at once, and each
// thread gets the same pixels as a decode on its own.
TEST(ImageResponseSerializerTest, EveryFormatDecodesOnManyThreadsAtOnce) {
    auto serializer = HTImageResponseSerializer::serializer();
    const std::vector<std::pair<const char*, Bytes>> bodies = {
        {"image/png", test::makePng(32, 32)},       {"image/jpeg", test::makeJpeg(32, 32)},
        {"image/gif", test::makeGif(32, 32, 2)},    {"image/tiff", test::makeTiff(32, 32, true)},
        {"image/bmp", test::makeBmp(32, 32)},       {"image/x-icon", test::makeIco(32, 32)},
        {"image/x-xbitmap", test::makeXbm(32, 32)},
    };
    std::vector<std::vector<std::uint8_t>> alone;
    for (const auto& [type, body] : bodies) {
        auto image = imageOf(serializer->responseObjectForResponse(imageResponse(200, type), body));
        ASSERT_TRUE(image) << type;
        alone.emplace_back(image->pixels().begin(), image->pixels().end());
    }
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round)
                for (std::size_t i = 0; i < bodies.size(); ++i) {
                    auto image = imageOf(serializer->responseObjectForResponse(
                        imageResponse(200, bodies[i].first), bodies[i].second));
                    if (!image || !std::ranges::equal(image->pixels(), alone[i]))
                        ++mismatches;
                }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(ImageResponseSerializerTest, StatusErrorsKeepTheImageContentTypeErrorsDropIt) {
    auto serializer = HTImageResponseSerializer::serializer();
    auto notFound =
        serializer->responseObjectForResponse(imageResponse(404, "image/png"), test::makePng(4, 4));
    EXPECT_TRUE(imageOf(notFound));
    ASSERT_TRUE(notFound.error);
    EXPECT_EQ(notFound.error->code(), URLErrorBadServerResponse);

    auto text =
        serializer->responseObjectForResponse(imageResponse(200, "text/plain"), test::makePng(4, 4));
    EXPECT_FALSE(imageOf(text));
    ASSERT_TRUE(text.error);
    EXPECT_EQ(text.error->code(), URLErrorCannotDecodeContentData);
}

TEST(ImageResponseSerializerTest, EmptyBodyIsNoImageButABadBodyIsAnError) {
    auto serializer = HTImageResponseSerializer::serializer();
    auto empty = serializer->responseObjectForResponse(imageResponse(200, "image/png"), {});
    EXPECT_FALSE(imageOf(empty));
    EXPECT_FALSE(empty.error);

    const std::pair<Bytes, long> bad[] = {
        {Bytes{'n', 'o', 'p', 'e'}, ImageErrorUnknownFormat},
        {test::makePngHeader(30000, 30000), ImageErrorTooLarge},
    };
    for (const auto& [data, code] : bad) {
        auto answer = serializer->responseObjectForResponse(imageResponse(200, "image/png"), data);
        EXPECT_FALSE(imageOf(answer));
        ErrorPtr error = answer.error;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), ImageErrorDomain);
        EXPECT_EQ(error->code(), code);
    }
}

TEST(ImageResponseSerializerTest, ArchivesAndCopiesItsSettings) {
    auto serializer = HTImageResponseSerializer::serializer();
    serializer->setImageScale(3.0);
    serializer->setAutomaticallyInflatesResponseImage(false);
    auto result = KeyedUnarchiver::unarchivedObject<HTImageResponseSerializer>(
        KeyedArchiver::archivedDocument(*serializer),
        {KeyedUnarchiver::allow<HTImageResponseSerializer>()});
    ASSERT_TRUE(result) << result.error()->description();
    auto decoded = *result;
    auto copy = std::dynamic_pointer_cast<HTImageResponseSerializer>(serializer->copy());
    ASSERT_TRUE(copy);
    for (const auto& s : {decoded, copy}) {
        EXPECT_DOUBLE_EQ(s->imageScale(), 3.0);
        EXPECT_FALSE(s->automaticallyInflatesResponseImage());
        EXPECT_EQ(s->acceptableContentTypes(), serializer->acceptableContentTypes());
    }
}

}  // namespace
}  // namespace quarra
