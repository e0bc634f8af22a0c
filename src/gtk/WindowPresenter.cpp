#include "quarra/gtk/WindowPresenter.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <optional>

#include "quarra/RunLoop.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/WindowHost.h"

namespace quarra::gtk {
namespace {

gboolean runDue(int, GIOCondition, gpointer) {
    RunLoop::main().runDue();
    return G_SOURCE_CONTINUE;
}

ui::Point pointOf(GtkWidget* area, double x, double y) {
    // Events come in the window's coordinates; the screens are drawn from the area's origin.
    int left = 0, top = 0;
    gtk_widget_translate_coordinates(area, gtk_widget_get_toplevel(area), 0, 0, &left, &top);
    return {x - left, y - top};
}

}  // namespace

bool joinGLibMainLoop() {
    static bool joined = false;
    if (joined)
        return true;
    int fd = RunLoop::main().fileDescriptor();
    if (fd < 0)
        return false;
    g_unix_fd_add(fd, G_IO_IN, runDue, nullptr);
    joined = true;
    return true;
}

struct WindowPresenter::State {
    GtkWidget* window = nullptr;
    GtkWidget* area = nullptr;
    GtkIMContext* input = nullptr;
    std::function<void()> closed;
    std::function<void()> painted;
    gulong paintHandler = 0;

    void redraw() const { gtk_widget_queue_draw(area); }

    static gboolean onDraw(GtkWidget* area, cairo_t* cr, gpointer) {
        ui::WindowHost::draw(cr, {static_cast<double>(gtk_widget_get_allocated_width(area)),
                                  static_cast<double>(gtk_widget_get_allocated_height(area))});
        return TRUE;
    }

    static gboolean onButton(GtkWidget* area, GdkEventButton* event, gpointer self) {
        // A double click arrives as two presses and a double-press event: the presses suffice.
        if (event->button != GDK_BUTTON_PRIMARY ||
            (event->type != GDK_BUTTON_PRESS && event->type != GDK_BUTTON_RELEASE))
            return FALSE;
        ui::Point point = pointOf(area, event->x, event->y);
        if (event->type == GDK_BUTTON_PRESS)
            ui::WindowHost::pointerPressed(point);
        else
            ui::WindowHost::pointerReleased(point);
        static_cast<State*>(self)->redraw();
        return TRUE;
    }

    static gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer self) {
        auto* state = static_cast<State*>(self);
        std::optional<ui::Key> key;
        switch (event->keyval) {
            case GDK_KEY_Return:
            case GDK_KEY_KP_Enter:
                key = ui::Key::Return;
                break;
            case GDK_KEY_BackSpace:
                key = ui::Key::Backspace;
                break;
            case GDK_KEY_Tab:
                key = ui::Key::Tab;
                break;
            default:
                break;
        }
        if (key && ui::WindowHost::pressKey(*key)) {
            state->redraw();
            return TRUE;
        }
        // Typed text comes through the input method, which also composes accents and the like;
        // so does a key that no field of the shown screen took: the screen's keys (a keypad) may
        // take it as typing.
        return gtk_im_context_filter_keypress(state->input, event);
    }

    static void onCommit(GtkIMContext*, const char* text, gpointer self) {
        auto* state = static_cast<State*>(self);
        if (ui::WindowHost::insertText(text))
            state->redraw();
        else
            gtk_widget_error_bell(state->window);
    }

    static gboolean onFocus(GtkWidget*, GdkEventFocus* event, gpointer self) {
        auto* state = static_cast<State*>(self);
        if (event->in)
            gtk_im_context_focus_in(state->input);
        else
            gtk_im_context_focus_out(state->input);
        return FALSE;
    }

    static void onRealize(GtkWidget* window, gpointer self) {
        gtk_im_context_set_client_window(static_cast<State*>(self)->input,
                                         gtk_widget_get_window(window));
    }

    static gboolean onDelete(GtkWidget* window, GdkEvent*, gpointer self) {
        gtk_widget_hide(window);
        if (auto handler = static_cast<State*>(self)->closed)
            handler();
        return TRUE;
    }

    static void onPainted(GdkFrameClock*, gpointer self) {
        if (auto handler = static_cast<State*>(self)->painted)
            handler();
    }
};

WindowPresenter::WindowPresenter(const std::string& title) : state_(std::make_unique<State>()) {
    joinGLibMainLoop();
    State* state = state_.get();
    ui::Rect screen = ui::Application::shared().screenBounds();
    state->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(state->window), title.c_str());
    gtk_window_set_default_size(GTK_WINDOW(state->window), static_cast<int>(screen.width()),
                                static_cast<int>(screen.height()));
    // The screens are laid out for one size, as on a phone.
    gtk_window_set_resizable(GTK_WINDOW(state->window), FALSE);
    state->area = gtk_drawing_area_new();
    gtk_widget_set_size_request(state->area, static_cast<int>(screen.width()),
                                static_cast<int>(screen.height()));
    gtk_container_add(GTK_CONTAINER(state->window), state->area);
    gtk_widget_add_events(state->area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    state->input = gtk_im_multicontext_new();
    g_signal_connect(state->area, "draw", G_CALLBACK(State::onDraw), state);
    g_signal_connect(state->area, "button-press-event", G_CALLBACK(State::onButton), state);
    g_signal_connect(state->area, "button-release-event", G_CALLBACK(State::onButton), state);
    g_signal_connect(state->window, "key-press-event", G_CALLBACK(State::onKey), state);
    g_signal_connect(state->window, "focus-in-event", G_CALLBACK(State::onFocus), state);
    g_signal_connect(state->window, "focus-out-event", G_CALLBACK(State::onFocus), state);
    g_signal_connect(state->window, "realize", G_CALLBACK(State::onRealize), state);
    g_signal_connect(state->window, "delete-event", G_CALLBACK(State::onDelete), state);
    g_signal_connect(state->input, "commit", G_CALLBACK(State::onCommit), state);
    ui::WindowHost::setNeedsDrawHandler([state] { state->redraw(); });
    gtk_widget_show_all(state->window);
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(state->window)) {
        state->paintHandler =
            g_signal_connect(clock, "after-paint", G_CALLBACK(State::onPainted), state);
    }
}

WindowPresenter::~WindowPresenter() {
    ui::WindowHost::setNeedsDrawHandler(nullptr);
    if (GdkFrameClock* clock = gtk_widget_get_frame_clock(state_->window);
        clock && state_->paintHandler)
        g_signal_handler_disconnect(clock, state_->paintHandler);
    gtk_im_context_set_client_window(state_->input, nullptr);
    g_object_unref(state_->input);
    gtk_widget_destroy(state_->window);
}

GtkWidget* WindowPresenter::window() const {
    return state_->window;
}

void WindowPresenter::setCloseHandler(std::function<void()> handler) {
    state_->closed = std::move(handler);
}

void WindowPresenter::setPaintedHandler(std::function<void()> handler) {
    state_->painted = std::move(handler);
}

}  // namespace quarra::gtk
