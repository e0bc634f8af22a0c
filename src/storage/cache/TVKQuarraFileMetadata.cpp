#include "quarra/TVKQuarraFileMetadata.h"

#include "quarra/TVKQuarraLocalQuery.h"
#include "quarra/Url.h"

namespace quarra {

namespace {

std::string number(std::uint64_t value) {
    return std::to_string(value);
}

}  // namespace

TVKDocumentMetadata::TVKDocumentMetadata(std::uint64_t documentId, std::uint64_t majorVersion,
                                         std::uint64_t minorVersion)
    : documentId_(documentId), majorVersion_(majorVersion), minorVersion_(minorVersion) {}

std::optional<std::string> TVKDocumentMetadata::endpoint() const {
    return "objects/documents/" + number(documentId_) + "/versions/" + number(majorVersion_) + "/" +
           number(minorVersion_) + "/file";
}

SQDictionary TVKDocumentMetadata::columnsDictionary() const {
    using Q = TVKDocumentQuery;
    return {{Q::DOCUMENT_ID(), documentId_},
            {Q::MAJOR_VERSION(), majorVersion_},
            {Q::MINOR_VERSION(), minorVersion_}};
}

std::string TVKDocumentMetadata::description() const {
    return "documentId:" + number(documentId_) + "; majorVersion:" + number(majorVersion_) +
           "; minorVersion:" + number(minorVersion_);
}

TVKDocumentRenditionMetadata::TVKDocumentRenditionMetadata(std::uint64_t documentId,
                                                           std::uint64_t majorVersion,
                                                           std::uint64_t minorVersion,
                                                           std::string renditionType)
    : documentId_(documentId),
      majorVersion_(majorVersion),
      minorVersion_(minorVersion),
      renditionType_(std::move(renditionType)) {}

std::optional<std::string> TVKDocumentRenditionMetadata::endpoint() const {
    return "objects/documents/" + number(documentId_) + "/versions/" + number(majorVersion_) + "/" +
           number(minorVersion_) + "/renditions/" + Url::percentEncodedPathSegment(renditionType_);
}

SQDictionary TVKDocumentRenditionMetadata::columnsDictionary() const {
    using Q = TVKDocumentRenditionQuery;
    return {{Q::DOCUMENT_ID(), documentId_},
            {Q::MAJOR_VERSION(), majorVersion_},
            {Q::MINOR_VERSION(), minorVersion_},
            {Q::RENDITION_TYPE(), renditionType_}};
}

std::string TVKDocumentRenditionMetadata::description() const {
    return "documentId:" + number(documentId_) + "; majorVersion:" + number(majorVersion_) +
           "; minorVersion:" + number(minorVersion_) + " renditionType:" + renditionType_;
}

TVKDocumentAttachmentMetadata::TVKDocumentAttachmentMetadata(std::uint64_t documentId,
                                                             std::uint64_t attachmentId,
                                                             std::uint64_t attachmentVersion)
    : documentId_(documentId), attachmentId_(attachmentId), attachmentVersion_(attachmentVersion) {}

std::optional<std::string> TVKDocumentAttachmentMetadata::endpoint() const {
    return "objects/documents/" + number(documentId_) + "/attachments/" + number(attachmentId_) +
           "/versions/" + number(attachmentVersion_) + "/file";
}

SQDictionary TVKDocumentAttachmentMetadata::columnsDictionary() const {
    using Q = TVKDocumentAttachmentQuery;
    return {{Q::DOCUMENT_ID(), documentId_},
            {Q::ATTACHMENT_ID(), attachmentId_},
            {Q::ATTACHMENT_VERSION(), attachmentVersion_}};
}

std::string TVKDocumentAttachmentMetadata::description() const {
    return "documentId:" + number(documentId_) + "; attachmentId:" + number(attachmentId_) +
           "; attachmentVersion:" + number(attachmentVersion_);
}

TVKDocumentVersionAttachmentMetadata::TVKDocumentVersionAttachmentMetadata(
    std::uint64_t documentId, std::uint64_t majorVersion, std::uint64_t minorVersion,
    std::uint64_t attachmentId, std::uint64_t attachmentVersion)
    : documentId_(documentId),
      majorVersion_(majorVersion),
      minorVersion_(minorVersion),
      attachmentId_(attachmentId),
      attachmentVersion_(attachmentVersion) {}

std::optional<std::string> TVKDocumentVersionAttachmentMetadata::endpoint() const {
    return "objects/documents/" + number(documentId_) + "/versions/" + number(majorVersion_) + "/" +
           number(minorVersion_) + "/attachments/" + number(attachmentId_) + "/versions/" +
           number(attachmentVersion_) + "/file";
}

SQDictionary TVKDocumentVersionAttachmentMetadata::columnsDictionary() const {
    using Q = TVKDocumentVersionAttachmentQuery;
    return {{Q::DOCUMENT_ID(), documentId_},
            {Q::MAJOR_VERSION(), majorVersion_},
            {Q::MINOR_VERSION(), minorVersion_},
            {Q::ATTACHMENT_ID(), attachmentId_},
            {Q::ATTACHMENT_VERSION(), attachmentVersion_}};
}

std::string TVKDocumentVersionAttachmentMetadata::description() const {
    return "documentId:" + number(documentId_) + "; majorVersion:" + number(majorVersion_) +
           "; minorVersion:" + number(minorVersion_) + "; attachmentId:" + number(attachmentId_) +
           "; attachmentVersion:" + number(attachmentVersion_);
}

TVKObjectRecordAttachmentMetadata::TVKObjectRecordAttachmentMetadata(
    std::string objectRecordName, std::uint64_t objectRecordId, std::uint64_t attachmentId,
    std::uint64_t attachmentVersion)
    : objectRecordName_(std::move(objectRecordName)),
      objectRecordId_(objectRecordId),
      attachmentId_(attachmentId),
      attachmentVersion_(attachmentVersion) {}

std::optional<std::string> TVKObjectRecordAttachmentMetadata::endpoint() const {
    return "vobjects/" + Url::percentEncodedPathSegment(objectRecordName_) + "/" +
           number(objectRecordId_) + "/attachments/" + number(attachmentId_) + "/versions/" +
           number(attachmentVersion_) + "/file";
}

SQDictionary TVKObjectRecordAttachmentMetadata::columnsDictionary() const {
    using Q = TVKObjectRecordAttachmentQuery;
    return {{Q::OBJECT_RECORD_NAME(), objectRecordName_},
            {Q::OBJECT_RECORD_ID(), objectRecordId_},
            {Q::ATTACHMENT_ID(), attachmentId_},
            {Q::ATTACHMENT_VERSION(), attachmentVersion_}};
}

std::string TVKObjectRecordAttachmentMetadata::description() const {
    return "objectRecordName:" + objectRecordName_ + "; objectRecordId:" + number(objectRecordId_) +
           "; attachmentId:" + number(attachmentId_) +
           "; attachmentVersion:" + number(attachmentVersion_);
}

}  // namespace quarra
