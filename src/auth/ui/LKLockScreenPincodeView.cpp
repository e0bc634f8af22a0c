#include "auth/ui/LKLockScreenPincodeView.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "quarra/ui/Scheduler.h"

namespace quarra {

void LKLockScreenPincodeView::setPincode(std::string pincode) {
    if (pincode == pincode_)
        return;
    pincode_ = std::move(pincode);
    setNeedsDisplay();
    if (pincode_.size() == PincodeLength) {
        if (auto observer = delegate())
            observer->lockScreenPincodeView(*this, pincode_);
    }
}

void LKLockScreenPincodeView::initPincode() {
    pincode_.clear();
    setNeedsDisplay();
}

void LKLockScreenPincodeView::appendingPincode(const std::string& digit) {
    if (!enabled_ || pincode_.size() >= PincodeLength)
        return;
    setPincode((pincode_ + digit).substr(0, PincodeLength));
}

void LKLockScreenPincodeView::removeLastPincode() {
    if (!enabled_ || pincode_.empty())
        return;
    setPincode(pincode_.substr(0, pincode_.size() - 1));
}

void LKLockScreenPincodeView::wasCompleted() {
    std::weak_ptr<View> weak = std::static_pointer_cast<View>(shared_from_this());
    for (int step = 0; step < 4; ++step) {
        ui::Scheduler::shared().after(std::chrono::milliseconds(10 * step), [weak] {
            if (auto view = std::static_pointer_cast<LKLockScreenPincodeView>(weak.lock())) {
                ++view->completionCount_;
                view->setNeedsDisplay();
            }
        });
    }
}

std::size_t LKLockScreenPincodeView::filledDots() const {
    return std::min<std::size_t>(std::max<std::size_t>(pincode_.size(), completionCount_),
                                 PincodeLength);
}

void LKLockScreenPincodeView::draw(ui::Canvas& canvas, const ui::Rect& r) const {
    constexpr double dot = 13, lineWidth = 1;
    double slot = r.width() * 0.25;
    double xOffset = std::floor(static_cast<float>((slot - dot) * 0.5f));
    double yOffset = std::floor(static_cast<float>((r.height() - dot) * 0.5f));
    std::size_t filled = filledDots();
    for (std::size_t i = 0; i < PincodeLength; ++i) {
        ui::Rect circle(static_cast<double>(i) * slot + xOffset, r.y() + yOffset, dot, dot);
        if (i < filled) {
            canvas.fillEllipse(circle, pincodeColor_);
        } else {
            // The outline sits inside the dot's square.
            ui::Rect inner(circle.x() + lineWidth / 2, circle.y() + lineWidth / 2, dot - lineWidth,
                           dot - lineWidth);
            canvas.strokeEllipse(inner, pincodeColor_, lineWidth);
        }
    }
}

}  // namespace quarra
