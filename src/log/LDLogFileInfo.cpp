#include "log/LDLogFileInfo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "platform/Diagnostics.h"
#include "quarra/Json.h"

namespace quarra {
namespace {

constexpr const char* kArchived = "archived";

Date toDate(std::int64_t seconds, std::uint32_t nanoseconds) {
    return Date(std::chrono::duration<double>(double(seconds) + nanoseconds / 1e9));
}

std::vector<std::string> split(const std::string& name) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot - start));
        if (dot == std::string::npos)
            return parts;
        start = dot + 1;
    }
}

}  // namespace

std::shared_ptr<LDLogFileInfo> LDLogFileInfo::logFileWithPath(std::filesystem::path filePath) {
    return std::make_shared<LDLogFileInfo>(std::move(filePath));
}

LDLogFileInfo::LDLogFileInfo(std::filesystem::path filePath) : filePath_(std::move(filePath)) {}

const std::string& LDLogFileInfo::fileName() {
    if (!fileName_)
        fileName_ = filePath_.filename().string();
    return *fileName_;
}

const std::optional<LDLogFileInfo::Attributes>& LDLogFileInfo::fileAttributes() {
    if (!attributesRead_) {
        struct statx st;
        if (statx(AT_FDCWD, filePath_.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) == 0) {
            Attributes a;
            a.size = st.stx_size;
            a.modificationDate = toDate(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
            // File systems without birth times give the last status change instead.
            a.creationDate = (st.stx_mask & STATX_BTIME)
                                 ? toDate(st.stx_btime.tv_sec, st.stx_btime.tv_nsec)
                                 : toDate(st.stx_ctime.tv_sec, st.stx_ctime.tv_nsec);
            attributes_ = a;
            attributesRead_ = true;
        }
    }
    return attributes_;
}

std::optional<Date> LDLogFileInfo::creationDate() {
    const auto& a = fileAttributes();
    return a ? std::optional<Date>(a->creationDate) : std::nullopt;
}

std::optional<Date> LDLogFileInfo::modificationDate() {
    const auto& a = fileAttributes();
    return a ? std::optional<Date>(a->modificationDate) : std::nullopt;
}

std::uint64_t LDLogFileInfo::fileSize() {
    const auto& a = fileAttributes();
    return a ? a->size : 0;
}

double LDLogFileInfo::age() {
    auto created = creationDate();
    if (!created)
        return 0;
    Date now = std::chrono::time_point_cast<Date::duration>(std::chrono::system_clock::now());
    return (now - *created).count();
}

bool LDLogFileInfo::isArchived() {
    return hasExtensionAttributeWithName(kArchived);
}

void LDLogFileInfo::setIsArchived(bool archived) {
    if (archived)
        addExtensionAttributeWithName(kArchived);
    else
        removeExtensionAttributeWithName(kArchived);
}

void LDLogFileInfo::reset() {
    fileName_.reset();
    attributes_.reset();
    attributesRead_ = false;
}

void LDLogFileInfo::renameFile(const std::string& newFileName) {
    if (newFileName == fileName())
        return;
    std::filesystem::path target = filePath_.parent_path() / newFileName;
    std::error_code error;
    if (std::filesystem::exists(target, error) && !std::filesystem::remove(target, error))
        reportDiagnostic(DiagnosticLevel::Error, "LDLogFileInfo: Error deleting archive (" +
                                                     newFileName + "): " + error.message());
    std::filesystem::rename(filePath_, target, error);
    if (error)
        reportDiagnostic(DiagnosticLevel::Error, "LDLogFileInfo: Error renaming file (" +
                                                     fileName() + "): " + error.message());
    filePath_ = target;
    reset();
}

bool LDLogFileInfo::hasExtensionAttributeWithName(const std::string& attrName) {
    auto parts = split(fileName());
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] == attrName)
            return true;
    }
    return false;
}

void LDLogFileInfo::addExtensionAttributeWithName(const std::string& attrName) {
    if (attrName.empty() || hasExtensionAttributeWithName(attrName))
        return;
    auto parts = split(fileName());
    // The mark goes before the last non-empty component (the extension).
    size_t last = parts.size();
    for (size_t i = parts.size(); i-- > 1;) {
        if (!parts[i].empty()) {
            last = i;
            break;
        }
    }
    std::string name = parts[0];
    for (size_t i = 1; i < parts.size(); ++i) {
        if (i != last && !parts[i].empty())
            name += "." + parts[i];
    }
    name += "." + attrName;
    if (last < parts.size())
        name += "." + parts[last];
    renameFile(name);
}

void LDLogFileInfo::removeExtensionAttributeWithName(const std::string& attrName) {
    auto parts = split(fileName());
    std::string name = parts[0];
    bool found = false;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] == attrName)
            found = true;
        else
            name += "." + parts[i];
    }
    if (found)
        renameFile(name);
}

bool LDLogFileInfo::reverseCompareByCreationDate(LDLogFileInfo& other) {
    return creationDate().value_or(Date{}) > other.creationDate().value_or(Date{});
}

bool LDLogFileInfo::reverseCompareByModificationDate(LDLogFileInfo& other) {
    return modificationDate().value_or(Date{}) > other.modificationDate().value_or(Date{});
}

std::string LDLogFileInfo::description() {
    auto text = [](const std::optional<Date>& d) {
        return d ? Json(d->time_since_epoch().count()) : Json("");
    };
    const auto& a = fileAttributes();
    Json attributes = a ? Json{{"size", a->size}} : Json("");
    return Json{{"filePath", filePath_.string()},
                {"fileName", fileName()},
                {"fileAttributes", attributes},
                {"creationDate", text(creationDate())},
                {"modificationDate", text(modificationDate())},
                {"fileSize", fileSize()},
                {"age", age()},
                {"isArchived", isArchived()}}
        .dump();
}

}  // namespace quarra
