#pragma once
// The screen-sized view that shows a root view controller's view. The key window is the one the
// application's focus and presentations start from.
#include "quarra/ui/View.h"
#include "quarra/ui/ViewController.h"

namespace quarra::ui {

class Window : public View {
  public:
    // A window as large as the screen.
    Window();
    explicit Window(Rect frame) : View(frame) {}

    static std::shared_ptr<Window> make() { return std::make_shared<Window>(); }

    const ViewControllerPtr& rootViewController() const { return root_; }
    // Shows `controller`'s view filling the window in place of the former root's; the former root
    // is told that it disappears and the new one that it appears.
    void setRootViewController(ViewControllerPtr controller);
    // Makes this the application's key window.
    void makeKeyAndVisible();
    bool isKeyWindow() const;

  private:
    ViewControllerPtr root_;
};

}  // namespace quarra::ui
