#pragma once
// The busy overlay: a spinner that turns while the SDK waits on the server. Hidden until started.
#include "quarra/ui/ImageView.h"
#include "quarra/ui/View.h"

namespace quarra {

class TVKHUDView : public ui::View {
  public:
    // A hidden overlay with its nib content in place.
    static std::shared_ptr<TVKHUDView> make(ui::Rect frame = {});

    // Turns the spinner forever, in front of its siblings, and shows the view.
    void startAnimating();
    // Stops the spinner and hides the view.
    void stopAnimating();

    // Outlets of the "TVKHUDView" nib: the part that turns and the spinner image inside it.
    std::shared_ptr<ui::View> hudView;
    std::shared_ptr<ui::ImageView> spinnerView;

  private:
    explicit TVKHUDView(ui::Rect frame) : View(frame) {}
};

}  // namespace quarra
