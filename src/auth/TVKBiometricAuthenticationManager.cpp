#include "auth/TVKBiometricAuthenticationManager.h"

#include "quarra/Dispatch.h"

namespace quarra {
namespace {

void deliverOnMain(TVKBiometricAuthenticationManager::Completion completion, bool success,
                   ErrorPtr error) {
    if (!completion)
        return;
    DispatchQueue::main()->async([completion = std::move(completion), success,
                                  error = std::move(error)] { completion(success, error); });
}

}  // namespace

TVKBiometricAuthenticationManager& TVKBiometricAuthenticationManager::sharedInstance() {
    static auto* instance = new TVKBiometricAuthenticationManager();
    return *instance;
}

std::shared_ptr<ui::BiometricContext> TVKBiometricAuthenticationManager::createContext() const {
    return ui::BiometricService::shared()->makeContext();
}

Result<long> TVKBiometricAuthenticationManager::getAuthTypeWithError() const {
    auto context = createContext();
    if (ErrorPtr refused = context->canEvaluatePolicy(
            ui::BiometricPolicyDeviceOwnerAuthenticationWithBiometrics)) {
        return refused;
    }
    switch (context->biometryType()) {
        case ui::BiometryType::FaceID:
            return TVKBiometryTypeFaceID;
        case ui::BiometryType::TouchID:
            return TVKBiometryTypeTouchID;
        default:
            return TVKBiometryTypeNone;
    }
}

void TVKBiometricAuthenticationManager::evaluateBiometricPolicyWithLocalizedAuthReason(
    const std::string& reason, Completion completion) const {
    auto context = createContext();
    if (ErrorPtr error = context->canEvaluatePolicy(
            ui::BiometricPolicyDeviceOwnerAuthenticationWithBiometrics)) {
        deliverOnMain(std::move(completion), false, std::move(error));
        return;
    }
    // The context stays alive until the service has replied.
    context->evaluatePolicy(ui::BiometricPolicyDeviceOwnerAuthenticationWithBiometrics, reason,
                            [context, completion = std::move(completion)](
                                bool success, const ErrorPtr& replyError) mutable {
                                deliverOnMain(std::move(completion), success, replyError);
                            });
}

}  // namespace quarra
