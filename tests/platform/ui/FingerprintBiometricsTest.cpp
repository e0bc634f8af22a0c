#include "platform/ui/FingerprintBiometrics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <future>

#include "support/FingerprintDaemonDouble.h"
#include "support/TestSupport.h"

namespace quarra::ui {
namespace {

using test::FingerprintDaemonDouble;

struct Answer {
    bool can;
    BiometryType type;
    long code;  // 0: no error
};

Answer ask(const std::string& address) {
    auto context = std::make_shared<FingerprintBiometricService>(address)->makeContext();
    ErrorPtr error =
        context->canEvaluatePolicy(BiometricPolicyDeviceOwnerAuthenticationWithBiometrics);
    return {error == nullptr, context->biometryType(), error ? error->code() : 0};
}

std::pair<bool, ErrorPtr> prompt(const std::string& address) {
    auto context = std::make_shared<FingerprintBiometricService>(address)->makeContext();
    std::promise<std::pair<bool, ErrorPtr>> replied;
    context->evaluatePolicy(BiometricPolicyDeviceOwnerAuthenticationWithBiometrics, "Unlock",
                            [&](bool success, const ErrorPtr& error) {
                                replied.set_value({success, error});
                            });
    auto answer = replied.get_future();
    EXPECT_EQ(answer.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    return answer.get();
}

TEST(FingerprintBiometrics, AnswersWhatTheDaemonOffers) {
    FingerprintDaemonDouble daemon;
    auto check = [&](Answer expected) {
        Answer got = ask(daemon.address());
        EXPECT_EQ(got.can, expected.can);
        EXPECT_EQ(got.type, expected.type);
        EXPECT_EQ(got.code, expected.code);
    };
    check({true, BiometryType::TouchID, 0});
    daemon.setEnrolledFingers({});
    check({false, BiometryType::None, BiometricErrorNotEnrolled});
    daemon.setReaderPresent(false);
    check({false, BiometryType::None, BiometricErrorNotAvailable});
}

TEST(FingerprintBiometrics, NoDaemonOrNoBusMeansNoBiometry) {
    FingerprintDaemonDouble busOnly(false);
    Answer got = ask(busOnly.address());
    EXPECT_FALSE(got.can);
    EXPECT_EQ(got.code, BiometricErrorNotAvailable);

    // The default service asks the system bus; here it is somewhere nobody listens.
    std::string nowhere = "unix:path=" + (test::sandbox() / "no-system-bus").string();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", nowhere.c_str(), 1);
    auto context = BiometricService::shared()->makeContext();
    ErrorPtr error =
        context->canEvaluatePolicy(BiometricPolicyDeviceOwnerAuthenticationWithBiometrics);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(BiometricErrorDomain, BiometricErrorNotAvailable));
    EXPECT_EQ(context->biometryType(), BiometryType::None);
}

TEST(FingerprintBiometrics, APromptClaimsVerifiesAndReleasesTheReader) {
    FingerprintDaemonDouble daemon;
    auto [matched, none] = prompt(daemon.address());
    EXPECT_TRUE(matched);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(daemon.calls(), (std::vector<std::string>{"GetDefaultDevice", "Claim", "VerifyStart",
                                                        "VerifyStop", "Release"}));

    daemon.setVerifyResult("verify-no-match");
    auto [failed, error] = prompt(daemon.address());
    EXPECT_FALSE(failed);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(BiometricErrorDomain, BiometricErrorAuthenticationFailed));

    daemon.setVerifyResult("verify-disconnected");
    auto [lost, cancelled] = prompt(daemon.address());
    EXPECT_FALSE(lost);
    ASSERT_TRUE(cancelled);
    EXPECT_TRUE(cancelled->is(BiometricErrorDomain, BiometricErrorSystemCancel));
}

}  // namespace
}  // namespace quarra::ui
