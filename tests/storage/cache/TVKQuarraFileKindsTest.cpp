// The five cached file kinds: endpoints, key columns, texts, and entries made from table rows.
#include <gtest/gtest.h>

#include <functional>

#include "quarra/TVKQuarraFileCacheEntry.h"
#include "quarra/TVKQuarraFileMetadata.h"
#include "quarra/Url.h"

namespace quarra {
namespace {

struct Kind {
    std::shared_ptr<TVKQuarraFileMetadata> metadata;
    std::string endpoint;
    SQDictionary columns;
    std::string description;
    std::function<TVKQuarraFileCacheEntryPtr(const SQDictionary&)> entry;
    std::string entryDescription;
};

template <class Entry>
std::function<TVKQuarraFileCacheEntryPtr(const SQDictionary&)> maker() {
    return [](const SQDictionary& row) { return std::make_shared<Entry>(row, nullptr); };
}

TEST(FileKinds, NameEndpointsKeyColumnsAndTexts) {
    const std::uint64_t big = 5'000'000'001;
    const Kind kinds[] = {
        {std::make_shared<TVKDocumentMetadata>(12, 1, 0),
         "objects/documents/12/versions/1/0/file",
         {{"DocumentID", 12}, {"MajorVersion", 1}, {"MinorVersion", 0}},
         "documentId:12; majorVersion:1; minorVersion:0",
         maker<TVKDocumentCacheEntry>(),
         "documentId:12; majorVersion:1; minorVersion:0"},
        {std::make_shared<TVKDocumentRenditionMetadata>(12, 1, 0, "pdf/a"),
         "objects/documents/12/versions/1/0/renditions/pdf%2Fa",
         {{"DocumentID", 12}, {"MajorVersion", 1}, {"MinorVersion", 0}, {"RenditionType", "pdf/a"}},
         "documentId:12; majorVersion:1; minorVersion:0 renditionType:pdf/a",
         maker<TVKDocumentRenditionCacheEntry>(),
         "documentId:12; majorVersion:1; minorVersion:0; renditionType:pdf/a"},
        {std::make_shared<TVKDocumentAttachmentMetadata>(big, 3, 4),
         "objects/documents/5000000001/attachments/3/versions/4/file",
         {{"DocumentID", big}, {"AttachmentID", 3}, {"AttachmentVersion", 4}},
         "documentId:5000000001; attachmentId:3; attachmentVersion:4",
         maker<TVKDocumentAttachmentCacheEntry>(),
         "documentId:5000000001; attachmentId:3; attachmentVersion:4"},
        {std::make_shared<TVKDocumentVersionAttachmentMetadata>(1, 2, 3, 4, 5),
         "objects/documents/1/versions/2/3/attachments/4/versions/5/file",
         {{"DocumentID", 1},
          {"MajorVersion", 2},
          {"MinorVersion", 3},
          {"AttachmentID", 4},
          {"AttachmentVersion", 5}},
         "documentId:1; majorVersion:2; minorVersion:3; attachmentId:4; attachmentVersion:5",
         maker<TVKDocumentVersionAttachmentCacheEntry>(),
         "documentId:1; majorVersion:2; minorVersion:3, attachmentId:4; attachmentVersion:5"},
        {std::make_shared<TVKObjectRecordAttachmentMetadata>("Invoice", 7, 8, 9),
         "vobjects/Invoice/7/attachments/8/versions/9/file",
         {{"ObjectRecordName", "Invoice"},
          {"ObjectRecordId", 7},
          {"AttachmentID", 8},
          {"AttachmentVersion", 9}},
         "objectRecordName:Invoice; objectRecordId:7; attachmentId:8; attachmentVersion:9",
         maker<TVKObjectRecordAttachmentCacheEntry>(),
         "objectRecordName:Invoice; objectRecordId:7; attachmentId:8; attachmentVersion:9"},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.endpoint);
        EXPECT_EQ(kind.metadata->endpoint(), kind.endpoint);
        EXPECT_EQ(kind.metadata->columnsDictionary(), kind.columns);
        EXPECT_EQ(kind.metadata->description(), kind.description);
        // An entry made from the written row gives back the key in key-column order.
        SQDictionary row = kind.columns;
        row["FileName"] = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
        row["MIMEType"] = "application/pdf";
        auto entry = kind.entry(row);
        EXPECT_EQ(entry->description(), kind.entryDescription);
        EXPECT_EQ(entry->fileName(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
        EXPECT_EQ(entry->MIMEType(), "application/pdf");
        EXPECT_EQ(entry->fileSize(), 0u);
        ASSERT_TRUE(entry->primaryKeyValues());
        EXPECT_EQ(entry->primaryKeyValues()->size(), kind.columns.size());
    }
}

// A name from the host or the server stays one segment of the path: it cannot climb to another
// endpoint, add a query or cut the path with a fragment.
TEST(FileKinds, NamesInTheEndpointStayOneSegment) {
    const std::string hostile[] = {
        "../../../../users/me?x=1#", "..", ".", "a/b", "%2e%2e", "x y;z=1", "\\..\\",
        std::string("nul\0byte", 8), ""};
    for (const auto& name : hostile) {
        SCOPED_TRACE(name);
        const std::pair<std::shared_ptr<TVKQuarraFileMetadata>, std::string> kinds[] = {
            {std::make_shared<TVKDocumentRenditionMetadata>(1, 2, 3, name),
             "/api/v1/objects/documents/1/versions/2/3/renditions/"},
            {std::make_shared<TVKObjectRecordAttachmentMetadata>(name, 7, 8, 9),
             "/api/v1/vobjects/"},
        };
        for (const auto& [metadata, prefix] : kinds) {
            auto url = Url::parse("https://q.example/api/v1/" + metadata->endpoint().value());
            ASSERT_TRUE(url);
            EXPECT_FALSE(url->query());
            EXPECT_FALSE(url->fragment());
            ASSERT_EQ(url->path().substr(0, prefix.size()), prefix);
            std::string segment = url->path().substr(prefix.size());
            segment = segment.substr(0, segment.find('/'));
            EXPECT_EQ(Url::percentDecode(segment), name);
            EXPECT_NE(segment, "..");
            EXPECT_NE(segment, ".");
        }
    }
}

TEST(FileKinds, AbstractKindsHaveNoEndpointOrKey) {
    TVKQuarraFileMetadata metadata;
    EXPECT_FALSE(metadata.endpoint());
    EXPECT_TRUE(metadata.columnsDictionary().empty());
    TVKQuarraFileCacheEntry entry({}, nullptr);
    EXPECT_FALSE(entry.primaryKeyValues());
    EXPECT_FALSE(entry.fileName());
    TVKDocumentCacheEntry document({{"DocumentID", 12}, {"MajorVersion", 1}, {"MinorVersion", 0}},
                                   nullptr);
    EXPECT_EQ(document.primaryKeyValues(), (SQArguments{12, 1, 0}));
}

}  // namespace
}  // namespace quarra
