#pragma once
// Fingerprint unlock through the system's fingerprint daemon (fprintd) on D-Bus. A device with a
// reader and at least one finger enrolled for the user answers fingerprint biometry (the type the
// SDK calls Touch ID); no daemon, no reader or no finger answers none, with the reason. A prompt
// claims the reader, waits for one verification (at most `verifyTimeout`) and releases it.
// Every bus call is bounded by `callTimeout`, so a stuck daemon cannot hang the screen that asks.
#include <chrono>
#include <memory>
#include <string>

#include "quarra/ui/Biometrics.h"

namespace quarra::ui {

class FingerprintBiometricService : public BiometricService {
  public:
    // `busAddress` empty: the system bus.
    explicit FingerprintBiometricService(
        std::string busAddress = {},
        std::chrono::milliseconds callTimeout = std::chrono::milliseconds(2000),
        std::chrono::milliseconds verifyTimeout = std::chrono::seconds(60));

    std::shared_ptr<BiometricContext> makeContext() override;

    const std::string& busAddress() const { return busAddress_; }
    std::chrono::milliseconds callTimeout() const { return callTimeout_; }
    std::chrono::milliseconds verifyTimeout() const { return verifyTimeout_; }

  private:
    std::string busAddress_;
    std::chrono::milliseconds callTimeout_;
    std::chrono::milliseconds verifyTimeout_;
};

}  // namespace quarra::ui
