#pragma once
// A text field drawn as a single underline. The underline and two labels outside the field (a
// caption above, a link below) take the focus colour while the field has the focus and the
// unfocused colour otherwise. Main thread only.
#include <memory>
#include <optional>

#include "quarra/ui/Label.h"
#include "quarra/ui/TextField.h"

namespace quarra {

class TVKTextField : public ui::TextField {
  public:
    explicit TVKTextField(ui::Rect frame = {});
    static std::shared_ptr<TVKTextField> make(ui::Rect frame = {}) {
        return std::make_shared<TVKTextField>(frame);
    }

    const std::shared_ptr<ui::Label>& headerLabel() const { return headerLabel_; }
    // Only stored; the label takes the look at the next change of focus or colour.
    void setHeaderLabel(std::shared_ptr<ui::Label> label) { headerLabel_ = std::move(label); }
    const std::shared_ptr<ui::Label>& footerLabel() const { return footerLabel_; }
    void setFooterLabel(std::shared_ptr<ui::Label> label) { footerLabel_ = std::move(label); }
    std::optional<ui::Color> focusColor() const { return focusColor_; }
    // Both colour setters apply the look of the field's current focus at once.
    void setFocusColor(std::optional<ui::Color> color);
    std::optional<ui::Color> unfocusedColor() const { return unfocusedColor_; }
    void setUnfocusedColor(std::optional<ui::Color> color);
    const std::shared_ptr<ui::Layer>& borderLayer() const { return borderLayer_; }

    // The focused or unfocused look: underline and labels in that colour (labels only when the
    // colour is set).
    void setFocusedUI(bool focused);

    bool canBecomeFirstResponder() override;
    bool resignFirstResponder() override;
    void layoutSubviews() override;
    // Without a placeholder a screen reader names the field by its caption, as a person does.
    std::string accessibilityLabel() const override;

  private:
    std::shared_ptr<ui::Label> headerLabel_;
    std::shared_ptr<ui::Label> footerLabel_;
    std::optional<ui::Color> focusColor_;
    std::optional<ui::Color> unfocusedColor_;
    std::shared_ptr<ui::Layer> borderLayer_;
};

}  // namespace quarra
