#pragma once
// How the host names a server file it wants cached: one class per kind of file, holding the kind's
// key fields, the server endpoint that delivers the file and the key as column values of the kind's
// table. Immutable values.
#include <cstdint>
#include <optional>
#include <string>

#include "quarra/SQValue.h"

namespace quarra {

class TVKQuarraFileMetadata {
  public:
    virtual ~TVKQuarraFileMetadata() = default;
    // The class the file cache looks the kind's table up by.
    virtual const char* className() const { return "TVKQuarraFileMetadata"; }
    // The Quarra endpoint of the file; the abstract metadata has none.
    virtual std::optional<std::string> endpoint() const { return std::nullopt; }
    // Key column name to key value, exactly the kind's key columns.
    virtual SQDictionary columnsDictionary() const { return {}; }
    virtual std::string description() const { return {}; }
};

class TVKDocumentMetadata : public TVKQuarraFileMetadata {
  public:
    TVKDocumentMetadata(std::uint64_t documentId, std::uint64_t majorVersion,
                        std::uint64_t minorVersion);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    const char* className() const override { return "TVKDocumentMetadata"; }
    std::optional<std::string> endpoint() const override;
    SQDictionary columnsDictionary() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_;
};

class TVKDocumentRenditionMetadata : public TVKQuarraFileMetadata {
  public:
    TVKDocumentRenditionMetadata(std::uint64_t documentId, std::uint64_t majorVersion,
                                 std::uint64_t minorVersion, std::string renditionType);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    const std::string& renditionType() const { return renditionType_; }
    const char* className() const override { return "TVKDocumentRenditionMetadata"; }
    std::optional<std::string> endpoint() const override;
    SQDictionary columnsDictionary() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_;
    std::string renditionType_;
};

class TVKDocumentAttachmentMetadata : public TVKQuarraFileMetadata {
  public:
    TVKDocumentAttachmentMetadata(std::uint64_t documentId, std::uint64_t attachmentId,
                                  std::uint64_t attachmentVersion);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKDocumentAttachmentMetadata"; }
    std::optional<std::string> endpoint() const override;
    SQDictionary columnsDictionary() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, attachmentId_, attachmentVersion_;
};

class TVKDocumentVersionAttachmentMetadata : public TVKQuarraFileMetadata {
  public:
    TVKDocumentVersionAttachmentMetadata(std::uint64_t documentId, std::uint64_t majorVersion,
                                         std::uint64_t minorVersion, std::uint64_t attachmentId,
                                         std::uint64_t attachmentVersion);
    std::uint64_t documentId() const { return documentId_; }
    std::uint64_t majorVersion() const { return majorVersion_; }
    std::uint64_t minorVersion() const { return minorVersion_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKDocumentVersionAttachmentMetadata"; }
    std::optional<std::string> endpoint() const override;
    SQDictionary columnsDictionary() const override;
    std::string description() const override;

  private:
    std::uint64_t documentId_, majorVersion_, minorVersion_, attachmentId_, attachmentVersion_;
};

class TVKObjectRecordAttachmentMetadata : public TVKQuarraFileMetadata {
  public:
    TVKObjectRecordAttachmentMetadata(std::string objectRecordName, std::uint64_t objectRecordId,
                                      std::uint64_t attachmentId, std::uint64_t attachmentVersion);
    const std::string& objectRecordName() const { return objectRecordName_; }
    std::uint64_t objectRecordId() const { return objectRecordId_; }
    std::uint64_t attachmentId() const { return attachmentId_; }
    std::uint64_t attachmentVersion() const { return attachmentVersion_; }
    const char* className() const override { return "TVKObjectRecordAttachmentMetadata"; }
    std::optional<std::string> endpoint() const override;
    SQDictionary columnsDictionary() const override;
    std::string description() const override;

  private:
    std::string objectRecordName_;
    std::uint64_t objectRecordId_, attachmentId_, attachmentVersion_;
};

}  // namespace quarra
