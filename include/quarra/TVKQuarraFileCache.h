#pragma once
// The file cache: the host keeps server files for one Quarra on the device and finds them again
// without the network. A file, named by a metadata object of one of the five kinds, is downloaded
// through the request engine with encryption on into the signed-in user's file store (one file per
// entry, named by a fresh UUID), and recorded in the kind's table of the user's encrypted cache
// database for the Quarra. Entries are listed with a local query of the kind, removed one by one
// (row and file), or all at once.
//
// Files are removed only after the transaction that drops their rows has committed, so a failed
// operation never leaves a row without its file; a replaced entry's old file goes once the new row
// is in. A file already gone counts as removed.
//
// Every database step runs synchronously on the calling thread (the transaction on the cache's
// queue); the host's handlers then run asynchronously on the main queue and may be empty.
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/TVKQuarraCache.h"
#include "quarra/TVKQuarraFileCacheEntry.h"
#include "quarra/TVKQuarraFileMetadata.h"
#include "quarra/TVKQuarraLocalQuery.h"

namespace quarra {

// The table layer beneath the caches, which the host never handles.
class TVKCacheTable;
class TVKCacheTableColumn;
using TVKCacheTablePtr = std::shared_ptr<TVKCacheTable>;
using TVKCacheTableColumnPtr = std::shared_ptr<TVKCacheTableColumn>;

class TVKQuarraFileCache : public TVKQuarraCache {
  public:
    using EntryHandler =
        std::function<void(const TVKQuarraFileCacheEntryPtr& entry, const ErrorPtr& error)>;
    using EntriesHandler = std::function<void(
        const std::vector<TVKQuarraFileCacheEntryPtr>& entries, const ErrorPtr& error)>;
    using ErrorHandler = std::function<void(const ErrorPtr& error)>;

    static constexpr const char* CacheName = "TVKQuarraFileCache";

    // A new cache object with its own database queue; null when nobody is signed in. Sweeps the
    // file store first (sweepFileStore).
    static std::shared_ptr<TVKQuarraFileCache> openCacheWithQuarra(TVKQuarraPtr quarra);
    // Removes the signed-in user's stored files that no row of any of the user's cache databases
    // names and that no download or recording of this process is about to record. When a
    // database cannot be read nothing is removed and that is the error.
    [[nodiscard]] static ErrorPtr sweepFileStore();
    // The five kinds' table names, which no other cache may use.
    static const std::vector<std::string>& tableNames();

    // Downloads the file the metadata names from `quarra` (which must be the cache's own object,
    // else TVKQuarraErrorDomain -20) and records it; the handler gets the new entry of the kind,
    // or the error (the request engine's, or the recording's).
    void downloadAndCacheFileWithMetadata(std::shared_ptr<const TVKQuarraFileMetadata> metadata,
                                          const TVKQuarraPtr& quarra, EntryHandler handler);
    // The entries the query (of one kind's query class) selects, in database order; none: an empty
    // list. A kind whose table was never made (or was removed) fails with the table layer's error.
    void query(const TVKQuarraLocalQuery& query, EntriesHandler handler);
    // Deletes the entries' rows, then the files those rows named (an entry's own file name may be
    // stale). The entries must be of one kind and one Quarra
    // (the cache's own object), else TVKQuarraErrorDomain -20. A file that cannot be removed is
    // logged and reported, after the others have been removed.
    void removeEntries(const std::vector<TVKQuarraFileCacheEntryPtr>& entries,
                       ErrorHandler handler);
    // Drops the five tables of this Quarra's database, then removes the files their rows named
    // and sweeps the store; the files of the user's other Quarras stay.
    void removeAllEntries(ErrorHandler handler) override;

    // Records a file that is already in the file store (a finished download): replaces the row of
    // the same key, whose old file is removed once the new row is in. On failure the new file is
    // removed.
    void addOrUpdateRecordForFileAtURL(const std::filesystem::path& fileURL,
                                       const std::string& MIMEType, const TVKQuarraPtr& quarra,
                                       const TVKCacheTablePtr& cacheTable,
                                       const TVKQuarraFileMetadata& metadata, EntryHandler handler);

    const TVKCacheTablePtr& docTable() const { return docTable_; }
    const TVKCacheTablePtr& docRenditionTable() const { return docRenditionTable_; }
    const TVKCacheTablePtr& docAttachmentTable() const { return docAttachmentTable_; }
    const TVKCacheTablePtr& docVersionAttachmentTable() const { return docVersionAttachmentTable_; }
    const TVKCacheTablePtr& objectRecordAttachmentTable() const {
        return objectRecordAttachmentTable_;
    }
    // Class name of a metadata object, of a query and of an entry to the kind's table.
    TVKCacheTablePtr tableForMetadataClass(const std::string& className) const;
    TVKCacheTablePtr tableForQueryClass(const std::string& className) const;
    TVKCacheTablePtr tableForEntryClass(const std::string& className) const;

    // The signed-in user's file store, created when missing; nothing when nobody is signed in.
    static std::optional<std::filesystem::path> fileStoreURL();
    // A fresh file of the store: its name a new UUID, no extension.
    static std::optional<std::filesystem::path> generateFileLocationForDownload();

    std::string description() const;

  protected:
    explicit TVKQuarraFileCache(TVKQuarraPtr quarra);

  private:
    using EntryMaker = std::function<TVKQuarraFileCacheEntryPtr(const SQDictionary&, TVKQuarraPtr)>;
    struct Kind {
        TVKCacheTablePtr table;
        EntryMaker makeEntry;
    };

    using DownloadDone = std::function<void(const std::optional<std::filesystem::path>& file,
                                            const std::string& mimeType, const ErrorPtr& error)>;

    void initCacheTables();
    // Downloads the endpoint, encrypted, to `destination`; `done` runs once, on the main queue.
    void startDownload(const std::string& endpoint, const TVKQuarraPtr& quarra,
                       const std::filesystem::path& destination, DownloadDone done);
    TVKQuarraFileCacheEntryPtr entryForColumnValues(const SQDictionary& values,
                                                    const TVKCacheTable& table) const;
    // Removes the store's files of these names, carrying on past failures; the first failure.
    [[nodiscard]] static ErrorPtr removeFilesWithNames(const std::vector<std::string>& names,
                                         const char* logPrefix);
    [[nodiscard]] static ErrorPtr removeFileWithName(const std::string& name);

    TVKCacheTablePtr docTable_, docRenditionTable_, docAttachmentTable_, docVersionAttachmentTable_,
        objectRecordAttachmentTable_;
    std::map<std::string, TVKCacheTablePtr> metaClassToTableMap_;
    std::map<std::string, TVKCacheTablePtr> queryClassToTableMap_;
    std::map<std::string, TVKCacheTablePtr> entryClassToTableMap_;
    // By table name.
    std::map<std::string, EntryMaker> tableToEntryClassMap_;
};

}  // namespace quarra
