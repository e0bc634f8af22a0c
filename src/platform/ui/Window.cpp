#include "quarra/ui/Window.h"

#include "quarra/ui/Application.h"

namespace quarra::ui {

Window::Window() : View(Application::shared().screenBounds()) {}

void Window::setRootViewController(ViewControllerPtr controller) {
    if (controller == root_)
        return;
    ViewControllerPtr old = std::move(root_);
    if (old && old->isViewLoaded()) {
        old->viewWillDisappear(false);
        old->view()->removeFromSuperview();
    }
    root_ = std::move(controller);
    if (root_) {
        root_->view()->setFrame(bounds());
        root_->viewWillAppear(false);
        addSubview(root_->view());
        root_->layoutView();
    }
    if (old && old->isViewLoaded())
        old->viewDidDisappear(false);
    if (root_)
        root_->viewDidAppear(false);
}

void Window::makeKeyAndVisible() {
    setHidden(false);
    Application::shared().setKeyWindow(std::static_pointer_cast<Window>(shared_from_this()));
}

bool Window::isKeyWindow() const {
    return Application::shared().keyWindow().get() == this;
}

}  // namespace quarra::ui
