#pragma once
// What a file logger needs of the object that names, lists and prunes its log files.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "log/LDLogFileInfo.h"

namespace quarra {

class LDLogFileManager {
  public:
    virtual ~LDLogFileManager() = default;

    // The path of a new empty log file, or none when it could not be made.
    virtual std::optional<std::filesystem::path> createNewLogFile() = 0;
    virtual std::uint64_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(std::uint64_t count) = 0;
    virtual std::uint64_t logFilesDiskQuota() const = 0;
    virtual void setLogFilesDiskQuota(std::uint64_t bytes) = 0;
    virtual std::filesystem::path logsDirectory() = 0;
    virtual std::vector<std::filesystem::path> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<LDLogFileInfoPtr> unsortedLogFileInfos() = 0;
    // Newest first.
    virtual std::vector<std::filesystem::path> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    virtual std::vector<LDLogFileInfoPtr> sortedLogFileInfos() = 0;

    // Told when the logger archives a file; a manager that cares says so with the flags.
    virtual bool implementsDidArchiveLogFile() const { return false; }
    virtual void didArchiveLogFile(const std::filesystem::path& /*path*/) {}
    virtual bool implementsDidRollAndArchiveLogFile() const { return false; }
    virtual void didRollAndArchiveLogFile(const std::filesystem::path& /*path*/) {}
};

using LDLogFileManagerPtr = std::shared_ptr<LDLogFileManager>;

}  // namespace quarra
