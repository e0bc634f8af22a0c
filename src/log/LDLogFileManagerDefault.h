#pragma once
// Log files in one folder, named "<application name> <yyyy-MM-dd--HH-mm-ss-SSS GMT>.log": makes new
// ones, lists them (newest first by the date in the name) and prunes the oldest beyond a count and
// a total size. Listing, creating and pruning run on the calling thread; the limits may be changed
// from any thread and apply at the next pruning.
#include <atomic>
#include <optional>
#include <string>

#include "log/LDLogFileManager.h"
#include "platform/DateFormatter.h"

namespace quarra {

class LDLogFileManagerDefault : public LDLogFileManager {
  public:
    static constexpr std::uint64_t DefaultMaximumNumberOfLogFiles = 5;
    static constexpr std::uint64_t DefaultLogFilesDiskQuota = 20 * 1024 * 1024;

    // No folder: the default folder below.
    explicit LDLogFileManagerDefault(std::optional<std::filesystem::path> logsDirectory = {});
    // Keeps `protectionLevel` when it names one of the platform's protection classes. Files are
    // created readable by the user only whatever the class.
    LDLogFileManagerDefault(std::optional<std::filesystem::path> logsDirectory,
                            const std::string& protectionLevel);

    std::optional<std::filesystem::path> createNewLogFile() override;
    std::uint64_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_; }
    void setMaximumNumberOfLogFiles(std::uint64_t count) override {
        maximumNumberOfLogFiles_ = count;
    }
    std::uint64_t logFilesDiskQuota() const override { return logFilesDiskQuota_; }
    void setLogFilesDiskQuota(std::uint64_t bytes) override { logFilesDiskQuota_ = bytes; }
    // Created (with its parents) when missing.
    std::filesystem::path logsDirectory() override;
    std::vector<std::filesystem::path> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<LDLogFileInfoPtr> unsortedLogFileInfos() override;
    std::vector<std::filesystem::path> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<LDLogFileInfoPtr> sortedLogFileInfos() override;

    const std::optional<std::string>& defaultFileProtectionLevel() const {
        return defaultFileProtectionLevel_;
    }
    std::string newLogFileName();
    void deleteOldLogFiles();
    bool isLogFile(const std::string& fileName);
    // The formatter of the date in file names (GMT, "en_US_POSIX").
    static const DateFormatter& logFileDateFormatter();
    // The main bundle's identifier, else the process name, else "".
    static const std::string& applicationName();
    // "Logs" in the host's folder of the user's cache folder ($XDG_CACHE_HOME, default ~/.cache):
    // "~/.cache/<application name>/Logs".
    static std::filesystem::path defaultLogsDirectory();

  private:
    // The date in a log file's name, if it parses.
    static std::optional<Date> dateInName(const std::string& fileName);

    std::atomic<std::uint64_t> maximumNumberOfLogFiles_{DefaultMaximumNumberOfLogFiles};
    std::atomic<std::uint64_t> logFilesDiskQuota_{DefaultLogFilesDiskQuota};
    const std::filesystem::path logsDirectory_;
    std::optional<std::string> defaultFileProtectionLevel_;
};

}  // namespace quarra
