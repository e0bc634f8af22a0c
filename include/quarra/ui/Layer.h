#pragma once
// A view's drawing layer as far as the screens use it: a frame, a border, clipping, sublayers and
// the animations attached to it. Animations are recorded, not played: a test reads which ones run
// and with which values; one with a finite repeat count leaves the layer when its duration has
// passed on the UI scheduler. Main thread only.
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/ui/Graphics.h"

namespace quarra::ui {

struct Animation {
    enum class Kind { Basic, Keyframe };
    enum class Timing { Default, Linear };

    Kind kind = Kind::Basic;
    std::string keyPath;
    // Basic animations run from `fromValue` to `toValue`; key-frame animations through `values`.
    double fromValue = 0, toValue = 0;
    std::vector<double> values;
    double duration = 0.25;
    // Infinity: runs until removed.
    double repeatCount = 1;
    Timing timing = Timing::Default;

    static constexpr double Forever = std::numeric_limits<double>::infinity();
};

class Layer : public std::enable_shared_from_this<Layer> {
  public:
    static std::shared_ptr<Layer> make() { return std::make_shared<Layer>(); }

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double width) { borderWidth_ = width; }
    std::optional<Color> borderColor() const { return borderColor_; }
    void setBorderColor(std::optional<Color> color) { borderColor_ = color; }
    bool masksToBounds() const { return masksToBounds_; }
    void setMasksToBounds(bool masks) { masksToBounds_ = masks; }
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double radius) { cornerRadius_ = radius; }

    void addSublayer(std::shared_ptr<Layer> layer) { sublayers_.push_back(std::move(layer)); }
    const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }

    // Replaces any animation under `key`.
    void addAnimation(const Animation& animation, const std::string& key);
    void removeAllAnimations() { animations_.clear(); }
    const Animation* animationForKey(const std::string& key) const;
    std::vector<std::string> animationKeys() const;

  private:
    struct Running {
        Animation animation;
        std::uint64_t serial;
    };

    Rect frame_;
    double borderWidth_ = 0;
    std::optional<Color> borderColor_;
    bool masksToBounds_ = false;
    double cornerRadius_ = 0;
    std::vector<std::shared_ptr<Layer>> sublayers_;
    std::map<std::string, Running> animations_;
    std::uint64_t nextSerial_ = 0;
};

}  // namespace quarra::ui
