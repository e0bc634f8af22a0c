#include <gtest/gtest.h>

#include "auth/ui/TVKCheckbox.h"
#include "auth/ui/TVKCustomUI.h"
#include "auth/ui/TVKFirstResponder.h"
#include "auth/ui/TVKHUDView.h"
#include "auth/ui/TVKString.h"
#include "auth/ui/TVKTextField.h"
#include "quarra/Bundle.h"
#include "quarra/ui/Window.h"

namespace quarra {
namespace {

TEST(ColorText, ParsesThreeNumbersOnTheByteScale) {
    struct Case {
        std::optional<std::string> text;
        std::optional<ui::Color> color;
    };
    auto rgb = [](double r, double g, double b) {
        return ui::Color::rgb(r / 255, g / 255, b / 255);
    };
    const Case cases[] = {
        {"[248, 151, 43]", rgb(248, 151, 43)},
        {"248,151,43", rgb(248, 151, 43)},
        {"  [ 248 ,151 , 43 ]  ", rgb(248, 151, 43)},
        // No clamping: above 255 is passed on.
        {"[300, 0, 0]", rgb(300, 0, 0)},
        // Each part is read up to the first character that is no part of a number.
        {"[12.5px, abc, -3]", rgb(12.5, 0, -3)},
        {"[1e2, 0x10, ]", rgb(100, 0, 0)},
        {"[248, 151]", std::nullopt},
        {"[1, 2, 3, 4]", std::nullopt},
        {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(none)"));
        EXPECT_EQ(TVKString::colorWithString(c.text), c.color);
    }
    // Written on the 0-to-1 scale, unlike what is read.
    EXPECT_EQ(TVKString::string(ui::Color::rgb(1, 0.5, 0)), "[1.000000, 0.500000, 0.000000]");
}

TEST(CustomUI, HostColoursReplaceTheDefaultsOnlyWhenTheyParse) {
    Bundle::setMainBundle("com.example.host");
    EXPECT_EQ(TVKCustomUI::customPrimaryColor(),
              ui::Color::rgb(248 / 255.0, 151 / 255.0, 43 / 255.0));
    EXPECT_EQ(TVKCustomUI::customBackgroundColor(), ui::Color::white());
    EXPECT_FALSE(TVKCustomUI::customHeaderImage());

    Bundle::setMainBundle("com.example.host", {{"com.tovik.ui.primary_color", "[0, 0, 255]"},
                                               {"com.tovik.ui.secondary_color", "[1, 2]"},
                                               {"com.tovik.ui.background_color", 42},
                                               {"com.tovik.ui.login_header_image", "nothing"}});
    EXPECT_EQ(TVKCustomUI::customPrimaryColor(), ui::Color::rgb(0, 0, 1));
    EXPECT_EQ(TVKCustomUI::customSecondaryColor(),
              ui::Color::rgb(142 / 255.0, 142 / 255.0, 147 / 255.0));
    EXPECT_EQ(TVKCustomUI::customBackgroundColor(), ui::Color::white());
    EXPECT_FALSE(TVKCustomUI::customHeaderImage());
}

TEST(Checkbox, OnlyATapTellsTheObservers) {
    auto box = TVKCheckbox::make(ui::Rect(0, 0, 200, 30));
    int changes = 0;
    box->addTarget(ui::ControlEventValueChanged, [&](ui::Control&) { ++changes; });

    box->setChecked(true);
    EXPECT_TRUE(box->checkboxImageView->isHighlighted());
    EXPECT_EQ(changes, 0);

    EXPECT_TRUE(box->tap());
    EXPECT_FALSE(box->checked());
    EXPECT_FALSE(box->checkboxImageView->isHighlighted());
    EXPECT_EQ(changes, 1);
    // The content takes no touches of its own: a tap on it is the control's.
    EXPECT_FALSE(box->label->tap());

    box->setText("Use the fingerprint reader");
    EXPECT_EQ(box->label->text(), "Use the fingerprint reader");
    EXPECT_EQ(box->checkboxView->frame(), box->bounds());
    EXPECT_EQ(box->constraints().size(), 4u);
}

TEST(HUD, SpinsInFrontWhileShown) {
    auto parent = ui::View::make(ui::Rect(0, 0, 320, 480));
    auto hud = TVKHUDView::make(parent->bounds());
    parent->addSubview(hud);
    parent->addSubview(ui::View::make());
    EXPECT_TRUE(hud->isHidden());

    hud->startAnimating();
    EXPECT_FALSE(hud->isHidden());
    EXPECT_EQ(parent->subviews().back(), hud);
    const ui::Animation* rotation = hud->hudView->layer()->animationForKey("rotation");
    ASSERT_TRUE(rotation);
    EXPECT_EQ(rotation->keyPath, "transform.rotation");
    EXPECT_EQ(rotation->duration, 0.7);
    EXPECT_EQ(rotation->repeatCount, ui::Animation::Forever);

    hud->stopAnimating();
    EXPECT_TRUE(hud->isHidden());
    EXPECT_TRUE(hud->hudView->layer()->animationKeys().empty());
}

class Focus : public ::testing::Test {
  protected:
    void SetUp() override {
        window->makeKeyAndVisible();
        for (auto field : {first, second}) {
            window->addSubview(field);
            field->setHeaderLabel(ui::View::make<ui::Label>());
            field->setFooterLabel(ui::View::make<ui::Label>());
            field->setUnfocusedColor(grey);
            field->setFocusColor(orange);
        }
    }

    const ui::Color grey = ui::Color::rgb(0.5, 0.5, 0.5);
    const ui::Color orange = ui::Color::rgb(1, 0.6, 0.2);
    std::shared_ptr<ui::Window> window = ui::Window::make();
    std::shared_ptr<TVKTextField> first = TVKTextField::make(ui::Rect(0, 0, 200, 40));
    std::shared_ptr<TVKTextField> second = TVKTextField::make(ui::Rect(0, 50, 200, 40));
};

TEST_F(Focus, TheFocusedFieldAndItsLabelsTakeTheFocusColour) {
    first->layoutIfNeeded();
    EXPECT_EQ(first->borderLayer()->frame(), ui::Rect(0, 39, 200, 40));
    EXPECT_TRUE(first->layer()->masksToBounds());
    EXPECT_EQ(first->borderLayer()->borderColor(), grey);

    ASSERT_TRUE(first->tap());
    EXPECT_EQ(first->borderLayer()->borderColor(), orange);
    EXPECT_EQ(first->headerLabel()->textColor(), orange);
    EXPECT_EQ(first->footerLabel()->textColor(), orange);

    // Moving on: the first gives the focus up and looks unfocused.
    ASSERT_TRUE(second->tap());
    EXPECT_EQ(first->borderLayer()->borderColor(), grey);
    EXPECT_EQ(first->headerLabel()->textColor(), grey);
    EXPECT_EQ(second->borderLayer()->borderColor(), orange);

    // A new focus colour shows at once on the focused field only.
    const ui::Color blue = ui::Color::rgb(0, 0, 1);
    second->setFocusColor(blue);
    first->setFocusColor(blue);
    EXPECT_EQ(second->borderLayer()->borderColor(), blue);
    EXPECT_EQ(second->footerLabel()->textColor(), blue);
    EXPECT_EQ(first->borderLayer()->borderColor(), grey);
}

TEST_F(Focus, FirstResponderLookupForgetsEarlierAnswers) {
    EXPECT_EQ(TVKFirstResponder::currentFirstResponder(), nullptr);
    ASSERT_TRUE(first->becomeFirstResponder());
    EXPECT_EQ(TVKFirstResponder::currentFirstResponder(), first);
    ASSERT_TRUE(first->resignFirstResponder());
    EXPECT_EQ(TVKFirstResponder::currentFirstResponder(), nullptr);

    // A hidden field cannot take the focus and keeps the unfocused look.
    second->setHidden(true);
    EXPECT_FALSE(second->becomeFirstResponder());
    EXPECT_EQ(second->borderLayer()->borderColor(), grey);
    EXPECT_EQ(TVKFirstResponder::currentFirstResponder(), nullptr);
}

}  // namespace
}  // namespace quarra
