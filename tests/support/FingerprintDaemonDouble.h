#pragma once
// A private D-Bus message bus (a dbus-daemon started for the test) with, when asked, a scripted
// fingerprint daemon on it: the reader, the enrolled fingers and the outcome of a verification are
// set by the test, and every method call is written down.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quarra::test {

class FingerprintDaemonDouble {
  public:
    // Starts the bus; with `serve`, the scripted daemon on it too.
    explicit FingerprintDaemonDouble(bool serve = true);
    ~FingerprintDaemonDouble();
    FingerprintDaemonDouble(const FingerprintDaemonDouble&) = delete;
    FingerprintDaemonDouble& operator=(const FingerprintDaemonDouble&) = delete;

    // The bus, for FingerprintBiometricService.
    const std::string& address() const { return address_; }

    void setReaderPresent(bool present);
    void setEnrolledFingers(std::vector<std::string> fingers);
    // What the reader reports after VerifyStart ("verify-match", "verify-no-match", ...).
    void setVerifyResult(std::string result);
    // Method names in the order they were called.
    std::vector<std::string> calls() const;

    struct Service;

  private:
    int daemonPid_ = -1;
    std::string address_;
    std::unique_ptr<Service> service_;
};

}  // namespace quarra::test
