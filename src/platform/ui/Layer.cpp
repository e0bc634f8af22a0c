#include "quarra/ui/Layer.h"

#include <chrono>
#include <cmath>

#include "quarra/ui/Scheduler.h"

namespace quarra::ui {

void Layer::addAnimation(const Animation& animation, const std::string& key) {
    std::uint64_t serial = nextSerial_++;
    animations_[key] = {animation, serial};
    if (!std::isfinite(animation.repeatCount))
        return;
    double seconds = animation.duration * std::max(animation.repeatCount, 1.0);
    std::weak_ptr<Layer> weak = weak_from_this();
    Scheduler::shared().after(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
        [weak, key, serial] {
            auto layer = weak.lock();
            if (!layer)
                return;
            auto it = layer->animations_.find(key);
            // Only the animation that was added then ends now; a later one keeps running.
            if (it != layer->animations_.end() && it->second.serial == serial)
                layer->animations_.erase(it);
        });
}

const Animation* Layer::animationForKey(const std::string& key) const {
    auto it = animations_.find(key);
    return it == animations_.end() ? nullptr : &it->second.animation;
}

std::vector<std::string> Layer::animationKeys() const {
    std::vector<std::string> keys;
    for (const auto& [key, running] : animations_)
        keys.push_back(key);
    return keys;
}

}  // namespace quarra::ui
