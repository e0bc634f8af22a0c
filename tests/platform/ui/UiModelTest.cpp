#include <gtest/gtest.h>

#include "quarra/Application.h"
#include "quarra/NotificationCenter.h"
#include "quarra/ui/AlertController.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Keyboard.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/ScrollView.h"
#include "quarra/ui/TextField.h"
#include "quarra/ui/Window.h"

namespace quarra::ui {
namespace {

using std::chrono::milliseconds;

TEST(ManualScheduler, RunsDueBlocksInTimeOrderIncludingThoseTheyAdd) {
    ManualScheduler clock;
    std::vector<std::string> ran;
    clock.after(milliseconds(30), [&] { ran.push_back("30"); });
    clock.after(milliseconds(10), [&] {
        ran.push_back("10");
        clock.after(milliseconds(5), [&] { ran.push_back("15"); });
        clock.after(milliseconds(50), [&] { ran.push_back("60"); });
    });
    clock.after(milliseconds(10), [&] { ran.push_back("10 later"); });
    clock.advance(milliseconds(30));
    EXPECT_EQ(ran, (std::vector<std::string>{"10", "10 later", "15", "30"}));
    EXPECT_EQ(clock.pending(), 1u);
    clock.advance(milliseconds(30));
    EXPECT_EQ(ran.back(), "60");
}

// A controller that writes down its appearance calls.
struct Screen : ViewController {
    std::string name;
    std::vector<std::string>* log;
    Screen(std::string n, std::vector<std::string>* l) : name(std::move(n)), log(l) {}
    void viewDidAppear(bool) override { log->push_back(name + " appeared"); }
    void viewDidDisappear(bool) override { log->push_back(name + " disappeared"); }
};

TEST(Presentation, DismissingTakesTheWholeChainAbove) {
    std::vector<std::string> log;
    auto root = std::make_shared<Screen>("root", &log);
    auto a = std::make_shared<Screen>("a", &log);
    auto b = std::make_shared<Screen>("b", &log);
    auto c = std::make_shared<Screen>("c", &log);
    auto window = Window::make();
    window->setRootViewController(root);
    window->makeKeyAndVisible();

    int completions = 0;
    EXPECT_TRUE(root->presentViewController(a, false, [&] { ++completions; }));
    EXPECT_TRUE(a->presentViewController(b, true));
    // One presented controller at a time, and one presenter per controller.
    EXPECT_FALSE(a->presentViewController(c, false, [&] { ++completions; }));
    EXPECT_FALSE(root->presentViewController(b, false));
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(b->view()->frame(), Application::shared().screenBounds());

    // Asked of a controller that presents nothing, its presenter dismisses it.
    b->dismissViewController(false, [&] { ++completions; });
    EXPECT_EQ(a->presentedViewController(), nullptr);
    EXPECT_TRUE(a->presentViewController(b, false));
    // Asked of the root, everything above goes, top first.
    root->dismissViewController(false);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(b->presentingViewController(), nullptr);
    // The window's root appears with it.
    EXPECT_EQ(
        log, (std::vector<std::string>{"root appeared", "a appeared", "b appeared", "b disappeared",
                                       "b appeared", "b disappeared", "a disappeared"}));
    EXPECT_EQ(completions, 2);
    // Nothing to dismiss: no completion.
    root->dismissViewController(false, [&] { ++completions; });
    EXPECT_EQ(completions, 2);
}

TEST(Presentation, AnAlertIsGoneBeforeItsActionRuns) {
    auto window = Window::make();
    window->setRootViewController(std::make_shared<ViewController>());
    auto alert = AlertController::make("", "Too many attempts");
    bool presentedDuringAction = true;
    alert->addAction({"Continue", AlertActionStyle::Default, [&](const AlertAction& action) {
                          EXPECT_EQ(action.title, "Continue");
                          presentedDuringAction =
                              window->rootViewController()->presentedViewController() != nullptr;
                      }});
    ASSERT_TRUE(window->rootViewController()->presentViewController(alert, true));
    EXPECT_FALSE(alert->chooseAction(1));
    EXPECT_TRUE(alert->chooseAction(0));
    EXPECT_FALSE(presentedDuringAction);
}

TEST(ApplicationLifeCycle, BothApplicationObjectsPostOneLifeCycleInThePlatformOrder) {
    std::vector<std::string> seen;
    auto& center = NotificationCenter::defaultCenter();
    for (const char* name :
         {ApplicationDidFinishLaunchingNotification, ApplicationDidBecomeActiveNotification,
          ApplicationWillResignActiveNotification, ApplicationDidEnterBackgroundNotification,
          ApplicationWillEnterForegroundNotification, ApplicationWillTerminateNotification}) {
        center.addObserver(name, [&seen](const Notification& n) { seen.push_back(n.name); });
    }
    Application& app = Application::shared();
    quarra::Application& platform = quarra::Application::shared();
    EXPECT_EQ(app.applicationState(), ApplicationState::Inactive);
    app.finishLaunching();
    EXPECT_EQ(app.applicationState(), ApplicationState::Active);
    // The SDK's application delegate reports to the platform object: the UI model sees the same
    // state, and a repeated report from either object is no second change.
    platform.didEnterBackground();
    EXPECT_EQ(app.applicationState(), ApplicationState::Background);
    app.enterBackground();
    app.enterForeground();
    EXPECT_EQ(platform.state(), ApplicationState::Active);
    platform.willEnterForeground();
    app.terminate();
    platform.willTerminate();
    EXPECT_EQ(seen, (std::vector<std::string>{"UIApplicationDidFinishLaunchingNotification",
                                              "UIApplicationDidBecomeActiveNotification",
                                              "UIApplicationWillResignActiveNotification",
                                              "UIApplicationDidEnterBackgroundNotification",
                                              "UIApplicationWillEnterForegroundNotification",
                                              "UIApplicationDidBecomeActiveNotification",
                                              "UIApplicationWillTerminateNotification"}));
}

// Refuses to let the field go while it holds less than three characters.
struct MinimumLength : TextFieldDelegate {
    std::vector<std::string> events;
    bool textFieldShouldEndEditing(TextField& field) override { return field.text().size() >= 3; }
    void textFieldDidBeginEditing(TextField&) override { events.push_back("began"); }
    void textFieldDidEndEditing(TextField&) override { events.push_back("ended"); }
    bool shouldChangeCharacters(TextField&, const std::string& s) override { return s != "!"; }
};

TEST(TextFieldFocus, TheDelegateDecidesWhenEditingEnds) {
    auto window = Window::make();
    auto name = View::make<TextField>(Rect(0, 0, 100, 30));
    auto other = View::make<TextField>(Rect(0, 40, 100, 30));
    window->addSubview(name);
    window->addSubview(other);
    auto rule = std::make_shared<MinimumLength>();
    name->setDelegate(rule);

    EXPECT_FALSE(name->typeText("x"));
    ASSERT_TRUE(name->tap());
    EXPECT_TRUE(name->typeText("ab"));
    EXPECT_FALSE(name->typeText("!"));
    EXPECT_FALSE(other->tap());
    EXPECT_TRUE(name->isFirstResponder());
    name->typeText("c");
    EXPECT_TRUE(other->tap());
    EXPECT_TRUE(other->isFirstResponder());
    EXPECT_EQ(name->text(), "abc");
    EXPECT_EQ(rule->events, (std::vector<std::string>{"began", "ended"}));
}

}  // namespace
}  // namespace quarra::ui

namespace quarra::ui {
namespace {

TEST(Keyboard, RisesWithATextFieldAndStaysUpWhileTheFocusMovesBetweenFields) {
    auto window = Window::make();
    window->makeKeyAndVisible();
    auto a = View::make<TextField>(Rect(0, 0, 100, 30));
    auto b = View::make<TextField>(Rect(0, 40, 100, 30));
    window->addSubview(a);
    window->addSubview(b);
    std::vector<Rect> frames;
    auto token = NotificationCenter::defaultCenter().addObserver(
        KeyboardWillChangeFrameNotification, [&](const Notification& n) {
            if (const Rect* end = n.value<Rect>(KeyboardFrameEndUserInfoKey))
                frames.push_back(*end);
        });
    Rect screen = Application::shared().screenBounds();
    ASSERT_TRUE(a->tap());
    ASSERT_TRUE(b->tap());
    EXPECT_TRUE(b->resignFirstResponder());
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(frames,
              (std::vector<Rect>{
                  Rect(0, screen.height() - Keyboard::Height, screen.width(), Keyboard::Height),
                  Rect(0, screen.height(), screen.width(), Keyboard::Height)}));
    EXPECT_FALSE(Keyboard::isShown());
}

TEST(ScrollView, ScrollsARectIntoThePartTheInsetsLeaveVisible) {
    auto scroll = View::make<ScrollView>(Rect(0, 0, 100, 400));
    auto field = View::make<View>(Rect(0, 300, 100, 40));
    scroll->addSubview(field);
    scroll->setContentInset({0, 0, 216, 0});
    scroll->scrollRectToVisible(field->frame(), true);
    // 340 must sit at 400 - 216 = 184 from the top.
    EXPECT_EQ(scroll->contentOffset().y, 156);
    EXPECT_EQ(field->convertRectToWindow(field->bounds()).y(), 300 - 156);
    EXPECT_EQ(scroll->animatedScrolls(), 1);
    scroll->scrollRectToVisible(field->frame(), true);
    EXPECT_EQ(scroll->animatedScrolls(), 1);
}

}  // namespace
}  // namespace quarra::ui
