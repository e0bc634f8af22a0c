#pragma once
// What the file cache hands back for one cached file: the kind's key fields as read from its table
// row, the stored file's name in the user's file store and its MIME type, and the key as the value
// list that removal deletes by. One class per kind; immutable values.
#include <cstdint>
#include <optional>
#include <string>

#include "quarra/TVKQuarraCacheEntry.h"
#include "quarra/SQValue.h"

namespace quarra {

class TVKQuarraFileCacheEntry : public TVKQuarraCacheEntry {
  public:
    // `columnValues` is a row of the kind's table (or the values just written to it).
    TVKQuarraFileCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);

    virtual const char* className() const { return "TVKQuarraFileCacheEntry"; }
    const std::optional<std::string>& fileName() const { return fileName_; }
    const std::optional<std::string>& MIMEType() const { return MIMEType_; }
    // The key values in key-column order; the abstract entry has none.
    virtual std::optional<SQArguments> primaryKeyValues() const { return std::nullopt; }
    // No size is recorded.
    std::uint64_t fileSize() const { return 0; }
    virtual std::string description() const { return {}; }

  protected:
    static std::uint64_t unsignedValue(const SQDictionary& row, const std::string& column);
    static std::string textValue(const SQDictionary& row, const std::string& column);

  private:
    std::optional<std::string> fileName_;
    std::optional<std::string> MIMEType_;
};

using TVKQuarraFileCacheEntryPtr = std::shared_ptr<TVKQuarraFileCacheEntry>;

class TVKDocumentCacheEntry : public TVKQuarraFileCacheEntry {
  public:
    TVKDocumentCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    const char* className() const override { return "TVKDocumentCacheEntry"; }
    std::optional<SQArguments> primaryKeyValues() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_;
};

class TVKDocumentRenditionCacheEntry : public TVKQuarraFileCacheEntry {
  public:
    TVKDocumentRenditionCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    const std::string& renditionType() const { return renditionType_; }
    const char* className() const override { return "TVKDocumentRenditionCacheEntry"; }
    std::optional<SQArguments> primaryKeyValues() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_;
    std::string renditionType_;
};

class TVKDocumentAttachmentCacheEntry : public TVKQuarraFileCacheEntry {
  public:
    TVKDocumentAttachmentCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKDocumentAttachmentCacheEntry"; }
    std::optional<SQArguments> primaryKeyValues() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, attachmentId_, attachmentVersion_;
};

class TVKDocumentVersionAttachmentCacheEntry : public TVKQuarraFileCacheEntry {
  public:
    TVKDocumentVersionAttachmentCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKDocumentVersionAttachmentCacheEntry"; }
    std::optional<SQArguments> primaryKeyValues() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_, attachmentId_, attachmentVersion_;
};

class TVKObjectRecordAttachmentCacheEntry : public TVKQuarraFileCacheEntry {
  public:
    TVKObjectRecordAttachmentCacheEntry(const SQDictionary& columnValues, TVKQuarraPtr quarra);
    const std::string& objectRecordName() const { return objectRecordName_; }
    std::uint64_t objectRecordId() const { return objectRecordId_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKObjectRecordAttachmentCacheEntry"; }
    std::optional<SQArguments> primaryKeyValues() const override;
    std::string description() const override;

  private:
    std::string objectRecordName_;
    std::uint64_t objectRecordId_, attachmentId_, attachmentVersion_;
};

}  // namespace quarra
