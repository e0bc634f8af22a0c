// The file cache: downloads from the loopback Quarra test server into the encrypted file store,
// and recording, querying and removing entries in the user's cache databases of two Quarras.
#include "quarra/TVKQuarraFileCache.h"

#include <gtest/gtest.h>

#include <regex>

#include "CacheTestSupport.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "platform/Files.h"
#include "platform/UserDefaults.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;
using test::Delivery;
using test::SignInTestBed;
using Entries = std::vector<TVKQuarraFileCacheEntryPtr>;
using Criteria = TVKQuarraQueryCriteria;

fs::path store() {
    return *TVKQuarraFileCache::fileStoreURL();
}

std::set<std::string> storedFiles() {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(store())) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

Entries queryAll(TVKQuarraFileCache& cache, const TVKQuarraLocalQuery& query, ErrorPtr* error) {
    Delivery<Entries> delivery;
    cache.query(query, delivery.handler());
    *error = delivery.wait();
    return delivery.result;
}

Entries documents(TVKQuarraFileCache& cache, ErrorPtr* error = nullptr) {
    ErrorPtr ignored;
    return queryAll(cache, *TVKDocumentQuery::createWithExpression({}), error ? error : &ignored);
}

// ---- Downloads

class FileCacheDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        bed.signIn();
        quarra = bed.quarra(SignInTestBed::FirstQuarra);
        cache = TVKQuarraFileCache::openCacheWithQuarra(quarra);
        ASSERT_TRUE(cache);
    }

    void serve(const std::string& endpoint, const std::string& body,
               const std::string& type = "application/pdf") {
        bed.service.addEndpoint(
            SignInTestBed::FirstQuarra, endpoint,
            [body, type](const test::RecordedRequest&, const test::QuarraTestService::User&) {
                test::Reply reply;
                reply.contentType = type;
                reply.body = body;
                return reply;
            });
    }

    Delivery<TVKQuarraFileCacheEntryPtr> download(std::shared_ptr<TVKQuarraFileMetadata> metadata,
                                                  const TVKQuarraPtr& from) {
        Delivery<TVKQuarraFileCacheEntryPtr> delivery;
        cache->downloadAndCacheFileWithMetadata(metadata, from, delivery.handler());
        delivery.wait();
        return delivery;
    }

    std::string decrypted(const std::string& name) {
        auto bytes = TVKQuarraCryptManager::sharedInstance().decryptContentsAtPath(store() / name);
        EXPECT_FALSE(bytes.error());
        return bytes ? std::string(bytes->begin(), bytes->end()) : std::string();
    }

    SignInTestBed bed;
    TVKQuarraPtr quarra;
    std::shared_ptr<TVKQuarraFileCache> cache;
};

TEST_F(FileCacheDownload, StoresTheFileEncryptedUnderAFreshUuidAndRecordsIt) {
    const std::string endpoint = "objects/documents/12/versions/1/0/file";
    serve(endpoint, "first version");
    auto metadata = std::make_shared<TVKDocumentMetadata>(12, 1, 0);
    auto first = download(metadata, quarra);
    ASSERT_FALSE(first.error) << first.error->description();
    auto entry = std::dynamic_pointer_cast<TVKDocumentCacheEntry>(first.result);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->documentId(), 12u);
    EXPECT_EQ(entry->quarra(), quarra);
    static const std::regex uuid(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    ASSERT_TRUE(entry->fileName());
    EXPECT_TRUE(std::regex_match(*entry->fileName(), uuid));
    EXPECT_EQ(entry->MIMEType(), "application/octet-stream");
    EXPECT_NE(test::readFile(store() / *entry->fileName()), "first version");
    EXPECT_EQ(decrypted(*entry->fileName()), "first version");

    // The same file again: one row, naming the new file; only the new file stays.
    serve(endpoint, "second version");
    auto second = download(metadata, quarra);
    ASSERT_FALSE(second.error);
    ErrorPtr error;
    auto rows = documents(*cache, &error);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->fileName(), second.result->fileName());
    EXPECT_EQ(storedFiles(), std::set<std::string>{*second.result->fileName()});
    EXPECT_EQ(decrypted(*rows[0]->fileName()), "second version");
}

TEST_F(FileCacheDownload, AFailedDownloadRecordsNothingAndLeavesNoFile) {
    serve(
        "objects/documents/5/versions/1/0/file",
        R"({"responseStatus":"FAILURE","errors":[{"type":"OPERATION_NOT_ALLOWED","message":"no"}]})",
        "application/json");
    auto failed = download(std::make_shared<TVKDocumentMetadata>(5, 1, 0), quarra);
    EXPECT_TRUE(failed.error);
    EXPECT_FALSE(failed.result);
    EXPECT_TRUE(storedFiles().empty());

    // Another Quarra object, however equal, is refused before anything starts.
    auto twin = std::make_shared<TVKQuarra>(quarra->Id(), quarra->name(), "x.example.com");
    twin->setURL(quarra->URL());
    auto refused = download(std::make_shared<TVKDocumentMetadata>(5, 1, 0), twin);
    ASSERT_TRUE(refused.error);
    EXPECT_TRUE(refused.error->is(TVKQuarraErrorDomain, -20));
    EXPECT_EQ(refused.error->localizedDescription(),
              "Unable cache data from Quarra not associated with cache");
}

// ---- Recording, querying and removing (files already in the store)

class FileCache : public ::testing::Test {
  protected:
    void SetUp() override {
        test::signInCacheUser("alice", {first, second});
        firstCache = TVKQuarraFileCache::openCacheWithQuarra(first);
        secondCache = TVKQuarraFileCache::openCacheWithQuarra(second);
        ASSERT_TRUE(firstCache && secondCache);
    }

    // A finished download's file in the store, recorded as `metadata`.
    TVKQuarraFileCacheEntryPtr record(TVKQuarraFileCache& cache,
                                      const TVKQuarraFileMetadata& metadata,
                                      ErrorPtr* error = nullptr) {
        auto file = *TVKQuarraFileCache::generateFileLocationForDownload();
        test::writeFile(file, "content");
        Delivery<TVKQuarraFileCacheEntryPtr> delivery;
        cache.addOrUpdateRecordForFileAtURL(file, "application/pdf", cache.quarra(),
                                            cache.tableForMetadataClass(metadata.className()),
                                            metadata, delivery.handler());
        ErrorPtr result = delivery.wait();
        if (error) {
            *error = result;
        } else {
            EXPECT_FALSE(result) << result->description();
        }
        return delivery.result;
    }

    ErrorPtr remove(TVKQuarraFileCache& cache, const Entries& entries) {
        Delivery<test::NoResult> delivery;
        cache.removeEntries(entries, delivery.errorHandler());
        return delivery.wait();
    }

    TVKQuarraPtr first = std::make_shared<TVKQuarra>(7, "First", "first.example.com");
    TVKQuarraPtr second = std::make_shared<TVKQuarra>(8, "Second", "second.example.com");
    std::shared_ptr<TVKQuarraFileCache> firstCache, secondCache;
};

TEST_F(FileCache, KindsKeepTheirOwnTablesAndQueriesSelectByKind) {
    auto document = record(*firstCache, TVKDocumentMetadata(12, 1, 0));
    auto rendition = record(*firstCache, TVKDocumentRenditionMetadata(12, 1, 0, "it's \"pdf\""));
    record(*firstCache, TVKDocumentRenditionMetadata(12, 1, 0, "png"));
    record(*firstCache, TVKObjectRecordAttachmentMetadata("Invoice", 3, 4, 5));
    ASSERT_TRUE(document && rendition);
    EXPECT_NE(document->fileName(), rendition->fileName());
    EXPECT_EQ(storedFiles().size(), 4u);

    ErrorPtr error;
    auto quoted = queryAll(
        *firstCache,
        *TVKDocumentRenditionQuery::createWithExpression(
            {Criteria::criteriaWithFieldEqualTo(TVKDocumentRenditionQuery::RENDITION_TYPE(),
                                                "it's \"pdf\""),
             TVKQuarraLogicalOperatorAnd,
             Criteria::criteriaWithFieldEqualTo(TVKDocumentRenditionQuery::DOCUMENT_ID(), 12)}),
        &error);
    ASSERT_FALSE(error);
    ASSERT_EQ(quoted.size(), 1u);
    auto found = std::dynamic_pointer_cast<TVKDocumentRenditionCacheEntry>(quoted[0]);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->renditionType(), "it's \"pdf\"");
    EXPECT_EQ(found->fileName(), rendition->fileName());
    EXPECT_EQ(found->MIMEType(), "application/pdf");

    auto none =
        queryAll(*firstCache,
                 *TVKDocumentQuery::createWithExpression(
                     {Criteria::criteriaWithFieldEqualTo(TVKDocumentQuery::DOCUMENT_ID(), 99)}),
                 &error);
    EXPECT_FALSE(error);
    EXPECT_TRUE(none.empty());
    // A kind never recorded has no table yet.
    queryAll(*firstCache, *TVKDocumentAttachmentQuery::createWithExpression({}), &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -1));
    // The other Quarra's database holds none of it.
    documents(*secondCache, &error);
    EXPECT_TRUE(error);
}

TEST_F(FileCache, RemovalDeletesRowsThenFilesCarryingOnPastFailures) {
    auto a = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    auto b = record(*firstCache, TVKDocumentMetadata(2, 1, 0));
    auto c = record(*firstCache, TVKDocumentMetadata(3, 1, 0));
    auto d = record(*firstCache, TVKDocumentMetadata(4, 1, 0));
    // b's file is already gone; c's name is taken by something that cannot be removed.
    fs::remove(store() / *b->fileName());
    fs::remove(store() / *c->fileName());
    fs::create_directories(store() / *c->fileName() / "inside");

    ErrorPtr error = remove(*firstCache, {a, b, c});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), PosixErrorDomain);
    auto left = documents(*firstCache);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0]->fileName(), d->fileName());
    EXPECT_EQ(storedFiles(), (std::set<std::string>{*c->fileName(), *d->fileName()}));

    EXPECT_FALSE(remove(*firstCache, {d}));
    EXPECT_TRUE(documents(*firstCache).empty());
}

// The host kept an entry, then the same key was downloaded again: removing the old entry removes
// the row and the file it names now, and leaves no file behind.
TEST_F(FileCache, RemovingAStaleEntryRemovesTheCurrentFile) {
    auto stale = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    auto current = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    ASSERT_TRUE(stale && current);
    ASSERT_NE(stale->fileName(), current->fileName());
    EXPECT_EQ(storedFiles(), std::set<std::string>{*current->fileName()});
    EXPECT_FALSE(remove(*firstCache, {stale}));
    EXPECT_TRUE(documents(*firstCache).empty());
    EXPECT_TRUE(storedFiles().empty());
}

// Files no row of any of the user's databases names are swept when a cache opens and by
// remove-all; files another Quarra's rows name stay; an unreadable database stops the sweep.
TEST_F(FileCache, FilesNoRowNamesAreSwept) {
    auto mine = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    auto theirs = record(*secondCache, TVKDocumentMetadata(1, 1, 0));
    const std::set<std::string> named = {*mine->fileName(), *theirs->fileName()};
    test::writeFile(store() / "orphan-1", "left by a failed removal");
    // A download's copy still being written beside its final name.
    std::optional<AtomicFile> writing;
    writing.emplace(store() / "in-flight");
    ASSERT_FALSE(writing->error());
    ASSERT_TRUE(TVKQuarraFileCache::openCacheWithQuarra(first));
    auto expected = named;
    for (const auto& name : storedFiles()) {
        if (files::isPartialFile(name)) {
            expected.insert(name);
        }
    }
    EXPECT_EQ(storedFiles(), expected);
    EXPECT_EQ(expected.size(), named.size() + 1) << "the partial copy stays";
    writing.reset();

    // A database that cannot be read might name the file: nothing is removed.
    const auto folder = store().parent_path();
    test::writeFile(folder / "quarra99_cache.db", std::string(4096, 'x'));
    test::writeFile(store() / "orphan-2", "finished after its process ended");
    EXPECT_TRUE(TVKQuarraFileCache::sweepFileStore());
    EXPECT_EQ(storedFiles().count("orphan-2"), 1u);
    fs::remove(folder / "quarra99_cache.db");

    Delivery<test::NoResult> delivery;
    firstCache->removeAllEntries(delivery.errorHandler());
    EXPECT_FALSE(delivery.wait());
    EXPECT_EQ(storedFiles(), std::set<std::string>{*theirs->fileName()});
}

// A download's file stays while its record does: its handler, which may record it in the cache,
// has not returned yet (the record goes only after it has, after a relaunch too).
TEST_F(FileCache, ADownloadsFileStaysWhileItsRecordDoes) {
    test::writeFile(store() / "delivered", "the handler has not recorded it yet");
    const std::string key =
        TVKQuarraConfigurationManager::sharedInstance().frameworkId() + ".download_task_info_key";
    UserDefaults::standard().setObject(
        {{"download-1",
          {{"com.tovik.download.info.filepath.key", (store() / "delivered").string()},
           {"com.tovik.download.info.taskid.key", std::uint64_t{3}}}}},
        key);
    ASSERT_FALSE(TVKQuarraFileCache::sweepFileStore());
    EXPECT_EQ(storedFiles().count("delivered"), 1u);
    UserDefaults::standard().removeObjectForKey(key);
    ASSERT_FALSE(TVKQuarraFileCache::sweepFileStore());
    EXPECT_EQ(storedFiles().count("delivered"), 0u);
}

TEST_F(FileCache, RemovalRefusesMixedOrForeignEntries) {
    auto mine = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    auto theirs = record(*secondCache, TVKDocumentMetadata(1, 1, 0));
    for (const Entries& refused : {Entries{}, Entries{mine, theirs}}) {
        ErrorPtr error = remove(*firstCache, refused);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(TVKQuarraErrorDomain, -20));
        EXPECT_EQ(error->localizedDescription(),
                  "Invalid parameter: at least one entry must be given and all entries must have "
                  "the same quarra property");
    }
    // Entries of the other Quarra's cache object: equal in nothing but kind, not this cache's.
    ErrorPtr error = remove(*firstCache, {theirs});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(),
              "Unable to cache data from Quarra not associated with cache");
    EXPECT_EQ(documents(*firstCache).size(), 1u);
    EXPECT_EQ(documents(*secondCache).size(), 1u);
    EXPECT_EQ(storedFiles().size(), 2u);
}

TEST_F(FileCache, RemoveAllEmptiesOneQuarraAndKeepsTheOthersFiles) {
    record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    record(*firstCache, TVKDocumentVersionAttachmentMetadata(1, 1, 0, 2, 3));
    auto kept = record(*secondCache, TVKDocumentMetadata(1, 1, 0));
    Delivery<test::NoResult> delivery;
    firstCache->removeAllEntries(delivery.errorHandler());
    EXPECT_FALSE(delivery.wait());
    EXPECT_EQ(storedFiles(), std::set<std::string>{*kept->fileName()});
    ErrorPtr error;
    documents(*firstCache, &error);
    EXPECT_TRUE(error);
    EXPECT_EQ(documents(*secondCache).size(), 1u);
    // The next recording brings the table back.
    record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    EXPECT_EQ(documents(*firstCache).size(), 1u);
}

TEST_F(FileCache, AFailedRecordingRemovesTheNewFileAndKeepsTheOldEntry) {
    auto old = record(*firstCache, TVKDocumentMetadata(1, 1, 0));
    ASSERT_TRUE(old);
    // Bound to bob, this object works for nobody else: the recording fails.
    test::signInCacheUser("bob", {first});
    auto bobs = TVKQuarraFileCache::openCacheWithQuarra(first);
    test::signInCacheUser("alice", {first, second});
    auto file = *TVKQuarraFileCache::generateFileLocationForDownload();
    test::writeFile(file, "content");
    Delivery<TVKQuarraFileCacheEntryPtr> delivery;
    bobs->addOrUpdateRecordForFileAtURL(file, "application/pdf", first, bobs->docTable(),
                                        TVKDocumentMetadata(1, 1, 0), delivery.handler());
    ErrorPtr error = delivery.wait();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -3));
    EXPECT_FALSE(delivery.result);
    EXPECT_FALSE(fs::exists(file));
    auto rows = documents(*firstCache);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]->fileName(), old->fileName());
    EXPECT_EQ(storedFiles(), std::set<std::string>{*old->fileName()});
}

TEST(FileCacheOpen, NeedsASignedInUser) {
    EXPECT_FALSE(TVKQuarraFileCache::openCacheWithQuarra(
        std::make_shared<TVKQuarra>(7, "First", "first.example.com")));
}

}  // namespace
}  // namespace quarra
