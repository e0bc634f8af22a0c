#pragma once
// A rectangle on screen with subviews: the base of every widget of the UI model. The model keeps
// exactly the state a screen sets and a test reads (frame, hidden, alpha, colours, subviews, layout
// constraints, the layer) and draws nothing itself: it describes its look to a Canvas when a
// renderer asks. A user's tap is simulated with tap(). Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Dispatch.h"
#include "quarra/ui/Canvas.h"
#include "quarra/ui/Graphics.h"
#include "quarra/ui/Layer.h"
#include "quarra/ui/Responder.h"

namespace quarra::ui {

class View;
using ViewPtr = std::shared_ptr<View>;

// The numbering of layout attributes that nibs and constraints use.
enum class LayoutAttribute : long {
    NotAnAttribute = 0,
    Left = 1,
    Right = 2,
    Top = 3,
    Bottom = 4,
    Leading = 5,
    Trailing = 6,
    Width = 7,
    Height = 8,
    CenterX = 9,
    CenterY = 10,
};

// "first.attribute = second.attribute * multiplier + constant". The model solves no constraints:
// layout code reads them (a constant that an animation moves, for instance).
struct LayoutConstraint {
    std::weak_ptr<View> firstItem;
    LayoutAttribute firstAttribute = LayoutAttribute::NotAnAttribute;
    std::weak_ptr<View> secondItem;
    LayoutAttribute secondAttribute = LayoutAttribute::NotAnAttribute;
    double multiplier = 1;
    double constant = 0;
    // Of two constraints that disagree, the higher priority wins (1000 is required).
    double priority = 1000;
};
using LayoutConstraintPtr = std::shared_ptr<LayoutConstraint>;

class View : public Responder {
  public:
    explicit View(Rect frame = {});

    // Views live in shared_ptr: make<Label>(frame) and the like.
    template <class T = View, class... Args>
    static std::shared_ptr<T> make(Args&&... args) {
        return std::make_shared<T>(std::forward<Args>(args)...);
    }

    Rect frame() const { return frame_; }
    void setFrame(Rect frame);
    // The frame's size at the origin.
    Rect bounds() const { return {0, 0, frame_.width(), frame_.height()}; }

    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);
    double alpha() const { return alpha_; }
    void setAlpha(double alpha);
    std::optional<Color> backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(std::optional<Color> color);
    // Set here or inherited from the superview; a system blue when nobody set one.
    Color tintColor() const;
    virtual void setTintColor(std::optional<Color> color);
    bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
    void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool translates) {
        translatesMask_ = translates;
    }
    long tag() const { return tag_; }
    void setTag(long tag) { tag_ = tag; }
    const std::shared_ptr<Layer>& layer() const { return layer_; }

    // --- The hierarchy
    const std::vector<ViewPtr>& subviews() const { return subviews_; }
    ViewPtr superview() const { return superview_.lock(); }
    // Moves `view` here (out of its former superview), in front of the others.
    void addSubview(const ViewPtr& view);
    void removeFromSuperview();
    void bringSubviewToFront(const ViewPtr& view);
    // This view or the first descendant (depth first) with the tag.
    ViewPtr viewWithTag(long tag);
    // True when this view and all its superviews are shown.
    bool isVisibleInHierarchy() const;
    // `rect`, given in this view's coordinates, in the coordinates of the topmost superview (the
    // window), taking scrolled content into account.
    Rect convertRectToWindow(const Rect& rect) const;
    // Where the bounds start in the content: the scrolled amount of a scroll view, else zero.
    virtual Point boundsOrigin() const { return {}; }
    // Resigns the first responder when it is this view or one of its descendants.
    bool endEditing();

    // --- Layout
    const std::vector<LayoutConstraintPtr>& constraints() const { return constraints_; }
    void addConstraint(LayoutConstraintPtr constraint) {
        constraints_.push_back(std::move(constraint));
    }
    void setNeedsLayout() { needsLayout_ = true; }
    bool needsLayout() const { return needsLayout_; }
    // Lays this view and its subviews out when marked (a new frame marks a view).
    void layoutIfNeeded();
    // Places the subviews; the base runs the layout handler, if any.
    virtual void layoutSubviews();
    // Layout written as a function, for views whose layout comes from a nib factory.
    void setLayoutHandler(std::function<void(View&)> handler) {
        layoutHandler_ = std::move(handler);
    }

    // --- Drawing
    // Marks the content as changed; counted, so tests see redraws. A window's host hears of it
    // (WindowHost.h), as of every other change that shows.
    void setNeedsDisplay();
    int displayCount() const { return displayCount_; }
    // Draws the view's own content into `rect` (its bounds); the base draws nothing.
    virtual void draw(Canvas& canvas, const Rect& rect) const;

    // --- Accessibility
    // What a screen reader says of the view, and its current value (a field's text, a checkbox's
    // state); both empty for a view that says nothing, as the base.
    virtual std::string accessibilityLabel() const { return {}; }
    virtual std::string accessibilityValue() const { return {}; }

    // --- User actions
    // Runs `handler` when the view is tapped.
    void addTapRecognizer(std::function<void()> handler) {
        tapRecognizers_.push_back(std::move(handler));
    }
    bool hasTapRecognizers() const { return !tapRecognizers_.empty(); }
    // Simulates a user's tap: nothing happens (false) when the view is hidden, or it or a
    // superview takes no user interaction.
    virtual bool tap();

    // Applies `changes` now and calls `completion(true)` when `duration` seconds have passed on
    // the UI scheduler.
    static void animate(double duration, const std::function<void()>& changes,
                        std::function<void(bool finished)> completion = nullptr);

  protected:
    bool acceptsTouches() const;
    void runTapRecognizers();

  private:
    Rect frame_;
    bool hidden_ = false;
    double alpha_ = 1;
    std::optional<Color> backgroundColor_;
    std::optional<Color> tintColor_;
    bool userInteractionEnabled_ = true;
    bool translatesMask_ = true;
    long tag_ = 0;
    std::shared_ptr<Layer> layer_ = Layer::make();
    std::vector<ViewPtr> subviews_;
    std::weak_ptr<View> superview_;
    std::vector<LayoutConstraintPtr> constraints_;
    bool needsLayout_ = true;
    std::function<void(View&)> layoutHandler_;
    int displayCount_ = 0;
    std::vector<std::function<void()>> tapRecognizers_;
};

// Seconds as the dispatch clock counts them.
inline Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace quarra::ui
