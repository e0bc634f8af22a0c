#pragma once
// A lock screen's data source and delegate for tests that work the screen as a person would: the
// passcode "2580" is right, and what the screen reports is written down in order ("unlocked
// <passcode>", "failure", "cancelled").
#include <string>
#include <vector>

#include "auth/ui/LKLockScreenViewController.h"

namespace quarra::test {

struct PasscodeJudge : LKLockScreenViewControllerDataSource, LKLockScreenViewControllerDelegate {
    std::vector<std::string> events;
    bool lockScreenViewController(LKLockScreenViewController&, const std::string& p) override {
        return p == "2580";
    }
    void unlockWasSuccessfulLockScreenViewController(LKLockScreenViewController&,
                                                     const std::string& p) override {
        events.push_back("unlocked " + p);
    }
    void unlockWasCancelledLockScreenViewController(LKLockScreenViewController&) override {
        events.push_back("cancelled");
    }
    void unlockWasFailureLockScreenViewController(LKLockScreenViewController&) override {
        events.push_back("failure");
    }
};

}  // namespace quarra::test
