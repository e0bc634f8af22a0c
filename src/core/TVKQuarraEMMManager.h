#pragma once
// Reads the managed application configuration that a device-management system places in the
// user defaults ("com.apple.configuration.managed"). Safe to call from any thread.
#include <optional>
#include <string>

namespace quarra {

inline constexpr const char* TVKManagedConfigurationKey = "com.apple.configuration.managed";
inline constexpr const char* TVKBiometricAuthenticationVisibleKey =
    "TovikQuarraBiometricAuthenticationVisible";

class TVKQuarraEMMManager {
  public:
    static TVKQuarraEMMManager& sharedInstance();

    TVKQuarraEMMManager(const TVKQuarraEMMManager&) = delete;
    TVKQuarraEMMManager& operator=(const TVKQuarraEMMManager&) = delete;

    // False only when the managed value reads "notvisible" (letter case and blanks aside).
    bool isBiometricAuthenticationVisible() const;
    // The managed text under `key`, lower-cased, trimmed and without blanks; nothing when there is
    // no managed configuration, no such key, or a value that is not text.
    std::optional<std::string> readFromEMMDefaultsWith(const std::string& key) const;

  private:
    TVKQuarraEMMManager() = default;
};

}  // namespace quarra
