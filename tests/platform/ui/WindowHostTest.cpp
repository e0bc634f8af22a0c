// Typing as a desktop toolkit passes it on: it reaches a field only while a person sees that field
// on the topmost screen, and what nothing takes is reported as not taken.
#include <gtest/gtest.h>

#include <functional>

#include "quarra/ui/Application.h"
#include "quarra/ui/Button.h"
#include "quarra/ui/TextField.h"
#include "quarra/ui/ViewController.h"
#include "quarra/ui/Window.h"
#include "quarra/ui/WindowHost.h"

namespace quarra::ui {
namespace {

// A key window whose root screen has a field with the focus and the text "x", and a screen with
// a key "7" (as on a keypad) that may be presented over it.
struct FocusedField {
    std::shared_ptr<Window> window = Window::make();
    std::shared_ptr<ViewController> root = std::make_shared<ViewController>();
    std::shared_ptr<ViewController> keypad = std::make_shared<ViewController>();
    std::shared_ptr<TextField> field = View::make<TextField>(Rect(10, 10, 200, 30));
    int sevens = 0;

    FocusedField() {
        window->setRootViewController(root);
        window->makeKeyAndVisible();
        root->view()->addSubview(field);
        auto seven = View::make<Button>(Rect(10, 100, 50, 50));
        seven->setTitle("7");
        seven->addTarget(ControlEventTouchUpInside, [this](Control&) { ++sevens; });
        keypad->view()->addSubview(seven);
        field->tap();
        field->typeText("x");
    }
};

TEST(WindowHost, KeysReachOnlyAFieldOfTheShownScreen) {
    const std::pair<const char*, std::function<void(FocusedField&)>> unseen[] = {
        {"covered by a presented screen",
         [](FocusedField& f) { f.root->presentViewController(f.keypad, false); }},
        {"hidden", [](FocusedField& f) { f.field->setHidden(true); }},
        {"on a transparent screen", [](FocusedField& f) { f.root->view()->setAlpha(0); }},
        {"taken off the window", [](FocusedField& f) { f.field->removeFromSuperview(); }},
        {"of a screen that is no longer the root",
         [](FocusedField& f) { f.window->setRootViewController(f.keypad); }},
    };
    for (const auto& [name, hide] : unseen) {
        FocusedField f;
        ASSERT_TRUE(WindowHost::insertText("y")) << name;
        ASSERT_TRUE(WindowHost::pressKey(Key::Backspace)) << name;
        hide(f);
        ASSERT_TRUE(f.field->isFirstResponder()) << name;
        EXPECT_FALSE(WindowHost::insertText("ab")) << name;
        for (Key key : {Key::Backspace, Key::Return, Key::Tab})
            EXPECT_FALSE(WindowHost::pressKey(key)) << name;
        EXPECT_EQ(f.field->text(), "x") << name;
        for (const auto& element : WindowHost::elements())
            EXPECT_FALSE(element.focused) << name;
    }
}

// With the field out of sight, digits press the keys of the screen on show; a character that no
// key carries is not taken.
TEST(WindowHost, TypingOverACoveredFieldPressesTheShownScreensKeys) {
    FocusedField f;
    ASSERT_TRUE(f.root->presentViewController(f.keypad, false));
    EXPECT_TRUE(WindowHost::insertText("77"));
    EXPECT_EQ(f.sevens, 2);
    EXPECT_FALSE(WindowHost::insertText("8"));
    EXPECT_EQ(f.field->text(), "x");
    f.keypad->dismissViewController(false);
    EXPECT_TRUE(WindowHost::insertText("7"));
    EXPECT_EQ(f.field->text(), "x7");
    EXPECT_EQ(f.sevens, 2);
}

}  // namespace
}  // namespace quarra::ui
