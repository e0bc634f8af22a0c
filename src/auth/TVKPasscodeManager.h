#pragma once
// Guards the host with the application passcode lock screen. For now only its creation at
// start-up exists; the lock screen and its policy come with the passcode feature.
namespace quarra {

class TVKPasscodeManager {
  public:
    static TVKPasscodeManager& sharedInstance();

    TVKPasscodeManager(const TVKPasscodeManager&) = delete;
    TVKPasscodeManager& operator=(const TVKPasscodeManager&) = delete;

  private:
    TVKPasscodeManager() = default;
};

}  // namespace quarra
