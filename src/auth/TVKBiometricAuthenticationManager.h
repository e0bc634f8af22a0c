#pragma once
// The SDK's one contact with biometric unlock: which biometry the device offers, and the prompt.
// Stateless: every call asks a fresh context of the platform's biometric service. Callable from
// any thread; completions always run later on the main queue.
#include <functional>
#include <memory>
#include <string>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "quarra/ui/Biometrics.h"

namespace quarra {

enum TVKBiometryType : long {
    TVKBiometryTypeNone = 0,  // none enrolled, not available, locked out or unknown
    TVKBiometryTypeTouchID = 1,
    TVKBiometryTypeFaceID = 2,
};

class TVKBiometricAuthenticationManager {
  public:
    using Completion = std::function<void(bool success, const ErrorPtr& error)>;

    static TVKBiometricAuthenticationManager& sharedInstance();

    TVKBiometricAuthenticationManager(const TVKBiometricAuthenticationManager&) = delete;
    TVKBiometricAuthenticationManager& operator=(const TVKBiometricAuthenticationManager&) = delete;

    std::shared_ptr<ui::BiometricContext> createContext() const;
    // The device's usable biometry (TVKBiometryTypeNone for one of no known kind), or, when
    // biometrics cannot be evaluated, the service's reason. Callers that only ask whether to offer
    // biometry read a failure as TVKBiometryTypeNone.
    Result<long> getAuthTypeWithError() const;
    // Shows the biometric prompt with `reason` (biometrics only, no device-passcode fallback).
    // `completion` runs once on the main queue with the outcome; when biometrics cannot be
    // evaluated, with false and the reason, and no prompt is shown.
    void evaluateBiometricPolicyWithLocalizedAuthReason(const std::string& reason,
                                                        Completion completion) const;

  private:
    TVKBiometricAuthenticationManager() = default;
};

}  // namespace quarra
