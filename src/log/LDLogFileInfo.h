#pragma once
// One log file: its path, its file-system facts (read when first needed and cached) and its
// "archived" mark, which lives only in the file name ("App 2026-01-02--03-04-05-678.archived.log").
// Not thread-safe: a file logger uses it on its own queue.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/DateFormatter.h"

namespace quarra {

class LDLogFileInfo {
  public:
    struct Attributes {
        std::uint64_t size = 0;
        Date creationDate;
        Date modificationDate;
    };

    static std::shared_ptr<LDLogFileInfo> logFileWithPath(std::filesystem::path filePath);
    explicit LDLogFileInfo(std::filesystem::path filePath);

    const std::filesystem::path& filePath() const { return filePath_; }
    const std::string& fileName();
    // None while the file cannot be read.
    const std::optional<Attributes>& fileAttributes();
    std::optional<Date> creationDate();
    std::optional<Date> modificationDate();
    std::uint64_t fileSize();
    // Seconds since the creation date (0 without one).
    double age();

    bool isArchived();
    void setIsArchived(bool archived);

    // Forgets the cached name and attributes.
    void reset();
    // Renames the file within its folder (a file of the new name is replaced). The path follows
    // the new name even when the move fails; the failure is reported on standard error.
    void renameFile(const std::string& newFileName);

    bool hasExtensionAttributeWithName(const std::string& attrName);
    void addExtensionAttributeWithName(const std::string& attrName);
    void removeExtensionAttributeWithName(const std::string& attrName);

    bool isEqual(const LDLogFileInfo& other) const { return filePath_ == other.filePath_; }
    std::size_t hash() const { return std::filesystem::hash_value(filePath_); }
    // Newer first: true when this file is newer than `other`.
    bool reverseCompareByCreationDate(LDLogFileInfo& other);
    bool reverseCompareByModificationDate(LDLogFileInfo& other);
    std::string description();

  private:
    std::filesystem::path filePath_;
    std::optional<std::string> fileName_;
    bool attributesRead_ = false;
    std::optional<Attributes> attributes_;
};

using LDLogFileInfoPtr = std::shared_ptr<LDLogFileInfo>;

}  // namespace quarra
