#pragma once
// A control with a title, an image and a background image per state.
#include <map>
#include <optional>
#include <string>

#include "quarra/ui/Control.h"
#include "quarra/ui/AssociatedObjects.h"
#include "quarra/ui/Image.h"

namespace quarra::ui {

class Button : public Control, public AssociatedObjects {
  public:
    using Control::Control;

    void setTitle(std::string title, std::uint64_t state = ControlStateNormal);
    // The title of `state`, else of the normal state; empty when none.
    std::string titleForState(std::uint64_t state) const;
    std::string currentTitle() const { return titleForState(this->state()); }
    void setTitleColor(Color color, std::uint64_t state = ControlStateNormal);
    // The colour of `state`, else of the normal state; white when none.
    Color titleColorForState(std::uint64_t state) const;
    // A null image removes the state's own image.
    void setImage(ImagePtr image, std::uint64_t state = ControlStateNormal);
    // The image of `state`, else of the normal state; null when none.
    ImagePtr imageForState(std::uint64_t state) const;
    ImagePtr currentImage() const { return imageForState(this->state()); }
    void setBackgroundImage(ImagePtr image, std::uint64_t state = ControlStateNormal);
    ImagePtr backgroundImageForState(std::uint64_t state) const;
    ImagePtr currentBackgroundImage() const { return backgroundImageForState(this->state()); }
    const Font& titleFont() const { return titleFont_; }
    void setTitleFont(Font font) { titleFont_ = std::move(font); }

    void draw(Canvas& canvas, const Rect& rect) const override;
    std::string accessibilityLabel() const override { return currentTitle(); }

  private:
    std::map<std::uint64_t, std::string> titles_;
    std::map<std::uint64_t, Color> titleColors_;
    std::map<std::uint64_t, ImagePtr> images_;
    std::map<std::uint64_t, ImagePtr> backgroundImages_;
    Font titleFont_;
};

}  // namespace quarra::ui
