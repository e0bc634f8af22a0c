#include "quarra/Image.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <limits>

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
        {"progressive jpeg", test::makeJpeg(16, 8, false, true), ImageFormat::JPEG, 8, 12, false},
        {"cmyk jpeg", test::makeJpeg(16, 8, true), ImageFormat::JPEG, 8, 12, false},
        {"tiff", test::makeTiff(13, 7), ImageFormat::TIFF, 8, 0, false},
        {"packbits tiff", test::makeTiff(13, 7, false, true), ImageFormat::TIFF, 8, 0, false},
        {"bmp", test::makeBmp(13, 7), ImageFormat::BMP, 8, 0, false},
        {"icon", test::makeIco(13, 7), ImageFormat::ICO, 8, 0, true},
        {"cursor", test::makeIcon({{13, 7, false}}, true), ImageFormat::ICO, 8, 0, true},
        {"icon of a png", test::makeIcon({{13, 7, true}}), ImageFormat::ICO, 8, 0, true},
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

TEST(ImageTest, EveryKindOfBmpDecodesToItsPixels) {
    using enum test::BmpKind;
    const std::pair<const char*, test::BmpKind> kinds[] = {
        {"1-bit palette", Palette1},     {"4-bit palette", Palette4},  {"8-bit palette", Palette8},
        {"run-length 8", RunLength8},    {"run-length 4", RunLength4}, {"5-6-5 masks", Masks565},
        {"masks with alpha", Masks8888}, {"top-down", TopDown24},
    };
    for (const auto& [name, kind] : kinds) {
        SCOPED_TRACE(name);
        // An odd width: rows are padded, and a 4-bit run ends on half a byte.
        const test::EncodedImage bmp = test::makeBmpOf(13, 7, kind);
        auto decoded = Image::decode(bmp.data);
        ASSERT_TRUE(decoded) << decoded.error()->localizedDescription();
        EXPECT_EQ((*decoded)->pixelWidth(), 13u);
        EXPECT_EQ((*decoded)->pixelHeight(), 7u);
        EXPECT_TRUE(std::ranges::equal((*decoded)->pixels(), bmp.pixels));
    }
}

// An icon is shown by its largest picture, a PNG (the usual 256-pixel kind) or a bitmap; its header
// names the picture the decode returns, whatever the directory's one-byte sizes say.
TEST(ImageTest, IconHeaderNamesThePictureItsDecodeReturns) {
    const std::tuple<const char*, std::vector<test::IconPicture>, std::uint32_t> cases[] = {
        {"png after a small bitmap", {{16, 16, false}, {24, 20, true}}, 24},
        {"bitmap after a small png", {{8, 8, true}, {24, 20, false}}, 24},
        {"png above 256 pixels", {{16, 16, false}, {300, 2, true}}, 300},
    };
    for (const auto& [name, pictures, width] : cases) {
        SCOPED_TRACE(name);
        const Bytes icon = test::makeIcon(pictures);
        auto header = Image::readHeader(icon);
        ASSERT_TRUE(header);
        auto decoded = Image::decode(icon);
        ASSERT_TRUE(decoded) << decoded.error()->localizedDescription();
        EXPECT_EQ(header->width, width);
        EXPECT_EQ((*decoded)->pixelWidth(), header->width);
        EXPECT_EQ((*decoded)->pixelHeight(), header->height);
        const auto p = (*decoded)->pixels();
        EXPECT_EQ(p[4 * 1 + 0], fixtureSample(1, 0, 0));
        EXPECT_EQ(p[4 * 1 + 3], fixtureSample(1, 0, 3));
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

// The size that is checked is the one the decoder uses: the last definition of each, whatever the
// name before "_width".
TEST(ImageTest, XBitmapSizeIsTheOneItsDecoderUses) {
    std::string bits = test::asString(test::makeXbm(9, 3));
    bits = bits.substr(bits.find("static"));
    auto decoded = Image::decode(
        test::asBytes("#define big_width_icon_width 9\n#define big_width_icon_height 3\n" + bits));
    ASSERT_TRUE(decoded) << decoded.error()->localizedDescription();
    EXPECT_EQ((*decoded)->pixelWidth(), 9u);

    const Bytes redefined = test::asBytes(
        "#define t_width 1\n#define t_height 1\n#define t_width 12000\n#define t_height 12000\n" +
        bits);
    EXPECT_EQ(Image::readHeader(redefined)->width, 12000u);
    ErrorPtr error = Image::decode(redefined).error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ImageErrorTooLarge);
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

// Each frame is drawn over what the one before it left: itself, its rectangle cleared, or what
// was there before it.
TEST(ImageTest, AnimatedGifFramesFollowTheirDisposal) {
    const Bytes gif = test::makeGifFrames(4, 4,
                                          {{0, 0, 4, 4, 0, DISPOSE_DO_NOT},
                                           {1, 1, 2, 2, 1, DISPOSE_BACKGROUND},
                                           {0, 0, 1, 1, 2, DISPOSE_PREVIOUS},
                                           {3, 0, 1, 1, 3, DISPOSAL_UNSPECIFIED}});
    ImagePtr image = Image::decode(gif).value();
    ASSERT_EQ(image->frames().size(), 4u);
    auto at = [&](int frame, int x, int y) {
        const auto p = image->frames()[std::size_t(frame)]->pixels();
        const std::uint8_t* q = &p[std::size_t(y * 4 + x) * 4];
        return std::vector<std::uint8_t>(q, q + 4);
    };
    using Pixel = std::vector<std::uint8_t>;
    const Pixel red = {255, 0, 0, 255}, green = {0, 255, 0, 255}, blue = {0, 0, 255, 255},
                yellow = {255, 255, 0, 255}, clear = {0, 0, 0, 0};
    EXPECT_EQ(at(0, 1, 1), red);
    EXPECT_EQ(at(1, 1, 1), green);
    EXPECT_EQ(at(1, 0, 0), red);
    EXPECT_EQ(at(2, 0, 0), blue);
    EXPECT_EQ(at(2, 2, 2), clear);
    // Frame 2 is taken back: frame 3 is drawn over frame 1 with its rectangle cleared.
    EXPECT_EQ(at(3, 0, 0), red);
    EXPECT_EQ(at(3, 1, 1), clear);
    EXPECT_EQ(at(3, 3, 0), yellow);
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
}

// The limit counts what an animation makes: every frame, the first once more as the image's own
// pixels, and the picture object of each frame, so that many tiny frames cannot pass it.
TEST(ImageTest, AnimationLimitCountsEveryFrameMade) {
    const std::tuple<const char*, Bytes, std::uint64_t, bool> cases[] = {
        {"three frames of 100 pixels under 300", test::makeGif(10, 10, 3), 300, false},
        {"three frames of 100 pixels under 1000", test::makeGif(10, 10, 3), 1000, true},
        {"300 frames of one pixel under 1000", test::makeGif(1, 1, 300), 1000, false},
        {"a still of 1000 pixels under 1000", test::makeGif(100, 10, 1), 1000, true},
        {"three frames under no limit", test::makeGif(10, 10, 3),
         std::numeric_limits<std::uint64_t>::max(), true},
    };
    for (const auto& [name, gif, limit, decodes] : cases) {
        SCOPED_TRACE(name);
        auto decoded = Image::decode(gif, 1.0, limit);
        EXPECT_EQ(bool(decoded), decodes);
        if (!decoded) {
            EXPECT_EQ(decoded.error()->code(), ImageErrorTooLarge);
        }
    }
}

// What a decoder needs beside the picture (a progressive JPEG's coefficients, a TIFF's strip) is
// held to half the picture's bytes at the limit: the same picture stored otherwise decodes.
TEST(ImageTest, DecoderWorkMemoryStaysWithinItsLimit) {
    const std::uint64_t limit = 1024 * 1024;
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"baseline jpeg", test::makeJpeg(1024, 1024), true},
        {"progressive jpeg", test::makeJpeg(1024, 1024, false, true), false},
        {"tiff in small strips", test::makeTiff(1024, 1024), true},
        {"tiff in one packed strip", test::makeTiff(1024, 1024, false, true), false},
    };
    for (const auto& [name, data, decodes] : cases) {
        SCOPED_TRACE(name);
        auto decoded = Image::decode(data, 1.0, limit);
        EXPECT_EQ(bool(decoded), decodes);
        if (!decoded) {
            EXPECT_EQ(decoded.error()->code(), ImageErrorTooLarge);
        }
        EXPECT_TRUE(Image::decode(data, 1.0, limit * 4));
        // A limit as high as a caller likes must not wrap around.
        EXPECT_TRUE(Image::decode(data, 1.0, std::numeric_limits<std::uint64_t>::max()));
    }
}

TEST(ImageTest, BadDataGivesAnErrorNotACrash) {
    Bytes png = test::makePng(16, 16);
    Bytes jpeg = test::makeJpeg(16, 16);
    Bytes gif = test::makeGif(16, 16, 2);
    Bytes tiff = test::makeTiff(16, 16);
    Bytes bmp = test::makeBmp(16, 16);
    Bytes ico = test::makeIco(16, 16);
    Bytes rle = test::makeBmpOf(16, 16, test::BmpKind::RunLength8).data;
    // Everything up to the pixels: headers and palette.
    Bytes rleHeaders(rle.begin(), rle.begin() + (rle[10] | rle[11] << 8));
    Bytes xbm = test::makeXbm(16, 4);
    // A PNG picture cut short, with a directory that says so.
    Bytes pngIconCut = test::makeIcon({{16, 16, true}});
    pngIconCut.resize(pngIconCut.size() - 20);
    const std::uint32_t cutSize = (pngIconCut[14] | pngIconCut[15] << 8) - 20u;
    pngIconCut[14] = static_cast<std::uint8_t>(cutSize);
    pngIconCut[15] = static_cast<std::uint8_t>(cutSize >> 8);
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
        {"run-length bmp cut before its last row ends", Bytes(rle.begin(), rle.end() - 4),
         ImageErrorCorrupt},
        {"run-length bmp of headers only", rleHeaders, ImageErrorCorrupt},
        {"the same declaring 512x512", test::withDeclaredSize(rleHeaders, 512, 512),
         ImageErrorCorrupt},
        // libjpeg would paint what the data lacks grey.
        {"jpeg declaring more than its data holds",
         test::withDeclaredSize(test::makeJpeg(16, 16), 64, 64), ImageErrorCorrupt},
        {"progressive jpeg declaring more than its data holds",
         test::withDeclaredSize(test::makeJpeg(16, 16, false, true), 64, 64), ImageErrorCorrupt},
        {"icon of a cut png", pngIconCut, ImageErrorCorrupt},
        {"x bitmap without size", test::asBytes("#define x 1\n"), ImageErrorCorrupt},
        {"x bitmap with too few bits", Bytes(xbm.begin(), xbm.end() - 12), ImageErrorCorrupt},
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
