#pragma once
// Owns a screen's view and presents other controllers over itself. A controller presents at most
// one controller at a time; the chain of presented controllers ends at the one on top. The view is
// made on first use (loadView, then viewDidLoad). Transitions finish at once: appearance calls
// and completions run before present or dismiss returns. Main thread only.
#include <functional>
#include <memory>
#include <string>

#include "quarra/ui/View.h"

namespace quarra::ui {

class ViewController;
using ViewControllerPtr = std::shared_ptr<ViewController>;

// Numbered as the platform numbers them.
enum class ModalPresentationStyle : long {
    FullScreen = 0,
    PageSheet = 1,
    FormSheet = 2,
    CurrentContext = 3,
    Custom = 4,
    OverFullScreen = 5,
};

enum InterfaceOrientationMask : unsigned long {
    InterfaceOrientationMaskPortrait = 1 << 1,
    InterfaceOrientationMaskPortraitUpsideDown = 1 << 2,
    InterfaceOrientationMaskLandscapeRight = 1 << 3,
    InterfaceOrientationMaskLandscapeLeft = 1 << 4,
    InterfaceOrientationMaskAll = 0x1e,
};

class ViewController : public std::enable_shared_from_this<ViewController> {
  public:
    ViewController() = default;
    virtual ~ViewController() = default;
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The view, made (and viewDidLoad called) on first use.
    const ViewPtr& view();
    bool isViewLoaded() const { return view_ != nullptr; }
    // Lays the view out and then calls viewDidLayoutSubviews.
    void layoutView();

    ViewControllerPtr presentedViewController() const { return presented_; }
    ViewControllerPtr presentingViewController() const { return presenting_.lock(); }
    ModalPresentationStyle modalPresentationStyle() const { return presentationStyle_; }
    void setModalPresentationStyle(ModalPresentationStyle style) { presentationStyle_ = style; }

    // Shows `controller` over this one, full screen. False (and no completion) when this
    // controller already presents one or `controller` is already presented somewhere.
    bool presentViewController(const ViewControllerPtr& controller, bool animated,
                               std::function<void()> completion = nullptr);
    // With a presented controller: dismisses it and whatever it presents. Otherwise asks the
    // presenting controller to dismiss this one. Nothing happens (no completion) when neither
    // exists.
    void dismissViewController(bool animated, std::function<void()> completion = nullptr);

    virtual bool shouldAutorotate() const { return true; }
    virtual unsigned long supportedInterfaceOrientations() const {
        return InterfaceOrientationMaskAll;
    }

  protected:
    // Makes the view; the base makes a plain view of the screen's size.
    virtual ViewPtr loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool /*animated*/) {}
    virtual void viewDidAppear(bool /*animated*/) {}
    virtual void viewWillDisappear(bool /*animated*/) {}
    virtual void viewDidDisappear(bool /*animated*/) {}
    virtual void viewDidLayoutSubviews() {}

  private:
    // A window's root controller appears and disappears with it.
    friend class Window;

    ViewPtr view_;
    ViewControllerPtr presented_;
    std::weak_ptr<ViewController> presenting_;
    ModalPresentationStyle presentationStyle_ = ModalPresentationStyle::FullScreen;
};

}  // namespace quarra::ui
