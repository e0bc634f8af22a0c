#include "quarra/TVKQuarraFileCacheEntry.h"

#include <cstdlib>

#include "quarra/TVKQuarraLocalQuery.h"

namespace quarra {

namespace {

std::optional<std::string> optionalText(const SQDictionary& row, const char* column) {
    auto found = row.find(column);
    if (found == row.end() || !found->second.text()) {
        return std::nullopt;
    }
    return *found->second.text();
}

std::string n(std::uint64_t value) {
    return std::to_string(value);
}

SQValue u(std::uint64_t value) {
    return SQValue(value);
}

}  // namespace

TVKQuarraFileCacheEntry::TVKQuarraFileCacheEntry(const SQDictionary& columnValues,
                                                 TVKQuarraPtr quarra)
    : TVKQuarraCacheEntry(std::move(quarra)),
      fileName_(optionalText(columnValues, "FileName")),
      MIMEType_(optionalText(columnValues, "MIMEType")) {}

std::uint64_t TVKQuarraFileCacheEntry::unsignedValue(const SQDictionary& row,
                                                     const std::string& column) {
    auto found = row.find(column);
    if (found == row.end()) {
        return 0;
    }
    const SQValue& value = found->second;
    if (value.integer()) {
        return static_cast<std::uint64_t>(*value.integer());
    }
    if (value.real()) {
        return *value.real() > 0 ? static_cast<std::uint64_t>(*value.real()) : 0;
    }
    if (value.text()) {
        return std::strtoull(value.text()->c_str(), nullptr, 10);
    }
    return 0;
}

std::string TVKQuarraFileCacheEntry::textValue(const SQDictionary& row, const std::string& column) {
    auto found = row.find(column);
    return found != row.end() && found->second.text() ? *found->second.text() : std::string();
}

TVKDocumentCacheEntry::TVKDocumentCacheEntry(const SQDictionary& row, TVKQuarraPtr quarra)
    : TVKQuarraFileCacheEntry(row, std::move(quarra)),
      documentId_(unsignedValue(row, TVKDocumentQuery::DOCUMENT_ID())),
      majorVersion_(unsignedValue(row, TVKDocumentQuery::MAJOR_VERSION())),
      minorVersion_(unsignedValue(row, TVKDocumentQuery::MINOR_VERSION())) {}

std::optional<SQArguments> TVKDocumentCacheEntry::primaryKeyValues() const {
    return SQArguments{u(documentId_), u(majorVersion_), u(minorVersion_)};
}

std::string TVKDocumentCacheEntry::description() const {
    return "documentId:" + n(documentId_) + "; majorVersion:" + n(majorVersion_) +
           "; minorVersion:" + n(minorVersion_);
}

TVKDocumentRenditionCacheEntry::TVKDocumentRenditionCacheEntry(const SQDictionary& row,
                                                               TVKQuarraPtr quarra)
    : TVKQuarraFileCacheEntry(row, std::move(quarra)),
      documentId_(unsignedValue(row, TVKDocumentRenditionQuery::DOCUMENT_ID())),
      majorVersion_(unsignedValue(row, TVKDocumentRenditionQuery::MAJOR_VERSION())),
      minorVersion_(unsignedValue(row, TVKDocumentRenditionQuery::MINOR_VERSION())),
      renditionType_(textValue(row, TVKDocumentRenditionQuery::RENDITION_TYPE())) {}

std::optional<SQArguments> TVKDocumentRenditionCacheEntry::primaryKeyValues() const {
    return SQArguments{u(documentId_), u(majorVersion_), u(minorVersion_), renditionType_};
}

std::string TVKDocumentRenditionCacheEntry::description() const {
    return "documentId:" + n(documentId_) + "; majorVersion:" + n(majorVersion_) +
           "; minorVersion:" + n(minorVersion_) + "; renditionType:" + renditionType_;
}

TVKDocumentAttachmentCacheEntry::TVKDocumentAttachmentCacheEntry(const SQDictionary& row,
                                                                 TVKQuarraPtr quarra)
    : TVKQuarraFileCacheEntry(row, std::move(quarra)),
      documentId_(unsignedValue(row, TVKDocumentAttachmentQuery::DOCUMENT_ID())),
      attachmentId_(unsignedValue(row, TVKDocumentAttachmentQuery::ATTACHMENT_ID())),
      attachmentVersion_(unsignedValue(row, TVKDocumentAttachmentQuery::ATTACHMENT_VERSION())) {}

std::optional<SQArguments> TVKDocumentAttachmentCacheEntry::primaryKeyValues() const {
    return SQArguments{u(documentId_), u(attachmentId_), u(attachmentVersion_)};
}

std::string TVKDocumentAttachmentCacheEntry::description() const {
    return "documentId:" + n(documentId_) + "; attachmentId:" + n(attachmentId_) +
           "; attachmentVersion:" + n(attachmentVersion_);
}

TVKDocumentVersionAttachmentCacheEntry::TVKDocumentVersionAttachmentCacheEntry(
    const SQDictionary& row, TVKQuarraPtr quarra)
    : TVKQuarraFileCacheEntry(row, std::move(quarra)),
      documentId_(unsignedValue(row, TVKDocumentVersionAttachmentQuery::DOCUMENT_ID())),
      majorVersion_(unsignedValue(row, TVKDocumentVersionAttachmentQuery::MAJOR_VERSION())),
      minorVersion_(unsignedValue(row, TVKDocumentVersionAttachmentQuery::MINOR_VERSION())),
      attachmentId_(unsignedValue(row, TVKDocumentVersionAttachmentQuery::ATTACHMENT_ID())),
      attachmentVersion_(
          unsignedValue(row, TVKDocumentVersionAttachmentQuery::ATTACHMENT_VERSION())) {}

std::optional<SQArguments> TVKDocumentVersionAttachmentCacheEntry::primaryKeyValues() const {
    return SQArguments{u(documentId_), u(majorVersion_), u(minorVersion_), u(attachmentId_),
                       u(attachmentVersion_)};
}

std::string TVKDocumentVersionAttachmentCacheEntry::description() const {
    return "documentId:" + n(documentId_) + "; majorVersion:" + n(majorVersion_) +
           "; minorVersion:" + n(minorVersion_) + ", attachmentId:" + n(attachmentId_) +
           "; attachmentVersion:" + n(attachmentVersion_);
}

TVKObjectRecordAttachmentCacheEntry::TVKObjectRecordAttachmentCacheEntry(const SQDictionary& row,
                                                                         TVKQuarraPtr quarra)
    : TVKQuarraFileCacheEntry(row, std::move(quarra)),
      objectRecordName_(textValue(row, TVKObjectRecordAttachmentQuery::OBJECT_RECORD_NAME())),
      objectRecordId_(unsignedValue(row, TVKObjectRecordAttachmentQuery::OBJECT_RECORD_ID())),
      attachmentId_(unsignedValue(row, TVKObjectRecordAttachmentQuery::ATTACHMENT_ID())),
      attachmentVersion_(unsignedValue(row, TVKObjectRecordAttachmentQuery::ATTACHMENT_VERSION())) {
}

std::optional<SQArguments> TVKObjectRecordAttachmentCacheEntry::primaryKeyValues() const {
    return SQArguments{objectRecordName_, u(objectRecordId_), u(attachmentId_),
                       u(attachmentVersion_)};
}

std::string TVKObjectRecordAttachmentCacheEntry::description() const {
    return "objectRecordName:" + objectRecordName_ + "; objectRecordId:" + n(objectRecordId_) +
           "; attachmentId:" + n(attachmentId_) + "; attachmentVersion:" + n(attachmentVersion_);
}

}  // namespace quarra
