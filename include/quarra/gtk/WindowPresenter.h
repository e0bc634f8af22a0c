#pragma once
// The SDK's screens in a GTK 3 window: the optional quarra-gtk library (CMake: find_package(quarra
// COMPONENTS gtk), quarra::quarra_gtk; pkg-config: quarra-gtk). A host without GTK links the SDK
// alone and may host the screens in its own toolkit through quarra/ui/WindowHost.h.
//
//     gtk_init(&argc, &argv);
//     quarra::gtk::joinGLibMainLoop();                  // the SDK's main queue runs from GLib
//     quarra::gtk::WindowPresenter presenter("Notes");  // shows the key window
//     presenter.setCloseHandler([] { gtk_main_quit(); });
//     gtk_main();
//
// Main thread only, after GTK is initialised.
#include <functional>
#include <memory>
#include <string>

// GTK's own declaration, so that this header needs no GTK headers.
typedef struct _GtkWidget GtkWidget;

namespace quarra::gtk {

// Runs the SDK's main-queue blocks from GLib's default main context (a watch on the main run
// loop's descriptor, RunLoop.h), from now on for the life of the process, so a host's gtk_main()
// or GMainLoop is the SDK's main loop too. Joining again does nothing. False when the process has
// no descriptor left.
bool joinGLibMainLoop();

class WindowPresenter {
  public:
    // A top-level window with `title`, as large as the SDK's screen, that shows the application's
    // key window (and what is presented over it), redraws when it changes and passes the person's
    // clicks, typing and keys on. Joins the GLib main loop (above). Shown at once.
    explicit WindowPresenter(const std::string& title);
    // Closes the window.
    ~WindowPresenter();
    WindowPresenter(const WindowPresenter&) = delete;
    WindowPresenter& operator=(const WindowPresenter&) = delete;

    // The GtkWindow, for the host's own settings (icon, transient parent, position).
    GtkWidget* window() const;
    // Runs when the person closes the window; it is hidden then, and the presenter stays usable.
    void setCloseHandler(std::function<void()> handler);
    // Runs after each time the window has been painted (for a host that records or checks what
    // was shown).
    void setPaintedHandler(std::function<void()> handler);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quarra::gtk
