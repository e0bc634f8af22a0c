#include "quarra/Image.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/ImageFixtures.h"

namespace quarra {
namespace {

using test::fixtureSample;

struct DecodeCase {
    const char* name;
    Bytes data;
    ImageFormat format;
    int bitsPerComponent;
    // Largest difference from the fixture's samples a lossy format may show.
    int tolerance;
    bool alpha;
};

TEST(ImageTest, DecodesEachFormatToTheFixturesPixels) {
    const DecodeCase cases[] = {
        {"png rgba", test::makePng(13, 7), ImageFormat::PNG, 8, 0, true},
        {"png 16-bit rgb", test::makePng(13, 7, 16, false), ImageFormat::PNG, 16, 0, false},
        {"jpeg", test::makeJpeg(16, 8), ImageFormat::JPEG, 8, 12, false},
        {"cmyk jpeg", test::makeJpeg(16, 8, true), ImageFormat::JPEG, 8, 12, false},
        {"tiff", test::makeTiff(13, 7), ImageFormat::TIFF, 8, 0, false},
        {"bmp", test::makeBmp(13, 7), ImageFormat::BMP, 8, 0, false},
        {"icon", test::makeIco(13, 7), ImageFormat::ICO, 8, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto header = Image::readHeader(c.data);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->format, c.format);
        EXPECT_EQ(header->bitsPerComponent, c.bitsPerComponent);

        auto decoded = Image::decode(c.data, 2.0);
        ASSERT_TRUE(decoded) << decoded.error()->localizedDescription();
        ImagePtr image = *decoded;
        EXPECT_EQ(image->pixelWidth(), header->width);
        EXPECT_EQ(image->pixelHeight(), header->height);
        EXPECT_DOUBLE_EQ(image->size().width, header->width / 2.0);
        EXPECT_DOUBLE_EQ(image->size().height, header->height / 2.0);
        EXPECT_EQ(image->bitsPerComponent(), c.bitsPerComponent);
        EXPECT_FALSE(image->isAnimated());
        int worst = 0;
        for (std::uint32_t y = 0; y < image->pixelHeight(); ++y)
            for (std::uint32_t x = 0; x < image->pixelWidth(); ++x)
                for (int ch = 0; ch < 4; ++ch) {
                    int expected = ch < 3 || c.alpha ? fixtureSample(x, y, ch) : 255;
                    int got = image->pixels()[(std::size_t(y) * image->pixelWidth() + x) * 4 + ch];
                    worst = std::max(worst, std::abs(expected - got));
                }
        EXPECT_LE(worst, c.tolerance);
    }
}

// libtiff hands alpha over multiplied into the colour; the image says so.
TEST(ImageTest, TiffWithAlphaComesPremultiplied) {
    ImagePtr image = Image::decode(test::makeTiff(3, 2, true)).value();
    EXPECT_TRUE(image->isPremultiplied());
    for (std::uint32_t y = 0; y < 2; ++y)
        for (std::uint32_t x = 0; x < 3; ++x) {
            const std::uint8_t* p = &image->pixels()[(y * 3 + x) * 4];
            unsigned alpha = fixtureSample(x, y, 3);
            EXPECT_EQ(p[3], alpha);
            EXPECT_NEAR(p[0], fixtureSample(x, y, 0) * alpha / 255.0, 1);
        }
}

TEST(ImageTest, XBitmapSetBitsAreDarkOnLight) {
    ImagePtr image = Image::decode(test::makeXbm(9, 3)).value();
    ASSERT_EQ(image->pixelWidth(), 9u);
    ASSERT_EQ(image->pixelHeight(), 3u);
    for (std::uint32_t y = 0; y < 3; ++y)
        for (std::uint32_t x = 0; x < 9; ++x) {
            const std::uint8_t* p = &image->pixels()[(y * 9 + x) * 4];
            EXPECT_EQ(p[0] < 128, (x + y) % 2 == 0) << x << "," << y;
        }
}

TEST(ImageTest, CmykJpegIsMarkedAndConvertedToRgb) {
    ImagePtr image = Image::decode(test::makeJpeg(8, 8, true)).value();
    EXPECT_TRUE(image->isCMYK());
    EXPECT_FALSE(Image::decode(test::makeJpeg(8, 8)).value()->isCMYK());
}

TEST(ImageTest, AnimatedGifKeepsEveryFrame) {
    ImagePtr image = Image::decode(test::makeGif(5, 4, 3), 1.0).value();
    ASSERT_TRUE(image->isAnimated());
    ASSERT_EQ(image->frames().size(), 3u);
    for (int f = 0; f < 3; ++f) {
        auto colour = test::gifFrameColour(f);
        const auto& p = image->frames()[f]->pixels();
        EXPECT_EQ(std::vector<std::uint8_t>(p.begin(), p.begin() + 3), colour) << "frame " << f;
        EXPECT_EQ(p[3], 255);
    }
    EXPECT_TRUE(std::ranges::equal(image->pixels(), image->frames()[0]->pixels()));

    ImagePtr still = Image::decode(test::makeGif(5, 4, 1)).value();
    EXPECT_FALSE(still->isAnimated());
    EXPECT_EQ(still->pixelWidth(), 5u);
}

// A few bytes that declare 30000 x 30000 pixels (3.6 GB as RGBA) are refused from the header,
// before any pixel memory is taken.
TEST(ImageTest, HugeDeclaredImageIsRefusedBeforeDecoding) {
    const std::pair<const char*, Bytes> cases[] = {
        {"png", test::makePngHeader(30000, 30000)},
        {"jpeg", test::withDeclaredSize(test::makeJpeg(8, 8), 30000, 30000)},
        {"gif", test::withDeclaredSize(test::makeGif(8, 8), 30000, 30000)},
        {"tiff", test::withDeclaredSize(test::makeTiff(8, 8), 30000, 30000)},
        {"bmp", test::withDeclaredSize(test::makeBmp(8, 8), 30000, 30000)},
        {"icon", test::withDeclaredSize(test::makeIco(8, 8), 30000, 30000)},
        {"x bitmap", test::withDeclaredSize(test::makeXbm(8, 8), 30000, 30000)},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        auto header = Image::readHeader(data);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->width, 30000u);
        ErrorPtr error = Image::decode(data, 1.0).error();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), ImageErrorDomain);
        EXPECT_EQ(error->code(), ImageErrorTooLarge);
    }
    // The limit counts all frames of an animation.
    ErrorPtr error = Image::decode(test::makeGif(10, 10, 3), 1.0, 250).error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ImageErrorTooLarge);
    EXPECT_TRUE(Image::decode(test::makeGif(10, 10, 3), 1.0, 300));
}

TEST(ImageTest, BadDataGivesAnErrorNotACrash) {
    Bytes png = test::makePng(16, 16);
    Bytes jpeg = test::makeJpeg(16, 16);
    Bytes gif = test::makeGif(16, 16, 2);
    Bytes tiff = test::makeTiff(16, 16);
    Bytes bmp = test::makeBmp(16, 16);
    Bytes ico = test::makeIco(16, 16);
    const std::tuple<const char*, Bytes, long> cases[] = {
        {"empty", {}, ImageErrorUnknownFormat},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o'}, ImageErrorUnknownFormat},
        {"truncated png", Bytes(png.begin(), png.begin() + png.size() / 2), ImageErrorCorrupt},
        {"truncated jpeg", Bytes(jpeg.begin(), jpeg.begin() + 20), ImageErrorCorrupt},
        {"truncated gif", Bytes(gif.begin(), gif.begin() + gif.size() / 2), ImageErrorCorrupt},
        {"png without pixels", test::makePngHeader(4, 4), ImageErrorCorrupt},
        {"png declaring no pixels", test::makePngHeader(0, 4), ImageErrorCorrupt},
        {"truncated tiff", Bytes(tiff.begin(), tiff.begin() + tiff.size() / 2), ImageErrorCorrupt},
        {"tiff header only", Bytes(tiff.begin(), tiff.begin() + 8), ImageErrorCorrupt},
        {"truncated bmp", Bytes(bmp.begin(), bmp.begin() + bmp.size() / 2), ImageErrorCorrupt},
        {"bmp header only", Bytes(bmp.begin(), bmp.begin() + 20), ImageErrorCorrupt},
        {"truncated icon", Bytes(ico.begin(), ico.begin() + ico.size() / 2), ImageErrorCorrupt},
        {"icon directory only", Bytes(ico.begin(), ico.begin() + 22), ImageErrorCorrupt},
        {"x bitmap without size", test::asBytes("#define x 1\n"), ImageErrorCorrupt},
        {"x bitmap without bits", test::asBytes("#define a_width 4\n#define a_height 4\n"),
         ImageErrorCorrupt},
    };
    // The decoders' own complaints never reach the console.
    testing::internal::CaptureStderr();
    for (const auto& [name, data, code] : cases) {
        SCOPED_TRACE(name);
        ErrorPtr error = Image::decode(data, 1.0).error();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), code);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ImageTest, PremultipliedCopyScalesColourByAlpha) {
    Image image(1, 2, {200, 100, 50, 128, 10, 20, 30, 255});
    auto copy = image.premultipliedCopy();
    EXPECT_TRUE(copy->isPremultiplied());
    EXPECT_FALSE(image.isPremultiplied());
    EXPECT_TRUE(std::ranges::equal(copy->pixels(),
                                   std::vector<std::uint8_t>{100, 50, 25, 128, 10, 20, 30, 255}));
}

}  // namespace
}  // namespace quarra
