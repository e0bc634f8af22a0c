// The SDK's screens in a real GTK window on an X server of the test's own (Xvfb), used as a person
// uses them: xdotool moves the pointer, clicks and types through the X server, and what the window
// shows is read back from the X server and compared with the screens' own drawing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "auth/ui/LKLockScreenViewController.h"
#include "quarra/Bundle.h"
#include "quarra/TVKQuarraAuth.h"
#include "quarra/gtk/WindowPresenter.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Biometrics.h"
#include "quarra/ui/Scheduler.h"
#include "quarra/ui/Window.h"
#include "quarra/ui/WindowHost.h"
#include "support/PasscodeJudge.h"
#include "support/SignInTestBed.h"

// Last: the X headers define macros (None, Status) that the SDK's names would collide with.
#include <gdk/gdkx.h>

extern char** environ;

namespace quarra {
namespace {

using std::chrono::milliseconds;
using ui::ScreenElement;
using ui::WindowHost;

// Xvfb on a display number it picks itself; it names the number on a pipe once it takes clients.
class XServer {
  public:
    XServer() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        // The duplicate is inherited; the pipe's own ends close on exec.
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
        const char* argv[] = {"Xvfb",       "-displayfd", "3",   "-screen",  "0",
                              "800x800x24", "-nolisten",  "tcp", "-noreset", nullptr};
        int spawned =
            posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (spawned != 0) {
            pid_ = -1;
            close(fds[0]);
            return;
        }
        // Blocks until Xvfb is ready, or reads the end of the pipe when it gave up.
        char c;
        std::string number;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (!number.empty())
            display_ = ":" + number;
    }
    ~XServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

class GtkPresenter : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(x.display().empty()) << "Xvfb did not start (Debian: xvfb)";
        // No accessibility bridge: it would look for the desktop's accessibility bus, which the
        // test has none of, and keeps what it allocates at start for ever. Set before any thread
        // of the test starts.
        g_setenv("NO_AT_BRIDGE", "1", TRUE);
        std::string option = "--display=" + x.display();
        char name[] = "test_gtk";
        char* args[] = {name, option.data(), nullptr};
        char** argv = args;
        int argc = 2;
        ASSERT_TRUE(gtk_init_check(&argc, &argv));
        Bundle::setMainBundle("com.example.host");
        ui::Scheduler::setShared(clock);
        biometrics->setUnavailable(ui::BiometricErrorNotEnrolled);
        ui::BiometricService::setShared(biometrics);
        window->setRootViewController(std::make_shared<ui::ViewController>());
        window->makeKeyAndVisible();
    }
    void TearDown() override {
        presenter.reset();
        ui::Scheduler::setShared(nullptr);
        ui::BiometricService::setShared(nullptr);
    }

    // Opens the window and waits until the X server shows it painted.
    void open() {
        presenter = std::make_unique<gtk::WindowPresenter>("Quarra");
        presenter->setPaintedHandler([this] { ++paints; });
        ASSERT_TRUE(pumpUntil([this] { return paints > 0; }));
        xid = std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(presenter->window())));
        ASSERT_TRUE(xdotool({"windowfocus", "--sync", xid}));
    }

    // Runs GLib's main loop (which runs the SDK's main queue too) until `done` holds; the only
    // timer bounds a hang.
    static bool pumpUntil(const std::function<bool()>& done) {
        bool expired = false;
        guint guard = g_timeout_add_seconds(
            60,
            [](gpointer flag) {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &expired);
        while (!done() && !expired)
            g_main_context_iteration(nullptr, TRUE);
        if (!expired)
            g_source_remove(guard);
        return done();
    }

    // Runs xdotool against the test's X server and waits for it to finish.
    bool xdotool(std::vector<std::string> args) const {
        args.insert(args.begin(), "xdotool");
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        char** env = g_environ_setenv(g_get_environ(), "DISPLAY", x.display().c_str(), TRUE);
        int status = -1;
        GError* error = nullptr;
        bool ran = g_spawn_sync(nullptr, argv.data(), env, G_SPAWN_SEARCH_PATH, nullptr, nullptr,
                                nullptr, nullptr, &status, &error);
        g_strfreev(env);
        if (error) {
            ADD_FAILURE() << "xdotool: " << error->message;
            g_error_free(error);
        }
        return ran && g_spawn_check_wait_status(status, nullptr);
    }

    bool clickAt(const ui::Rect& frame) const {
        return xdotool({"mousemove", "--window", xid, "--sync",
                        std::to_string(static_cast<int>(frame.midX())),
                        std::to_string(static_cast<int>(frame.midY())), "click", "1"});
    }
    // Clicks the element with `label` where it shows in the window.
    bool click(const std::string& label) const {
        for (const auto& element : WindowHost::elements()) {
            if (element.label == label)
                return clickAt(element.frame);
        }
        ADD_FAILURE() << "nothing on the screen says " << label;
        return false;
    }
    bool type(const std::string& text) const { return xdotool({"type", "--delay", "20", text}); }
    bool key(const std::string& name) const { return xdotool({"key", name}); }

    static const ScreenElement* element(const std::vector<ScreenElement>& all,
                                        const std::function<bool(const ScreenElement&)>& match) {
        for (const auto& e : all) {
            if (match(e))
                return &e;
        }
        return nullptr;
    }
    static bool shows(const std::string& label) {
        auto all = WindowHost::elements();
        return element(all, [&](const ScreenElement& e) { return e.label == label; });
    }
    // The lock screen's dot row as a screen reader reads it.
    static std::string dots() {
        for (const auto& e : WindowHost::elements()) {
            if (e.value.find("\u25cf") != std::string::npos ||
                e.value.find("\u25cb") != std::string::npos)
                return e.value;
        }
        return "";
    }
    static std::string fieldValue(std::size_t index) {
        std::vector<ScreenElement> fields;
        for (const auto& e : WindowHost::elements()) {
            if (e.role == ScreenElement::Role::TextField)
                fields.push_back(e);
        }
        return index < fields.size() ? fields[index].value : "<no field>";
    }

    // The window's pixels as the X server has them, against the screens drawn with cairo at the
    // same size: the share of pixels that differ, overall and inside `region`, and how many
    // pixels inside `region` are ink (coloured or darker than light grey) on the screen.
    struct Comparison {
        double differing = 1, differingInRegion = 1;
        int inkInRegion = 0;
    };
    Comparison compareWithDrawing(const ui::Rect& region) {
        // What is on the screen is what was last painted: wait for a paint after any change.
        int painted = paints;
        gtk_widget_queue_draw(presenter->window());
        EXPECT_TRUE(pumpUntil([&] { return paints > painted; }));
        GdkWindow* gdkWindow = gtk_widget_get_window(presenter->window());
        int width = gdk_window_get_width(gdkWindow), height = gdk_window_get_height(gdkWindow);
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdkWindow, 0, 0, width, height);
        cairo_surface_t* drawn = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
        cairo_t* cr = cairo_create(drawn);
        WindowHost::draw(cr, {static_cast<double>(width), static_cast<double>(height)});
        cairo_destroy(cr);
        cairo_surface_flush(drawn);
        Comparison result;
        if (!shot)
            return result;
        const guchar* shotPixels = gdk_pixbuf_get_pixels(shot);
        int shotStride = gdk_pixbuf_get_rowstride(shot), channels = gdk_pixbuf_get_n_channels(shot);
        const unsigned char* drawnPixels = cairo_image_surface_get_data(drawn);
        int drawnStride = cairo_image_surface_get_stride(drawn);
        long differing = 0, differingInRegion = 0, inRegion = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const guchar* s = shotPixels + y * shotStride + x * channels;
                auto d =
                    *reinterpret_cast<const std::uint32_t*>(drawnPixels + y * drawnStride + x * 4);
                int rgb[3] = {int(d >> 16 & 0xff), int(d >> 8 & 0xff), int(d & 0xff)};
                bool differs = false;
                for (int c = 0; c < 3; ++c)
                    differs = differs || std::abs(s[c] - rgb[c]) > 24;
                differing += differs;
                bool inside = x >= region.x() && x < region.x() + region.width() &&
                              y >= region.y() && y < region.y() + region.height();
                if (inside) {
                    ++inRegion;
                    differingInRegion += differs;
                    result.inkInRegion += s[0] < 200 || s[1] < 200 || s[2] < 200;
                }
            }
        }
        result.differing = double(differing) / (double(width) * height);
        result.differingInRegion = inRegion ? double(differingInRegion) / inRegion : 1;
        g_object_unref(shot);
        cairo_surface_destroy(drawn);
        return result;
    }
    Comparison compareAround(const std::string& label) {
        auto all = WindowHost::elements();
        const auto* title = element(all, [&](const ScreenElement& e) { return e.label == label; });
        EXPECT_TRUE(title) << label;
        return compareWithDrawing(title ? title->frame : ui::Rect());
    }

    XServer x;
    std::shared_ptr<ui::ManualScheduler> clock = std::make_shared<ui::ManualScheduler>();
    std::shared_ptr<ui::ScriptedBiometricService> biometrics =
        std::make_shared<ui::ScriptedBiometricService>();
    std::shared_ptr<ui::Window> window = ui::Window::make();
    std::unique_ptr<gtk::WindowPresenter> presenter;
    std::string xid;
    int paints = 0;
};

TEST_F(GtkPresenter, TheLockScreenShowsInTheWindowAndUnlocksByClicks) {
    auto judge = std::make_shared<test::PasscodeJudge>();
    auto lock = LKLockScreenViewController::make();
    lock->setLockScreenMode(LKLockScreenModeNormal);
    lock->setDelegate(judge);
    lock->setDataSource(judge);
    ASSERT_TRUE(window->rootViewController()->presentViewController(lock, false));
    ASSERT_NO_FATAL_FAILURE(open());

    Comparison screen = compareAround("Enter Passcode");
    EXPECT_LT(screen.differing, 0.02);
    EXPECT_LT(screen.differingInRegion, 0.1);
    EXPECT_GT(screen.inkInRegion, 50);

    for (const char* digit : {"1", "2", "3", "4"})
        ASSERT_TRUE(click(digit));
    ASSERT_TRUE(pumpUntil([&] { return !judge->events.empty(); }));
    EXPECT_EQ(judge->events, std::vector<std::string>{"failure"});
    clock->advance(milliseconds(500));
    for (const char* digit : {"2", "5", "8", "0"})
        ASSERT_TRUE(click(digit));
    ASSERT_TRUE(pumpUntil([&] { return judge->events.size() == 2; }));
    EXPECT_EQ(judge->events[1], "unlocked 2580");
    EXPECT_FALSE(shows("Enter Passcode"));
}

// Typing and clicking through the sign-in: the SDK's own error text for a wrong password shows
// whole inside the window, the password is corrected with backspace, the new user's passcode is
// chosen on the lock screen.
TEST_F(GtkPresenter, SignInByTypingAndClickingWithAWrongThenTheRightPassword) {
    test::SignInTestBed bed;
    int calls = 0;
    ErrorPtr failure;
    TVKQuarraAuth::sharedInstance().authenticateWithHandler(
        [&](const TVKUserPtr&, const ErrorPtr& e) {
            ++calls;
            failure = e;
        });
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_TRUE(pumpUntil([] { return shows("Next"); }));

    auto fields = WindowHost::elements();
    const auto* username = element(
        fields, [](const ScreenElement& e) { return e.role == ScreenElement::Role::TextField; });
    ASSERT_TRUE(username);
    ASSERT_TRUE(clickAt(username->frame));
    ASSERT_TRUE(type("alice"));
    ASSERT_TRUE(pumpUntil([] { return fieldValue(0) == "alice"; }));
    ASSERT_TRUE(key("Return"));
    ASSERT_TRUE(pumpUntil([] { return shows("Log in"); }));
    clock->advance(milliseconds(200));
    ASSERT_TRUE(pumpUntil([] { return fieldValue(1) == ""; }));

    std::vector<ScreenElement> textFields;
    for (const auto& e : WindowHost::elements()) {
        if (e.role == ScreenElement::Role::TextField)
            textFields.push_back(e);
    }
    ASSERT_EQ(textFields.size(), 2u);
    ASSERT_TRUE(clickAt(textFields[1].frame));
    ASSERT_TRUE(type("wrong"));
    ASSERT_TRUE(pumpUntil([] { return fieldValue(1) == "\u2022\u2022\u2022\u2022\u2022"; }));
    ASSERT_TRUE(click("Log in"));
    const std::string sdkText =
        "Authorization failed\nQuarra Response: Invalid username or password";
    ASSERT_TRUE(pumpUntil([&] { return shows(sdkText); }));
    Comparison error = compareAround(sdkText);
    EXPECT_LT(error.differing, 0.02);
    EXPECT_LT(error.differingInRegion, 0.1);
    EXPECT_GT(error.inkInRegion, 30);

    ASSERT_TRUE(xdotool({"key", "BackSpace", "BackSpace", "BackSpace", "BackSpace", "BackSpace"}));
    ASSERT_TRUE(pumpUntil([] { return fieldValue(1).empty(); }));
    ASSERT_TRUE(type(test::SignInTestBed::AlicePassword));
    ASSERT_TRUE(pumpUntil([] { return fieldValue(1).size() == 6 * 3; }));
    ASSERT_TRUE(key("Return"));
    ASSERT_TRUE(pumpUntil([] { return shows("Set Passcode"); }));
    Comparison passcode = compareAround("Set Passcode");
    EXPECT_LT(passcode.differing, 0.02);
    EXPECT_GT(passcode.inkInRegion, 50);
    // Typed on the keyboard, the passcode fills the dots (the password field keeps the focus
    // under the lock screen and takes none of it); confirmed at once, while the confirmation
    // slides in.
    ASSERT_TRUE(type("135"));
    ASSERT_TRUE(pumpUntil([] { return dots() == "\u25cf\u25cf\u25cf\u25cb"; }));
    ASSERT_TRUE(type("7"));
    ASSERT_TRUE(pumpUntil([] { return shows("Confirm Passcode"); }));
    ASSERT_TRUE(type("1357"));
    ASSERT_TRUE(pumpUntil([&] {
        clock->advance(milliseconds(600));
        return calls > 0;
    }));
    EXPECT_FALSE(failure);
    EXPECT_FALSE(shows("Confirm Passcode"));
}

}  // namespace
}  // namespace quarra
