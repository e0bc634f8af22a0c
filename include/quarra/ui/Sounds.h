#pragma once
// System sounds and vibration. Nothing is played here: each request is recorded, so tests can read
// what a screen asked for and a terminal host can print it. Safe to call from any thread.
#include <functional>
#include <vector>

namespace quarra::ui {

// The system sound that makes the device vibrate.
inline constexpr unsigned SystemSoundVibrate = 4095;

class Sounds {
  public:
    static void playSystemSound(unsigned soundId);
    // Every sound requested since the start or the last clear, in order.
    static std::vector<unsigned> played();
    static void clear();
    // Called (on the requesting thread) for every request from now on; empty to stop.
    static void setObserver(std::function<void(unsigned soundId)> observer);
};

}  // namespace quarra::ui
