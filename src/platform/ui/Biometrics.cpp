#include "quarra/ui/Biometrics.h"

#include "quarra/Dispatch.h"
#include "platform/ui/FingerprintBiometrics.h"

namespace quarra::ui {
namespace {

std::mutex& sharedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<BiometricService>& installed() {
    static auto* service = new std::shared_ptr<BiometricService>();
    return *service;
}

}  // namespace

ErrorPtr biometricError(long code) {
    const char* text = "Biometric authentication failed.";
    switch (code) {
        case BiometricErrorAuthenticationFailed:
            text = "Application retry limit exceeded.";
            break;
        case BiometricErrorUserCancel:
            text = "Canceled by user.";
            break;
        case BiometricErrorUserFallback:
            text = "Fallback authentication mechanism selected.";
            break;
        case BiometricErrorSystemCancel:
            text = "Canceled by the system.";
            break;
        case BiometricErrorPasscodeNotSet:
            text = "Passcode not set.";
            break;
        case BiometricErrorNotAvailable:
            text = "Biometry is not available on this device.";
            break;
        case BiometricErrorNotEnrolled:
            text = "No identities are enrolled.";
            break;
        case BiometricErrorLockout:
            text = "Biometry is locked out.";
            break;
        default:
            break;
    }
    return Error::make(BiometricErrorDomain, code, text);
}

std::shared_ptr<BiometricService> BiometricService::shared() {
    std::lock_guard lock(sharedMutex());
    if (!installed())
        installed() = std::make_shared<FingerprintBiometricService>();
    return installed();
}

void BiometricService::setShared(std::shared_ptr<BiometricService> service) {
    std::lock_guard lock(sharedMutex());
    installed() = std::move(service);
}

// Holds its service weakly: a waiting prompt's reply (kept by the service) holds the context, so
// a strong reference would keep both alive for ever. Without its service a context has no biometry.
class ScriptedContext : public BiometricContext {
  public:
    explicit ScriptedContext(std::weak_ptr<ScriptedBiometricService> service)
        : service_(std::move(service)) {}

    ErrorPtr canEvaluatePolicy(long) override {
        auto service = service_.lock();
        std::optional<long> unavailable = BiometricErrorNotAvailable;
        if (service) {
            std::lock_guard lock(service->mutex_);
            unavailable = service->unavailable_;
        }
        return unavailable ? biometricError(*unavailable) : nullptr;
    }

    BiometryType biometryType() override {
        auto service = service_.lock();
        if (!service)
            return BiometryType::None;
        std::lock_guard lock(service->mutex_);
        return service->unavailable_ ? BiometryType::None : service->type_;
    }

    void evaluatePolicy(long, const std::string& reason, Reply reply) override {
        auto service = service_.lock();
        if (!service) {
            deliver(std::move(reply), false, BiometricErrorNotAvailable);
            return;
        }
        std::optional<ScriptedBiometricService::Outcome> outcome;
        {
            std::lock_guard lock(service->mutex_);
            service->prompts_.push_back(reason);
            if (service->outcomes_.empty()) {
                service->waiting_.push_back(std::move(reply));
                return;
            }
            outcome = service->outcomes_.front();
            service->outcomes_.pop_front();
        }
        deliver(std::move(reply), outcome->success, outcome->code);
    }

    static void deliver(Reply reply, bool success, long code) {
        DispatchQueue::global()->async([reply = std::move(reply), success, code] {
            reply(success, success ? nullptr : biometricError(code));
        });
    }

  private:
    std::weak_ptr<ScriptedBiometricService> service_;
};

std::shared_ptr<BiometricContext> ScriptedBiometricService::makeContext() {
    {
        std::lock_guard lock(mutex_);
        ++contexts_;
    }
    return std::make_shared<ScriptedContext>(
        std::static_pointer_cast<ScriptedBiometricService>(shared_from_this()));
}

void ScriptedBiometricService::setAvailable(BiometryType type) {
    std::lock_guard lock(mutex_);
    type_ = type;
    unavailable_.reset();
}

void ScriptedBiometricService::setUnavailable(long code) {
    std::lock_guard lock(mutex_);
    unavailable_ = code;
}

void ScriptedBiometricService::queueOutcome(bool success, long code) {
    std::lock_guard lock(mutex_);
    outcomes_.push_back({success, code});
}

bool ScriptedBiometricService::respond(bool success, long code) {
    BiometricContext::Reply reply;
    {
        std::lock_guard lock(mutex_);
        if (waiting_.empty())
            return false;
        reply = std::move(waiting_.front());
        waiting_.pop_front();
    }
    ScriptedContext::deliver(std::move(reply), success, code);
    return true;
}

std::vector<std::string> ScriptedBiometricService::prompts() const {
    std::lock_guard lock(mutex_);
    return prompts_;
}

std::size_t ScriptedBiometricService::contextsMade() const {
    std::lock_guard lock(mutex_);
    return contexts_;
}

}  // namespace quarra::ui
