#include <algorithm>
#include <gtest/gtest.h>

#include "quarra/ui/ImageView.h"
#include "quarra/ui/PngRenderer.h"
#include "support/ImageFixtures.h"
#include "support/TestSupport.h"

namespace quarra::ui {
namespace {

Bytes readBytes(const std::filesystem::path& path) {
    std::string text = test::readFile(path);
    return Bytes(text.begin(), text.end());
}

// Decoded images may hold colours already multiplied by alpha (the image serializer's inflated
// ones) or straight; both must come out of the renderer as the same colour.
TEST(ImageDrawing, DecodedImagesDrawWithTheirOwnColoursStraightOrPremultiplied) {
    const std::vector<std::uint8_t> straight = {200, 100, 50, 128};
    std::vector<std::uint8_t> pixels;
    for (int i = 0; i < 4; ++i)
        pixels.insert(pixels.end(), straight.begin(), straight.end());
    auto image = std::make_shared<Image>(2, 2, pixels);
    test::TempDir dir;
    for (ImagePtr shown : {ImagePtr(image), image->premultipliedCopy()}) {
        SCOPED_TRACE(shown->isPremultiplied());
        auto view = View::make<ImageView>(Rect(0, 0, 2, 2));
        view->setImage(shown);
        ASSERT_EQ(drawViewToPng(*view, dir / "view.png"), nullptr);
        ImagePtr drawn = Image::decode(readBytes(dir / "view.png")).valueOr(nullptr);
        ASSERT_TRUE(drawn);
        ASSERT_EQ(drawn->pixelWidth(), 2u);
        for (int channel = 0; channel < 4; ++channel)
            EXPECT_NEAR(drawn->pixels()[channel], straight[channel], 3) << channel;
    }
}

TEST(ImageDrawing, NamedImagesComeFromTheirFolderOnly) {
    test::TempDir dir;
    Bytes png = test::makePng(3, 2);
    test::writeFile(dir / "logo.png", test::asString(png));
    ImagePtr logo = Image::named("logo", dir.path());
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->name(), "logo");
    EXPECT_EQ(logo->size().width, 3);
    EXPECT_TRUE(std::ranges::equal(logo->pixels(), Image::decode(png).value()->pixels()));
    std::filesystem::create_directories(dir / "sub");
    test::writeFile(dir / "sub" / "inner.png", test::asString(png));
    test::writeFile(dir / "broken.png", "not an image");
    for (const char* name : {"", "missing", "sub/inner", "../logo", "broken"})
        EXPECT_FALSE(Image::named(name, dir.path())) << name;
}

TEST(ImageDrawing, DrawnImagesHaveASizeAndNoPixels) {
    int calls = 0;
    ImagePtr symbol = Image::drawn("dot", {4, 3}, [&](Canvas& canvas, const Rect& r) {
        ++calls;
        canvas.fillRect(r, Color::rgb(1, 0, 0));
    });
    EXPECT_EQ(symbol->size().width, 4);
    EXPECT_EQ(symbol->size().height, 3);
    EXPECT_EQ(symbol->pixelWidth(), 0u);
    auto view = View::make<ImageView>(Rect(0, 0, 4, 3));
    view->setImage(symbol);
    test::TempDir dir;
    ASSERT_EQ(drawViewToPng(*view, dir / "symbol.png"), nullptr);
    EXPECT_EQ(calls, 1);
    ImagePtr drawn = Image::decode(readBytes(dir / "symbol.png")).valueOr(nullptr);
    ASSERT_TRUE(drawn);
    EXPECT_EQ(drawn->pixels()[0], 255);
    EXPECT_EQ(drawn->pixels()[1], 0);
}

}  // namespace
}  // namespace quarra::ui
