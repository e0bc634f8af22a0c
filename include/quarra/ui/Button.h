#pragma once
// A control with a title per state.
#include <map>
#include <optional>
#include <string>

#include "quarra/ui/Control.h"

namespace quarra::ui {

class Button : public Control {
  public:
    using Control::Control;

    void setTitle(std::string title, std::uint64_t state = ControlStateNormal);
    // The title of `state`, else of the normal state; empty when none.
    std::string titleForState(std::uint64_t state) const;
    std::string currentTitle() const { return titleForState(this->state()); }
    void setTitleColor(Color color, std::uint64_t state = ControlStateNormal);
    // The colour of `state`, else of the normal state; white when none.
    Color titleColorForState(std::uint64_t state) const;
    const Font& titleFont() const { return titleFont_; }
    void setTitleFont(Font font) { titleFont_ = std::move(font); }

    void draw(Canvas& canvas, const Rect& rect) const override;

  private:
    std::map<std::uint64_t, std::string> titles_;
    std::map<std::uint64_t, Color> titleColors_;
    Font titleFont_;
};

}  // namespace quarra::ui
