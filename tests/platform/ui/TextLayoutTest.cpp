#include <gtest/gtest.h>

#include "platform/ui/TextLayout.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/Label.h"
#include "quarra/ui/PngRenderer.h"
#include "support/TestSupport.h"

namespace quarra::ui {
namespace {

// One unit per character, so the widths below count characters.
double characters(std::string_view text) {
    double n = 0;
    for (unsigned char c : text)
        n += (c & 0xC0) != 0x80;
    return n;
}

TEST(TextLayout, BreaksAtLineBreaksBetweenWordsAndInsideOnlyTooLongWords) {
    struct Case {
        const char* text;
        double width;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", 10, {""}},
        {"fits", 10, {"fits"}},
        {"exactly 10", 10, {"exactly 10"}},
        {"two words apart", 9, {"two words", "apart"}},
        {"Invalid username\nor password", 40, {"Invalid username", "or password"}},
        {"a\n\nb", 10, {"a", "", "b"}},
        {"extraordinary", 5, {"extra", "ordin", "ary"}},
        {"go extraordinary", 5, {"go", "extra", "ordin", "ary"}},
        // Never inside a character's UTF-8 bytes, and never an empty line for a narrow width.
        {"\u00e9\u00e9\u00e9", 2, {"\u00e9\u00e9", "\u00e9"}},
        {"wide", 0.5, {"w", "i", "d", "e"}},
        {"  spaced   out  ", 20, {"spaced out"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(wrapText(c.text, c.width, characters), c.lines);
    }
}

// The columns and rows of `png` that hold any ink.
struct Ink {
    int left = -1, right = -1;
    std::vector<bool> rows;
};

Ink inkOf(const std::filesystem::path& png) {
    std::string file = test::readFile(png);
    ImagePtr image = Image::decode(Bytes(file.begin(), file.end())).valueOr(nullptr);
    Ink ink;
    if (!image)
        return ink;
    int width = static_cast<int>(image->pixelWidth()),
        height = static_cast<int>(image->pixelHeight());
    ink.rows.assign(height, false);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (image->pixels()[(std::size_t(y) * width + x) * 4 + 3] > 0) {
                ink.rows[y] = true;
                ink.left = ink.left < 0 ? x : std::min(ink.left, x);
                ink.right = std::max(ink.right, x);
            }
        }
    }
    return ink;
}

int inkedBands(const std::vector<bool>& rows) {
    int bands = 0;
    for (std::size_t y = 0; y < rows.size(); ++y)
        bands += rows[y] && (y == 0 || !rows[y - 1]);
    return bands;
}

// A label in a 100-point-wide box with a text twice as long and a line break of its own: the text
// stays within the box on as many lines as it needs, whether the box is tall enough or not.
TEST(TextLayout, ALabelWrapsWithinItsWidthAndShowsItsLineBreaks) {
    test::TempDir dir;
    for (double height : {120.0, 24.0}) {
        SCOPED_TRACE(height);
        auto box = View::make(Rect(0, 0, 140, 160));
        auto label = View::make<Label>(Rect(20, 20, 100, height));
        label->setText("The user name or\npassword is incorrect");
        label->setFont(Font::system(14));
        box->addSubview(label);
        ASSERT_EQ(drawViewToPng(*box, dir / "label.png"), nullptr);
        Ink ink = inkOf(dir / "label.png");
        // A pixel of anti-aliasing either side.
        ASSERT_GE(ink.left, 19);
        EXPECT_LE(ink.right, 121);
        EXPECT_GE(inkedBands(ink.rows), 3);
    }
}

// A long message with line breaks gets the room it needs, above the buttons, at its own size.
TEST(TextLayout, AnAlertMakesRoomForItsMessage) {
    std::string message =
        "The server could not be reached.\nCheck the connection and try again; if that does not "
        "help, the server may be down for maintenance.\nYour changes are kept.";
    auto alert = AlertController::make("Offline", message);
    alert->addAction({"OK", AlertActionStyle::Default, nullptr});
    const auto& root = alert->view();
    ASSERT_EQ(root->subviews().size(), 1u);
    const auto& box = root->subviews()[0]->subviews();
    ASSERT_EQ(box.size(), 3u);
    Rect text = box[1]->frame(), button = box[2]->frame();
    // Five lines or more of 13-point text, each about 16 points high.
    EXPECT_GE(text.height(), 5 * 15);
    EXPECT_GE(button.y(), text.y() + text.height());
    EXPECT_LE(button.y() + button.height(), root->subviews()[0]->frame().height());
}

}  // namespace
}  // namespace quarra::ui
