#pragma once
// Biometric unlock (fingerprint or face) behind one door. A BiometricContext answers one question
// or runs one prompt; the process's BiometricService makes a fresh context per use. The default
// service asks the system's fingerprint daemon (FingerprintBiometrics.h): without one, or without a
// finger enrolled, every context answers that biometry is not available. Tests install a
// ScriptedBiometricService. Safe to call from any thread.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Error.h"

namespace quarra::ui {

// Errors of the biometric service; codes as the platform numbers them.
inline constexpr const char* BiometricErrorDomain = "BiometricErrorDomain";
enum BiometricErrorCode : long {
    BiometricErrorAuthenticationFailed = -1,
    BiometricErrorUserCancel = -2,
    BiometricErrorUserFallback = -3,
    BiometricErrorSystemCancel = -4,
    BiometricErrorPasscodeNotSet = -5,
    BiometricErrorNotAvailable = -6,
    BiometricErrorNotEnrolled = -7,
    BiometricErrorLockout = -8,
};

enum class BiometryType : long { None = 0, TouchID = 1, FaceID = 2 };

// Device-owner authentication with biometrics only.
inline constexpr long BiometricPolicyDeviceOwnerAuthenticationWithBiometrics = 1;

class BiometricContext {
  public:
    using Reply = std::function<void(bool success, const ErrorPtr& error)>;

    virtual ~BiometricContext() = default;
    // Null when `policy` can be evaluated now; otherwise why not.
    [[nodiscard]] virtual ErrorPtr canEvaluatePolicy(long policy) = 0;
    // The biometry of the device; meaningful after canEvaluatePolicy answered yes.
    virtual BiometryType biometryType() = 0;
    // Shows the prompt with `reason`; `reply` runs once, on a thread of the service.
    virtual void evaluatePolicy(long policy, const std::string& reason, Reply reply) = 0;
};

class BiometricService : public std::enable_shared_from_this<BiometricService> {
  public:
    virtual ~BiometricService() = default;
    virtual std::shared_ptr<BiometricContext> makeContext() = 0;

    // The installed service; by default the fingerprint daemon on the system bus.
    static std::shared_ptr<BiometricService> shared();
    // Null restores the default.
    static void setShared(std::shared_ptr<BiometricService> service);
};

// A service that answers as told: the device's biometry (or an error of the availability check),
// and the outcome of each prompt in turn. A prompt with no outcome queued waits until respond().
// Replies arrive on a global queue, as the platform's own would.
class ScriptedBiometricService : public BiometricService {
  public:
    std::shared_ptr<BiometricContext> makeContext() override;

    // Evaluation is possible, with this biometry.
    void setAvailable(BiometryType type);
    // Evaluation is impossible, for this reason (a BiometricErrorDomain code).
    void setUnavailable(long code);
    // The outcome of the next prompt: success, or the failure with a BiometricErrorDomain code.
    void queueOutcome(bool success, long code = 0);
    // Answers the oldest prompt still waiting; false when none waits.
    bool respond(bool success, long code = 0);

    // The reasons of the prompts shown so far.
    std::vector<std::string> prompts() const;
    std::size_t contextsMade() const;

  private:
    friend class ScriptedContext;
    struct Outcome {
        bool success;
        long code;
    };

    mutable std::mutex mutex_;
    BiometryType type_ = BiometryType::None;
    std::optional<long> unavailable_ = BiometricErrorNotAvailable;
    std::deque<Outcome> outcomes_;
    std::deque<BiometricContext::Reply> waiting_;
    std::vector<std::string> prompts_;
    std::size_t contexts_ = 0;
};

// The error of a BiometricErrorDomain code, with a description.
ErrorPtr biometricError(long code);

}  // namespace quarra::ui
