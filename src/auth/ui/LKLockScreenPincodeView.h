#pragma once
// The row of four dots on the lock screen: holds the digits typed so far (at most four) and tells
// its delegate once four have been entered. While disabled (during a shake or a slide) typing and
// deleting are ignored. Main thread only.
#include <memory>
#include <string>

#include "quarra/ui/View.h"

namespace quarra {

class LKLockScreenPincodeView;

class LKLockScreenPincodeViewDelegate {
  public:
    virtual ~LKLockScreenPincodeViewDelegate() = default;
    // Four digits have been entered.
    virtual void lockScreenPincodeView(LKLockScreenPincodeView& view,
                                       const std::string& pincode) = 0;
};

class LKLockScreenPincodeView : public ui::View {
  public:
    explicit LKLockScreenPincodeView(ui::Rect frame = {}) : View(frame) {}

    static constexpr std::size_t PincodeLength = 4;

    const std::string& pincode() const { return pincode_; }
    // Stores the digits and redraws when they differ from those held; four digits go to the
    // delegate.
    void setPincode(std::string pincode);
    // Empties the row.
    void initPincode();
    // Adds a digit; ignored when the row is disabled or already full, so a fifth tap cannot
    // report the same four digits again.
    void appendingPincode(const std::string& digit);
    void removeLastPincode();
    // Fills the dots one after another (10 ms apart), as after a biometric unlock.
    void wasCompleted();

    std::shared_ptr<LKLockScreenPincodeViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<LKLockScreenPincodeViewDelegate> delegate) {
        delegate_ = std::move(delegate);
    }
    ui::Color pincodeColor() const { return pincodeColor_; }
    void setPincodeColor(ui::Color color) {
        pincodeColor_ = color;
        setNeedsDisplay();
    }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    // How many dots wasCompleted() has filled so far.
    unsigned completionCount() const { return completionCount_; }
    // Dots drawn filled now.
    std::size_t filledDots() const;

    void draw(ui::Canvas& canvas, const ui::Rect& rect) const override;
    // The dots as they show, filled first ("\u25cf\u25cf\u25cb\u25cb" for two of four).
    std::string accessibilityValue() const override {
        std::string dots;
        for (std::size_t i = 0; i < PincodeLength; ++i)
            dots += i < filledDots() ? "\u25cf" : "\u25cb";
        return dots;
    }

  private:
    std::string pincode_;
    std::weak_ptr<LKLockScreenPincodeViewDelegate> delegate_;
    ui::Color pincodeColor_ = ui::Color::black();
    bool enabled_ = true;
    unsigned completionCount_ = 0;
};

}  // namespace quarra
