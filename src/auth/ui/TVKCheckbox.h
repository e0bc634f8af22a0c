#pragma once
// A checkbox with a label. A tap toggles it and sends the value-changed actions; setting `checked`
// from code sends none. Main thread only.
#include <memory>
#include <string>

#include "quarra/ui/Control.h"
#include "quarra/ui/ImageView.h"
#include "quarra/ui/Label.h"

namespace quarra {

class TVKCheckbox : public ui::Control {
  public:
    // A checkbox with its nib content in place.
    static std::shared_ptr<TVKCheckbox> make(ui::Rect frame = {});

    bool checked() const { return checked_; }
    void setChecked(bool checked);
    const std::string& text() const { return text_; }
    void setText(std::string text);
    ui::Color textColor() const { return textColor_; }
    void setTextColor(ui::Color color);
    const ui::Font& font() const { return font_; }
    void setFont(ui::Font font);

    // The tap action: toggles and tells the observers.
    void didTapView();

    std::string accessibilityLabel() const override { return text_; }
    std::string accessibilityValue() const override { return checked_ ? "checked" : "unchecked"; }

    // Outlets of the "TVKCheckbox" nib.
    std::shared_ptr<ui::View> checkboxView;
    std::shared_ptr<ui::ImageView> checkboxImageView;
    std::shared_ptr<ui::Label> label;

  private:
    explicit TVKCheckbox(ui::Rect frame) : Control(frame) {}
    void commonSetUp();

    bool checked_ = false;
    std::string text_;
    ui::Color textColor_ = ui::Color::black();
    ui::Font font_;
};

}  // namespace quarra
