#include "quarra/ui/View.h"

#include <algorithm>

#include "quarra/ui/Application.h"
#include "quarra/ui/Scheduler.h"

namespace quarra::ui {

View::View(Rect frame) : frame_(frame) {
    layer_->setFrame(frame);
}

void View::setFrame(Rect frame) {
    if (frame.size != frame_.size)
        needsLayout_ = true;
    frame_ = frame;
    layer_->setFrame(frame);
}

Color View::tintColor() const {
    if (tintColor_)
        return *tintColor_;
    if (auto parent = superview())
        return parent->tintColor();
    return Color::rgb(0, 122 / 255.0, 1);
}

void View::setTintColor(std::optional<Color> color) {
    tintColor_ = color;
    setNeedsDisplay();
}

void View::addSubview(const ViewPtr& view) {
    if (!view || view.get() == this)
        return;
    ViewPtr keep = view;
    keep->removeFromSuperview();
    subviews_.push_back(keep);
    keep->superview_ = std::static_pointer_cast<View>(shared_from_this());
    setNeedsLayout();
}

void View::removeFromSuperview() {
    auto parent = superview();
    if (!parent)
        return;
    auto& siblings = parent->subviews_;
    siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                  [this](const ViewPtr& v) { return v.get() == this; }),
                   siblings.end());
    superview_.reset();
}

void View::bringSubviewToFront(const ViewPtr& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end())
        return;
    std::rotate(it, it + 1, subviews_.end());
}

ViewPtr View::viewWithTag(long tag) {
    if (tag_ == tag)
        return std::static_pointer_cast<View>(shared_from_this());
    for (const auto& child : subviews_) {
        if (auto found = child->viewWithTag(tag))
            return found;
    }
    return nullptr;
}

bool View::isVisibleInHierarchy() const {
    for (const View* v = this; v; v = v->superview_.lock().get()) {
        if (v->hidden_)
            return false;
    }
    return true;
}

Rect View::convertRectToWindow(const Rect& rect) const {
    Rect result = rect;
    for (const View* v = this; v; v = v->superview_.lock().get()) {
        Point scrolled = v->boundsOrigin();
        result.origin.x -= scrolled.x;
        result.origin.y -= scrolled.y;
        if (!v->superview_.lock())
            break;
        result.origin.x += v->frame_.x();
        result.origin.y += v->frame_.y();
    }
    return result;
}

bool View::endEditing() {
    auto responder = Application::shared().firstResponder();
    for (auto* v = dynamic_cast<View*>(responder.get()); v; v = v->superview_.lock().get()) {
        if (v == this)
            return responder->resignFirstResponder();
    }
    return true;
}

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    for (const auto& child : subviews_)
        child->layoutIfNeeded();
}

void View::layoutSubviews() {
    if (layoutHandler_)
        layoutHandler_(*this);
}

void View::draw(Canvas&, const Rect&) const {}

bool View::acceptsTouches() const {
    for (const View* v = this; v; v = v->superview_.lock().get()) {
        if (v->hidden_ || !v->userInteractionEnabled_)
            return false;
    }
    return true;
}

void View::runTapRecognizers() {
    // A recogniser may change the list; run the ones present at the tap.
    auto recognizers = tapRecognizers_;
    for (const auto& recognizer : recognizers)
        recognizer();
}

bool View::tap() {
    if (!acceptsTouches())
        return false;
    runTapRecognizers();
    return true;
}

void View::animate(double duration, const std::function<void()>& changes,
                   std::function<void(bool finished)> completion) {
    if (changes)
        changes();
    if (completion) {
        Scheduler::shared().after(seconds(duration),
                                  [completion = std::move(completion)] { completion(true); });
    }
}

}  // namespace quarra::ui
