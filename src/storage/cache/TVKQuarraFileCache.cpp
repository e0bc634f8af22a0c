#include "quarra/TVKQuarraFileCache.h"

#include <mutex>
#include <regex>
#include <set>
#include <system_error>

#include "auth/TVKQuarraAuthManager.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "core/TVKQuarraManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "platform/Files.h"
#include "platform/Uuid.h"
#include "quarra/TVKErrors.h"
#include "storage/cache/TVKCacheDatabaseKey.h"
#include "storage/cache/TVKCacheTable.h"
#include "storage/cache/TVKSqlName.h"
#include "storage/crypt/TVKQuarraCryptManager.h"
#include "storage/db/SQDatabase.h"

namespace quarra {

namespace fs = std::filesystem;

namespace {

using Columns = std::vector<TVKCacheTableColumnPtr>;

TVKCacheTableColumnPtr keyColumn(const std::string& name, const char* type) {
    return std::make_shared<TVKCacheTableColumn>(
        name, type, std::vector<std::string>{"PRIMARY KEY", "NOT NULL"});
}

// Built once, shared by every cache object, and never destroyed: a cache call on another thread
// may still use them while the process exits.
const Columns& fileColumns() {
    static const Columns& columns =
        *new Columns{std::make_shared<TVKCacheTableColumn>("FileName", "TEXT",
                                                           std::vector<std::string>{"NOT NULL"}),
                     std::make_shared<TVKCacheTableColumn>("MIMEType", "TEXT",
                                                           std::vector<std::string>{"NOT NULL"})};
    return columns;
}

const Columns& docColumns() {
    using Q = TVKDocumentQuery;
    static const Columns& columns = *new Columns{keyColumn(Q::DOCUMENT_ID(), "INTEGER"),
                                                 keyColumn(Q::MAJOR_VERSION(), "INTEGER"),
                                                 keyColumn(Q::MINOR_VERSION(), "INTEGER")};
    return columns;
}

const Columns& docRenditionColumns() {
    using Q = TVKDocumentRenditionQuery;
    static const Columns& columns = *new Columns{
        keyColumn(Q::DOCUMENT_ID(), "INTEGER"), keyColumn(Q::MAJOR_VERSION(), "INTEGER"),
        keyColumn(Q::MINOR_VERSION(), "INTEGER"), keyColumn(Q::RENDITION_TYPE(), "TEXT")};
    return columns;
}

const Columns& docAttachmentColumns() {
    using Q = TVKDocumentAttachmentQuery;
    static const Columns& columns = *new Columns{keyColumn(Q::DOCUMENT_ID(), "INTEGER"),
                                                 keyColumn(Q::ATTACHMENT_ID(), "INTEGER"),
                                                 keyColumn(Q::ATTACHMENT_VERSION(), "INTEGER")};
    return columns;
}

const Columns& docVersionAttachmentColumns() {
    using Q = TVKDocumentVersionAttachmentQuery;
    static const Columns& columns = *new Columns{
        keyColumn(Q::DOCUMENT_ID(), "INTEGER"), keyColumn(Q::MAJOR_VERSION(), "INTEGER"),
        keyColumn(Q::MINOR_VERSION(), "INTEGER"), keyColumn(Q::ATTACHMENT_ID(), "INTEGER"),
        keyColumn(Q::ATTACHMENT_VERSION(), "INTEGER")};
    return columns;
}

const Columns& objectRecordAttachmentColumns() {
    using Q = TVKObjectRecordAttachmentQuery;
    static const Columns& columns = *new Columns{
        keyColumn(Q::OBJECT_RECORD_NAME(), "TEXT"), keyColumn(Q::OBJECT_RECORD_ID(), "INTEGER"),
        keyColumn(Q::ATTACHMENT_ID(), "INTEGER"), keyColumn(Q::ATTACHMENT_VERSION(), "INTEGER")};
    return columns;
}

TVKCacheTablePtr makeTable(const char* name, const Columns& keys) {
    Columns columns = keys;
    columns.insert(columns.end(), fileColumns().begin(), fileColumns().end());
    return std::make_shared<TVKCacheTable>(name, std::move(columns));
}

template <class Entry>
TVKQuarraFileCacheEntryPtr makeEntry(const SQDictionary& values, TVKQuarraPtr quarra) {
    return std::make_shared<Entry>(values, std::move(quarra));
}

ErrorPtr invalidParameter(const char* description) {
    return Error::make(TVKQuarraErrorDomain, TVKQuarraNotAssociatedWithCacheErrorCode, description);
}

// Adds the stored file names of the existing table `table` to `names`.
ErrorPtr readFileNames(SQDatabase& db, const TVKCacheTable& table,
                       std::vector<std::string>& names) {
    const std::string sql = "SELECT FileName FROM " + TVKSqlName(table.name());
    auto rows = db.executeQuery(sql);
    if (!rows) {
        return TVKCacheTable::handleErrorForDatabase(db, sql);
    }
    for (;;) {
        auto step = rows->nextWithError();
        if (!step) {
            return TVKCacheTable::handleErrorForDatabase(db, sql);
        }
        if (!*step) {
            return nullptr;
        }
        if (auto name = rows->stringForColumnIndex(0)) {
            names.push_back(*name);
        }
    }
}

// Stored names are bare UUIDs; anything that could reach outside the store is never removed.
bool isStoreFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Store files that a download or a recording of this process is about to name in a row: the
// sweep leaves them alone. A name is held from before its file can exist until its row is
// committed (or the file removed), so a file the sweep finds neither held nor named is no one's.
class HeldFileNames {
  public:
    static HeldFileNames& shared() {
        static auto& held = *new HeldFileNames;
        return held;
    }
    void hold(const std::string& name) {
        std::lock_guard lock(mutex_);
        names_.insert(name);
    }
    void release(const std::string& name) {
        std::lock_guard lock(mutex_);
        if (auto found = names_.find(name); found != names_.end()) {
            names_.erase(found);
        }
    }
    std::multiset<std::string> snapshot() const {
        std::lock_guard lock(mutex_);
        return names_;
    }

  private:
    mutable std::mutex mutex_;
    std::multiset<std::string> names_;
};

class HeldFileName {
  public:
    explicit HeldFileName(std::string name) : name_(std::move(name)) {
        HeldFileNames::shared().hold(name_);
    }
    ~HeldFileName() { HeldFileNames::shared().release(name_); }
    HeldFileName(const HeldFileName&) = delete;
    HeldFileName& operator=(const HeldFileName&) = delete;

  private:
    std::string name_;
};

// Adds every file name the rows of one of the user's cache databases record; an error when the
// file cannot be opened, keyed or read.
ErrorPtr readAllFileNames(const fs::path& path, const std::string& key,
                          std::set<std::string>& names) {
    auto db = SQDatabase::databaseWithPath(path.string());
    if (!db->open() || !db->setKey(TVKCacheDatabaseKey::keyForDatabase(path, key))) {
        return Error::make(TVKCacheErrorDomain, TVKCacheOpenFailedErrorCode, Json::object(),
                           db->lastError());
    }
    // Another connection may be committing: wait for it, within a limit.
    db->setMaxBusyRetryTimeInterval(5);
    ErrorPtr error;
    for (const auto& name : TVKQuarraFileCache::tableNames()) {
        TVKCacheTable table(name, {});
        auto exists = table.tableExistsInDatabase(*db);
        std::vector<std::string> found;
        error = exists.error();
        if (exists == true) {
            error = readFileNames(*db, table, found);
        }
        if (error) {
            break;
        }
        names.insert(found.begin(), found.end());
    }
    db->close();
    return error;
}

}  // namespace

const std::vector<std::string>& TVKQuarraFileCache::tableNames() {
    static const auto& names =
        *new std::vector<std::string>{"Document", "DocumentRendition", "DocumentAttachment",
                                      "DocumentVersionAttachment", "ObjectRecordAttachment"};
    return names;
}

TVKQuarraFileCache::TVKQuarraFileCache(TVKQuarraPtr quarra)
    : TVKQuarraCache(CacheName, std::move(quarra)) {
    initCacheTables();
}

std::shared_ptr<TVKQuarraFileCache> TVKQuarraFileCache::openCacheWithQuarra(TVKQuarraPtr quarra) {
    if (!TVKQuarraAuthManager::sharedInstance().currentUser()) {
        return nullptr;
    }
    if (ErrorPtr error = sweepFileStore()) {
        TVK_LOG_ERROR("Unexpected error sweeping the cache file store:" + error->description());
    }
    return std::shared_ptr<TVKQuarraFileCache>(new TVKQuarraFileCache(std::move(quarra)));
}

ErrorPtr TVKQuarraFileCache::sweepFileStore() {
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    // The files another process of the host is downloading are held in that process only.
    if (!configuration.claimTransferOwnership()) {
        TVK_LOG_DEBUG("The cache file store is swept by the process that runs the transfers");
        return nullptr;
    }
    auto username = TVKQuarraCryptManager::currentUsername();
    if (!username) {
        return notAuthenticatedError();
    }
    auto folder = configuration.cacheDirectoryForUsername(*username, false);
    auto store = configuration.cacheFileStoreDirectoryForUsername(*username, false);
    if (!folder || !store) {
        return folder ? store.error() : folder.error();
    }
    // In this order: a file listed here and held by nobody after it was listed has had its row
    // committed before the databases are read, or is no one's.
    std::vector<std::string> files;
    std::error_code failure;
    for (fs::directory_iterator it(*store, failure), end; !failure && it != end;
         it.increment(failure)) {
        // A partial file is a copy still being written (or left by a crash, which the crypt
        // journal sweeps at start-up): its download holds only the final name.
        if (it->is_regular_file(failure) && !failure && !files::isPartialFile(it->path())) {
            files.push_back(it->path().filename().string());
        }
    }
    if (failure == std::errc::no_such_file_or_directory) {
        return nullptr;
    }
    if (failure) {
        return posixError(failure.value(), "Could not list the cache file store");
    }
    if (files.empty()) {
        return nullptr;
    }
    const auto held = HeldFileNames::shared().snapshot();
    auto key = TVKQuarraCryptManager::sharedInstance().getFileEncryptionKey();
    if (!key) {
        return key.error();
    }
    // The store is shared by the user's Quarras: a file is named when any of their databases
    // names it. A database that cannot be read might name any file, so then nothing is removed.
    static const auto& databaseName = *new std::regex("quarra[0-9]+_cache\\.db");
    std::set<std::string> named;
    for (fs::directory_iterator it(*folder, failure), end; !failure && it != end;
         it.increment(failure)) {
        if (std::regex_match(it->path().filename().string(), databaseName)) {
            if (ErrorPtr error = readAllFileNames(it->path(), *key, named)) {
                return error;
            }
        }
    }
    if (failure) {
        return posixError(failure.value(), "Could not list the user's cache databases");
    }
    // A download's destination stays while its record does: until its handler, which may record
    // it in the cache, has returned (after a relaunch too).
    for (const fs::path& destination : TVKPendingTransfers::downloadDestinations(
             UserDefaults::standard(), configuration.frameworkId())) {
        if (destination.parent_path() == store->lexically_normal()) {
            named.insert(destination.filename().string());
        }
    }
    std::vector<std::string> orphans;
    for (const auto& file : files) {
        if (!named.count(file) && !held.count(file)) {
            orphans.push_back(file);
        }
    }
    return removeFilesWithNames(orphans, "Unexpected error sweeping the cache file store:");
}

void TVKQuarraFileCache::initCacheTables() {
    const auto& names = tableNames();
    docTable_ = makeTable(names[0].c_str(), docColumns());
    docRenditionTable_ = makeTable(names[1].c_str(), docRenditionColumns());
    docAttachmentTable_ = makeTable(names[2].c_str(), docAttachmentColumns());
    docVersionAttachmentTable_ = makeTable(names[3].c_str(), docVersionAttachmentColumns());
    objectRecordAttachmentTable_ = makeTable(names[4].c_str(), objectRecordAttachmentColumns());
    struct KindNames {
        const char* metadata;
        const char* query;
        const char* entry;
        TVKCacheTablePtr table;
        EntryMaker maker;
    };
    const KindNames kinds[] = {
        {"TVKDocumentMetadata", "TVKDocumentQuery", "TVKDocumentCacheEntry", docTable_,
         makeEntry<TVKDocumentCacheEntry>},
        {"TVKDocumentRenditionMetadata", "TVKDocumentRenditionQuery",
         "TVKDocumentRenditionCacheEntry", docRenditionTable_,
         makeEntry<TVKDocumentRenditionCacheEntry>},
        {"TVKDocumentAttachmentMetadata", "TVKDocumentAttachmentQuery",
         "TVKDocumentAttachmentCacheEntry", docAttachmentTable_,
         makeEntry<TVKDocumentAttachmentCacheEntry>},
        {"TVKDocumentVersionAttachmentMetadata", "TVKDocumentVersionAttachmentQuery",
         "TVKDocumentVersionAttachmentCacheEntry", docVersionAttachmentTable_,
         makeEntry<TVKDocumentVersionAttachmentCacheEntry>},
        {"TVKObjectRecordAttachmentMetadata", "TVKObjectRecordAttachmentQuery",
         "TVKObjectRecordAttachmentCacheEntry", objectRecordAttachmentTable_,
         makeEntry<TVKObjectRecordAttachmentCacheEntry>},
    };
    for (const auto& kind : kinds) {
        metaClassToTableMap_[kind.metadata] = kind.table;
        queryClassToTableMap_[kind.query] = kind.table;
        entryClassToTableMap_[kind.entry] = kind.table;
        tableToEntryClassMap_[kind.table->name()] = kind.maker;
    }
}

namespace {

TVKCacheTablePtr lookUp(const std::map<std::string, TVKCacheTablePtr>& map,
                        const std::string& key) {
    auto found = map.find(key);
    return found == map.end() ? nullptr : found->second;
}

}  // namespace

TVKCacheTablePtr TVKQuarraFileCache::tableForMetadataClass(const std::string& className) const {
    return lookUp(metaClassToTableMap_, className);
}

TVKCacheTablePtr TVKQuarraFileCache::tableForQueryClass(const std::string& className) const {
    return lookUp(queryClassToTableMap_, className);
}

TVKCacheTablePtr TVKQuarraFileCache::tableForEntryClass(const std::string& className) const {
    return lookUp(entryClassToTableMap_, className);
}

TVKQuarraFileCacheEntryPtr TVKQuarraFileCache::entryForColumnValues(
    const SQDictionary& values, const TVKCacheTable& table) const {
    auto found = tableToEntryClassMap_.find(table.name());
    return found == tableToEntryClassMap_.end() ? nullptr : found->second(values, quarra());
}

std::string TVKQuarraFileCache::description() const {
    return "quarra:" + (quarra() ? quarra()->description() : std::string("(null)"));
}

// ---- The file store

std::optional<fs::path> TVKQuarraFileCache::fileStoreURL() {
    auto& configuration = TVKQuarraConfigurationManager::sharedInstance();
    auto username = TVKQuarraCryptManager::currentUsername();
    if (!username) {
        return std::nullopt;
    }
    auto folder = configuration.cacheFileStoreDirectoryForUsername(*username, true);
    if (!folder) {
        TVK_LOG_ERROR("Unexpected error finding the cache file store:" +
                      folder.error()->description());
        return std::nullopt;
    }
    return std::move(folder).value();
}

std::optional<fs::path> TVKQuarraFileCache::generateFileLocationForDownload() {
    auto store = fileStoreURL();
    auto name = uuidString();
    if (!store || !name) {
        return std::nullopt;
    }
    return *store / *name;
}

ErrorPtr TVKQuarraFileCache::removeFileWithName(const std::string& name) {
    auto store = fileStoreURL();
    if (!store) {
        return notAuthenticatedError();
    }
    if (!isStoreFileName(name)) {
        return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                           "Not a file of the file store: " + name);
    }
    std::error_code failure;
    fs::remove(*store / name, failure);
    // A file already gone is what removal wants.
    if (failure && failure != std::errc::no_such_file_or_directory) {
        return posixError(failure.value(), "Could not remove cached file " + name);
    }
    return nullptr;
}

ErrorPtr TVKQuarraFileCache::removeFilesWithNames(const std::vector<std::string>& names,
                                                  const char* logPrefix) {
    ErrorPtr first;
    for (const auto& name : names) {
        if (ErrorPtr error = removeFileWithName(name)) {
            TVK_LOG_ERROR(std::string(logPrefix) + error->description());
            if (!first) {
                first = error;
            }
        }
    }
    return first;
}

// ---- Operations

void TVKQuarraFileCache::startDownload(const std::string& endpoint, const TVKQuarraPtr& quarra,
                                       const fs::path& destination, DownloadDone done) {
    TVKQuarraManager::sharedInstance().requestQuarraDownloadFileEndpoint(
        endpoint, quarra, Url::fileUrl(destination), true, Json(), nullptr,
        [done](const Json&, const std::optional<Url>& fileURL, const std::string& mimeType,
               const std::optional<std::string>&, const ErrorPtr& error) {
            done(fileURL ? std::optional<fs::path>(fileURL->filePath()) : std::nullopt, mimeType,
                 error);
        });
}

void TVKQuarraFileCache::downloadAndCacheFileWithMetadata(
    std::shared_ptr<const TVKQuarraFileMetadata> metadata, const TVKQuarraPtr& quarra,
    EntryHandler handler) {
    if (quarra != this->quarra()) {
        callOnMain(handler, TVKQuarraFileCacheEntryPtr(),
                   invalidParameter("Unable cache data from Quarra not associated with cache"));
        return;
    }
    auto table = metadata ? tableForMetadataClass(metadata->className()) : nullptr;
    auto endpoint = metadata ? metadata->endpoint() : std::nullopt;
    if (!table || !endpoint) {
        callOnMain(handler, TVKQuarraFileCacheEntryPtr(),
                   invalidParameter("Invalid parameter: the metadata names no cached file kind"));
        return;
    }
    auto username = authorizedUsername();
    auto destination = username ? generateFileLocationForDownload() : std::nullopt;
    if (!destination) {
        callOnMain(handler, TVKQuarraFileCacheEntryPtr(),
                   username ? notAuthenticatedError() : username.error());
        return;
    }
    // Held until the download's file is recorded or gone.
    auto hold = std::make_shared<HeldFileName>(destination->filename().string());
    startDownload(
        *endpoint, quarra, *destination,
        [self = std::static_pointer_cast<TVKQuarraFileCache>(shared_from_this()), metadata, quarra,
         table, handler, hold](const std::optional<fs::path>& file, const std::string& mimeType,
                               const ErrorPtr& error) mutable {
            if (error || !file) {
                hold.reset();
                if (handler) {
                    handler(nullptr, error);
                }
                return;
            }
            self->addOrUpdateRecordForFileAtURL(*file, mimeType, quarra, table, *metadata, handler);
            hold.reset();
        });
}

void TVKQuarraFileCache::addOrUpdateRecordForFileAtURL(const fs::path& fileURL,
                                                       const std::string& MIMEType,
                                                       const TVKQuarraPtr& quarra,
                                                       const TVKCacheTablePtr& cacheTable,
                                                       const TVKQuarraFileMetadata& metadata,
                                                       EntryHandler handler) {
    const std::string fileName = fileURL.filename().string();
    HeldFileName hold(fileName);
    TVKQuarraFileCacheEntryPtr entry;
    std::optional<std::string> oldFileName;
    openDatabaseForQuarra(
        quarra,
        [&](SQDatabase& db) -> ErrorPtr {
            if (!cacheTable) {
                return invalidParameter("Invalid parameter: the metadata names no cached file kind");
            }
            if (ErrorPtr error = cacheTable->createTableWithDatabase(db)) {
                return error;
            }
            SQDictionary values = metadata.columnsDictionary();
            auto old = cacheTable->recordWithPrimaryKeyValues(values, db);
            if (!old) {
                return old.error();
            }
            if (*old) {
                auto found = (*old)->find("FileName");
                if (found != (*old)->end() && found->second.text() &&
                    *found->second.text() != fileName) {
                    oldFileName = *found->second.text();
                }
            }
            values["FileName"] = fileName;
            values["MIMEType"] = MIMEType;
            if (ErrorPtr error = cacheTable->insertOrUpdateRecordWithValues(values, db)) {
                return error;
            }
            entry = entryForColumnValues(values, *cacheTable);
            return nullptr;
        },
        [&](const ErrorPtr& error) {
            if (error) {
                // Nothing refers to the new file: it must not linger in the store.
                std::error_code ignored;
                fs::remove(fileURL, ignored);
                entry.reset();
            } else if (oldFileName) {
                (void)removeFilesWithNames({*oldFileName},
                                           "Unexpected error removing cache entries:");
            }
            callOnMain(handler, entry, error);
        });
}

void TVKQuarraFileCache::query(const TVKQuarraLocalQuery& localQuery, EntriesHandler handler) {
    auto table = tableForQueryClass(localQuery.className());
    if (!table) {
        callOnMain(handler, std::vector<TVKQuarraFileCacheEntryPtr>(),
                   invalidParameter("Invalid parameter: the query is of no cached file kind"));
        return;
    }
    std::vector<TVKQuarraFileCacheEntryPtr> entries;
    openDatabaseWithOpenHandler(
        [&](SQDatabase& db) -> ErrorPtr {
            auto found = table->performQuery(localQuery, db);
            if (!found) {
                return found.error();
            }
            const auto& rows = *found;
            ErrorPtr error;
            for (;;) {
                auto step = rows->nextWithError();
                if (!step) {
                    error = TVKCacheTable::handleErrorForDatabase(db, rows->query());
                    break;
                }
                if (!*step) {
                    break;
                }
                if (auto entry = entryForColumnValues(
                        rows->resultDictionary().value_or(SQDictionary{}), *table)) {
                    entries.push_back(entry);
                }
            }
            rows->close();
            return error;
        },
        [&](const ErrorPtr& error) { callOnMain(handler, entries, error); });
}

void TVKQuarraFileCache::removeEntries(const std::vector<TVKQuarraFileCacheEntryPtr>& entries,
                                       ErrorHandler handler) {
    bool oneQuarra = !entries.empty() && entries[0];
    for (const auto& entry : entries) {
        oneQuarra = oneQuarra && entry && entry->quarra() && entries[0]->quarra() &&
                    entry->quarra()->isEqual(*entries[0]->quarra());
    }
    if (!oneQuarra) {
        callOnMain(handler,
                   invalidParameter("Invalid parameter: at least one entry must be given and all "
                                    "entries must have the same quarra property"));
        return;
    }
    auto table = tableForEntryClass(entries[0]->className());
    std::vector<SQArguments> keys;
    for (const auto& entry : entries) {
        if (tableForEntryClass(entry->className()) != table || !entry->primaryKeyValues()) {
            table = nullptr;
            break;
        }
        keys.push_back(*entry->primaryKeyValues());
    }
    if (!table) {
        callOnMain(handler, invalidParameter(
                                "Invalid parameter: all entries must be of one cached file kind"));
        return;
    }
    // The files to remove are the ones the rows name now: an entry the host got may be stale (its
    // key downloaded again since), and its own file name then is not the current file.
    std::vector<std::string> fileNames;
    openDatabaseForQuarra(
        entries[0]->quarra(),
        [&](SQDatabase& db) -> ErrorPtr {
            const auto keyColumns = table->primaryKeys();
            for (const auto& key : keys) {
                SQDictionary keyValues;
                for (std::size_t i = 0; i < keyColumns.size() && i < key.size(); ++i) {
                    keyValues[keyColumns[i]->name()] = key[i];
                }
                auto row = table->recordWithPrimaryKeyValues(keyValues, db);
                if (!row) {
                    return row.error();
                }
                if (*row) {
                    if (auto found = (*row)->find("FileName");
                        found != (*row)->end() && found->second.text()) {
                        fileNames.push_back(*found->second.text());
                    }
                }
            }
            return table->deleteRecordsWithCompositePrimaryKeysIn(keys, db);
        },
        [&](ErrorPtr error) {
            if (!error) {
                error = removeFilesWithNames(fileNames, "Unexpected error removing cache entries:");
            }
            callOnMain(handler, error);
        });
}

void TVKQuarraFileCache::removeAllEntries(ErrorHandler handler) {
    std::vector<std::string> fileNames;
    const TVKCacheTablePtr tables[] = {docTable_, docRenditionTable_, docAttachmentTable_,
                                       docVersionAttachmentTable_, objectRecordAttachmentTable_};
    openDatabaseWithOpenHandler(
        [&](SQDatabase& db) -> ErrorPtr {
            ErrorPtr error;
            for (const auto& table : tables) {
                auto exists = table->tableExistsInDatabase(db);
                ErrorPtr stepError = exists.error();
                if (exists == true) {
                    stepError = readFileNames(db, *table, fileNames);
                }
                if (ErrorPtr dropError = table->dropTableWithDatabase(db)) {
                    stepError = dropError;
                }
                if (stepError) {
                    error = stepError;
                }
            }
            if (error) {
                TVK_LOG_ERROR("Unexpected error removing all cache entries:" +
                              error->description());
            }
            return error;
        },
        [&](ErrorPtr error) {
            if (!error) {
                error =
                    removeFilesWithNames(fileNames, "Unexpected error removing all cache entries:");
            }
            // Files no row names (an old file whose removal failed, a download that finished
            // after its process ended) go too.
            if (ErrorPtr swept = error ? nullptr : sweepFileStore()) {
                error = swept;
            }
            callOnMain(handler, error);
        });
}

}  // namespace quarra
