#include "quarra/ui/WindowHost.h"

#include <cairo.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/ui/CairoDrawing.h"
#include "platform/ui/WindowChanges.h"
#include "quarra/Dispatch.h"
#include "quarra/ui/Application.h"
#include "quarra/ui/Control.h"
#include "quarra/ui/TextField.h"
#include "quarra/ui/Window.h"

namespace quarra::ui {
namespace {

struct HostState {
    std::function<void()> needsDraw;
    std::atomic<bool> drawQueued{false};
    // What the last press went to, until the release.
    std::weak_ptr<View> pressed;
};

HostState& state() {
    static HostState& host = *new HostState();
    return host;
}

bool shows(const View& view) {
    return !view.isHidden() && view.alpha() > 0.01;
}

bool contains(const Rect& r, Point p) {
    return p.x >= r.x() && p.y >= r.y() && p.x < r.x() + r.width() && p.y < r.y() + r.height();
}

// The frontmost shown view under `point` (in `view`'s superview's coordinates) that takes
// touches.
ViewPtr deepestAt(const ViewPtr& view, Point point) {
    if (!shows(*view) || !view->isUserInteractionEnabled() || !contains(view->frame(), point))
        return nullptr;
    Point origin = view->boundsOrigin();
    Point local{point.x - view->frame().x() + origin.x, point.y - view->frame().y() + origin.y};
    const auto& children = view->subviews();
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
        if (auto hit = deepestAt(*child, local))
            return hit;
    }
    return view;
}

// The views of the key window a person sees, laid out, bottom to top: the window, then each
// presented controller's view.
std::vector<ViewPtr> layers() {
    std::vector<ViewPtr> views;
    if (auto window = Application::shared().keyWindow()) {
        for (View* view : windowLayers(*window))
            views.push_back(std::static_pointer_cast<View>(view->shared_from_this()));
    }
    return views;
}

// What a press at `point` goes to: the view under it or the nearest of its superviews that acts
// on taps (a label on a button passes the press on). Only the topmost screen takes presses.
ViewPtr targetAt(Point point) {
    auto views = layers();
    if (views.empty())
        return nullptr;
    for (ViewPtr view = deepestAt(views.back(), point); view; view = view->superview()) {
        if (dynamic_cast<Control*>(view.get()) || view->hasTapRecognizers())
            return view;
    }
    return nullptr;
}

// The field that has the focus, when a person sees it on the topmost screen. A field keeps the
// focus when its screen is covered, hidden or taken away; typing must not go into it unseen.
std::shared_ptr<TextField> focusedField() {
    auto field = std::dynamic_pointer_cast<TextField>(Application::shared().firstResponder());
    auto views = layers();
    if (!field || views.empty())
        return nullptr;
    for (ViewPtr view = field; view; view = view->superview()) {
        if (!shows(*view))
            return nullptr;
        if (view == views.back())
            return field;
    }
    return nullptr;
}

void collect(const ViewPtr& view, std::vector<ScreenElement>& out) {
    if (!shows(*view))
        return;
    std::string label = view->accessibilityLabel();
    std::string value = view->accessibilityValue();
    // A field shows even while it is empty and has no placeholder.
    if (!label.empty() || !value.empty() || dynamic_cast<TextField*>(view.get())) {
        ScreenElement element;
        element.label = std::move(label);
        element.value = std::move(value);
        element.frame = view->convertRectToWindow(view->bounds());
        if (auto* field = dynamic_cast<TextField*>(view.get())) {
            element.role = ScreenElement::Role::TextField;
            element.enabled = field->isEnabled();
            element.focused = field->isFirstResponder();
        } else if (auto* control = dynamic_cast<Control*>(view.get())) {
            element.role = ScreenElement::Role::Button;
            element.enabled = control->isEnabled() && control->isUserInteractionEnabled();
        }
        out.push_back(std::move(element));
    }
    for (const auto& child : view->subviews())
        collect(child, out);
}

void resize(Window& window, Size size) {
    Rect bounds(0, 0, size.width, size.height);
    if (window.frame() == bounds)
        return;
    Application::shared().setScreenBounds(bounds);
    window.setFrame(bounds);
    for (const auto& view : layers())
        view->setFrame(bounds);
    if (auto root = window.rootViewController())
        root->view()->setFrame(bounds);
}

}  // namespace

void noteWindowChange() {
    HostState& host = state();
    if (!host.needsDraw || host.drawQueued.exchange(true))
        return;
    DispatchQueue::main()->async([] {
        HostState& host = state();
        host.drawQueued = false;
        if (auto handler = host.needsDraw)
            handler();
    });
}

void WindowHost::setNeedsDrawHandler(std::function<void()> handler) {
    state().needsDraw = std::move(handler);
}

bool WindowHost::draw(cairo_t* cr, Size size, double scale) {
    auto window = Application::shared().keyWindow();
    if (!window)
        return false;
    resize(*window, size);
    cairo_save(cr);
    cairo_scale(cr, scale, scale);
    cairo_rectangle(cr, 0, 0, size.width, size.height);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_fill(cr);
    drawViews(cr, windowLayers(*window));
    cairo_restore(cr);
    return true;
}

bool WindowHost::pointerPressed(Point point) {
    ViewPtr target = targetAt(point);
    state().pressed = target;
    if (auto* control = dynamic_cast<Control*>(target.get()); control && control->isEnabled()) {
        control->setHighlighted(true);
        noteWindowChange();
    }
    return target != nullptr;
}

bool WindowHost::pointerReleased(Point point) {
    ViewPtr pressed = state().pressed.lock();
    state().pressed.reset();
    if (!pressed)
        return false;
    if (auto* control = dynamic_cast<Control*>(pressed.get());
        control && control->isHighlighted()) {
        control->setHighlighted(false);
        noteWindowChange();
    }
    // Released elsewhere: the person changed their mind.
    return targetAt(point) == pressed && pressed->tap();
}

bool WindowHost::insertText(const std::string& text) {
    if (text.empty())
        return false;
    if (auto field = focusedField())
        return field->typeText(text);
    // No field: typed characters press the screen's keys of that label, as on the lock screen's
    // keypad, so a person at a keyboard need not click each digit.
    for (char c : text) {
        if (!tapElement(std::string(1, c)))
            return false;
    }
    return true;
}

bool WindowHost::pressKey(Key key) {
    auto field = focusedField();
    if (!field)
        return false;
    switch (key) {
        case Key::Return:
            return field->pressReturn();
        case Key::Backspace:
            return field->deleteBackward();
        case Key::Tab: {
            // The next field of the screen in reading order, round to the first.
            auto views = layers();
            std::vector<std::shared_ptr<TextField>> fields;
            std::function<void(const ViewPtr&)> gather = [&](const ViewPtr& view) {
                if (!shows(*view))
                    return;
                if (auto f = std::dynamic_pointer_cast<TextField>(view);
                    f && f->canBecomeFirstResponder())
                    fields.push_back(f);
                for (const auto& child : view->subviews())
                    gather(child);
            };
            gather(views.back());
            auto at = std::find(fields.begin(), fields.end(), field);
            if (at == fields.end() || fields.size() < 2)
                return false;
            auto next = std::next(at) == fields.end() ? fields.front() : *std::next(at);
            return next->becomeFirstResponder();
        }
    }
    return false;
}

std::vector<ScreenElement> WindowHost::elements() {
    std::vector<ScreenElement> out;
    auto views = layers();
    if (views.empty())
        return out;
    collect(views.back(), out);
    std::stable_sort(out.begin(), out.end(), [](const ScreenElement& a, const ScreenElement& b) {
        return a.frame.y() != b.frame.y() ? a.frame.y() < b.frame.y() : a.frame.x() < b.frame.x();
    });
    return out;
}

bool WindowHost::tapElement(const std::string& label) {
    for (const auto& element : elements()) {
        if (element.label != label)
            continue;
        Point middle{element.frame.midX(), element.frame.midY()};
        return pointerPressed(middle) && pointerReleased(middle);
    }
    return false;
}

}  // namespace quarra::ui
