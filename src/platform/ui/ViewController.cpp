#include "quarra/ui/ViewController.h"

#include "platform/ui/WindowChanges.h"
#include "quarra/ui/Application.h"

namespace quarra::ui {

const ViewPtr& ViewController::view() {
    if (!view_) {
        view_ = loadView();
        viewDidLoad();
    }
    return view_;
}

void ViewController::layoutView() {
    view()->layoutIfNeeded();
    viewDidLayoutSubviews();
}

ViewPtr ViewController::loadView() {
    return View::make(Application::shared().screenBounds());
}

bool ViewController::presentViewController(const ViewControllerPtr& controller, bool animated,
                                           std::function<void()> completion) {
    if (!controller || presented_ || controller->presentingViewController() ||
        controller.get() == this) {
        return false;
    }
    presented_ = controller;
    controller->presenting_ = weak_from_this();
    controller->view()->setFrame(Application::shared().screenBounds());
    controller->viewWillAppear(animated);
    controller->layoutView();
    controller->viewDidAppear(animated);
    noteWindowChange();
    if (completion)
        completion();
    return true;
}

void ViewController::dismissViewController(bool animated, std::function<void()> completion) {
    if (!presented_) {
        if (auto presenter = presentingViewController())
            presenter->dismissViewController(animated, std::move(completion));
        return;
    }
    // The whole chain above this controller goes, top first.
    ViewControllerPtr top = presented_;
    while (top->presented_)
        top = top->presented_;
    for (;;) {
        ViewControllerPtr presenter = top->presentingViewController();
        top->viewWillDisappear(animated);
        presenter->presented_.reset();
        top->presenting_.reset();
        top->viewDidDisappear(animated);
        if (presenter.get() == this)
            break;
        top = presenter;
    }
    noteWindowChange();
    if (completion)
        completion();
}

}  // namespace quarra::ui
