#include "log/LDLogFileManagerDefault.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/Diagnostics.h"
#include "quarra/Bundle.h"
#include "platform/Files.h"

namespace quarra {
namespace {

constexpr const char* kNamePattern = "yyyy'-'MM'-'dd'--'HH'-'mm'-'ss'-'SSS'";

bool endsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string withoutAll(std::string text, std::string_view part) {
    for (size_t at; (at = text.find(part)) != std::string::npos;)
        text.erase(at, part.size());
    return text;
}

}  // namespace

LDLogFileManagerDefault::LDLogFileManagerDefault(std::optional<std::filesystem::path> logsDirectory)
    : logsDirectory_(logsDirectory ? *logsDirectory : defaultLogsDirectory()) {}

LDLogFileManagerDefault::LDLogFileManagerDefault(std::optional<std::filesystem::path> logsDirectory,
                                                 const std::string& protectionLevel)
    : LDLogFileManagerDefault(std::move(logsDirectory)) {
    static const char* const kClasses[] = {
        "NSFileProtectionNone", "NSFileProtectionComplete", "NSFileProtectionCompleteUnlessOpen",
        "NSFileProtectionCompleteUntilFirstUserAuthentication"};
    for (const char* known : kClasses) {
        if (protectionLevel == known)
            defaultFileProtectionLevel_ = protectionLevel;
    }
}

std::filesystem::path LDLogFileManagerDefault::defaultLogsDirectory() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::filesystem::path base;
    if (cache && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home ? home : "/tmp") / ".cache";
    }
    // The cache folder is shared by every program of the user: the host's own part of it.
    return base / applicationName() / "Logs";
}

const std::string& LDLogFileManagerDefault::applicationName() {
    // Never destroyed: a logger thread may still name a new log file while the process exits.
    static const std::string& name = *new std::string([] {
        std::string id = Bundle::main().bundleIdentifier();
        if (!id.empty())
            return id;
        return std::string(program_invocation_short_name ? program_invocation_short_name : "");
    }());
    return name;
}

const DateFormatter& LDLogFileManagerDefault::logFileDateFormatter() {
    // Never destroyed: the logger may still name files while the process exits.
    static const DateFormatterPtr& formatter =
        *new DateFormatterPtr(DateFormatter::make(kNamePattern, "en_US_POSIX", "GMT").value());
    return *formatter;
}

std::filesystem::path LDLogFileManagerDefault::logsDirectory() {
    std::error_code error;
    if (!std::filesystem::is_directory(logsDirectory_, error)) {
        if (ErrorPtr failed = files::createDirectories(logsDirectory_, 0700))
            reportDiagnostic(
                DiagnosticLevel::Error,
                "LDFileLogManagerDefault: Error creating logsDirectory: " + failed->description());
    }
    return logsDirectory_;
}

bool LDLogFileManagerDefault::isLogFile(const std::string& fileName) {
    std::string plain = withoutAll(fileName, ".archived");
    std::string prefix = applicationName() + " ";
    return plain.compare(0, prefix.size(), prefix) == 0 && endsWith(plain, ".log");
}

std::vector<std::filesystem::path> LDLogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::filesystem::path> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(logsDirectory(), error)) {
        if (isLogFile(entry.path().filename().string()))
            paths.push_back(entry.path());
    }
    return paths;
}

std::vector<std::string> LDLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& path : unsortedLogFilePaths())
        names.push_back(path.filename().string());
    return names;
}

std::vector<LDLogFileInfoPtr> LDLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<LDLogFileInfoPtr> infos;
    for (const auto& path : unsortedLogFilePaths())
        infos.push_back(LDLogFileInfo::logFileWithPath(path));
    return infos;
}

std::optional<Date> LDLogFileManagerDefault::dateInName(const std::string& fileName) {
    std::string plain = withoutAll(withoutAll(fileName, ".log"), ".archived");
    auto space = plain.rfind(' ');
    return logFileDateFormatter().dateFromString(
        space == std::string::npos ? plain : plain.substr(space + 1));
}

std::vector<LDLogFileInfoPtr> LDLogFileManagerDefault::sortedLogFileInfos() {
    struct Keyed {
        Date date;
        LDLogFileInfoPtr info;
    };
    std::vector<Keyed> keyed;
    for (auto& info : unsortedLogFileInfos()) {
        Date date = dateInName(info->fileName()).value_or(info->creationDate().value_or(Date{}));
        keyed.push_back({date, std::move(info)});
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const Keyed& a, const Keyed& b) { return a.date > b.date; });
    std::vector<LDLogFileInfoPtr> infos;
    for (auto& k : keyed)
        infos.push_back(std::move(k.info));
    return infos;
}

std::vector<std::filesystem::path> LDLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::filesystem::path> paths;
    for (const auto& info : sortedLogFileInfos())
        paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> LDLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos())
        names.push_back(info->fileName());
    return names;
}

std::string LDLogFileManagerDefault::newLogFileName() {
    return applicationName() + " " +
           logFileDateFormatter().stringFromDate(std::chrono::system_clock::now()) + ".log";
}

std::optional<std::filesystem::path> LDLogFileManagerDefault::createNewLogFile() {
    std::string name = newLogFileName();
    std::filesystem::path folder = logsDirectory();
    std::string stem = name.substr(0, name.size() - 4);
    for (unsigned long attempt = 1; attempt < 10000; ++attempt) {
        std::string candidate = attempt == 1 ? name : stem + " " + std::to_string(attempt) + ".log";
        std::filesystem::path path = folder / candidate;
        // Exclusive creation settles a collision with another process as well.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            deleteOldLogFiles();
            return path;
        }
        if (errno != EEXIST)
            return std::nullopt;
    }
    return std::nullopt;
}

void LDLogFileManagerDefault::deleteOldLogFiles() {
    auto infos = sortedLogFileInfos();
    std::optional<size_t> first;
    if (std::uint64_t quota = logFilesDiskQuota_) {
        std::uint64_t total = 0;
        for (size_t i = 0; i < infos.size(); ++i) {
            total += infos[i]->fileSize();
            if (total > quota) {
                first = i;
                break;
            }
        }
    }
    if (std::uint64_t count = maximumNumberOfLogFiles_) {
        first = first ? std::min<size_t>(*first, count) : static_cast<size_t>(count);
    }
    if (!first)
        return;
    // The newest unarchived file is the one being written: it stays.
    if (*first == 0 && !infos.empty() && !infos[0]->isArchived())
        first = 1;
    std::error_code ignored;
    for (size_t i = *first; i < infos.size(); ++i)
        std::filesystem::remove(infos[i]->filePath(), ignored);
}

}  // namespace quarra
