#pragma once
// An editable line of text. It takes the focus when tapped (the delegate may refuse), receives
// typed text while it has the focus, and tells its delegate about editing. The keyboard rises
// when a field takes the focus and falls when no field keeps it (Keyboard.h). Main thread only.
#include <memory>
#include <string>

#include "quarra/ui/Control.h"

namespace quarra::ui {

class TextField;

// Every method is optional: the defaults allow everything and ignore the news.
class TextFieldDelegate {
  public:
    virtual ~TextFieldDelegate() = default;
    virtual bool textFieldShouldBeginEditing(TextField&) { return true; }
    virtual void textFieldDidBeginEditing(TextField&) {}
    virtual bool textFieldShouldEndEditing(TextField&) { return true; }
    virtual void textFieldDidEndEditing(TextField&) {}
    // `replacement` is about to be appended to the text; an empty one: the last character is
    // about to be deleted.
    virtual bool shouldChangeCharacters(TextField&, const std::string& /*replacement*/) {
        return true;
    }
    virtual bool textFieldShouldReturn(TextField&) { return true; }
};

enum class TextBorderStyle { None, Line, Bezel, RoundedRect };

class TextField : public Control {
  public:
    using Control::Control;

    const std::string& text() const { return text_; }
    void setText(std::string text) {
        text_ = std::move(text);
        setNeedsDisplay();
    }
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(std::string placeholder) { placeholder_ = std::move(placeholder); }
    bool isSecureTextEntry() const { return secure_; }
    void setSecureTextEntry(bool secure) { secure_ = secure; }
    TextBorderStyle borderStyle() const { return borderStyle_; }
    void setBorderStyle(TextBorderStyle style) { borderStyle_ = style; }
    Color textColor() const { return textColor_; }
    void setTextColor(Color color) { textColor_ = color; }
    const Font& font() const { return font_; }
    void setFont(Font font) { font_ = std::move(font); }
    std::shared_ptr<TextFieldDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<TextFieldDelegate> delegate) { delegate_ = std::move(delegate); }

    // A field can take the focus while it is enabled and shown.
    bool canBecomeFirstResponder() override;
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;

    // --- User actions
    // Taps the field: it asks for the focus.
    bool tap() override;
    // Types `characters` at the end, when the field has the focus and the delegate agrees.
    bool typeText(const std::string& characters);
    // The return key; answers the delegate's choice.
    bool pressReturn();
    // Deletes the last character (not just its last UTF-8 byte), when the field has the focus, is
    // not empty and the delegate agrees.
    bool deleteBackward();

    // The placeholder, and the text as it shows (dots for a secure field).
    std::string accessibilityLabel() const override { return placeholder_; }
    std::string accessibilityValue() const override { return shownText(); }

    void draw(Canvas& canvas, const Rect& rect) const override;

  private:
    std::string shownText() const;

    std::string text_;
    std::string placeholder_;
    bool secure_ = false;
    TextBorderStyle borderStyle_ = TextBorderStyle::RoundedRect;
    Color textColor_ = Color::black();
    Font font_;
    std::weak_ptr<TextFieldDelegate> delegate_;
};

}  // namespace quarra::ui
