#pragma once
// Lends connections to one database file for use on any thread, one borrower per connection at a
// time, and takes them back for reuse (last returned, first lent). Unlike SQDatabaseQueue the work
// runs on the caller's own thread; the pool serialises only its own bookkeeping.
//
// Thread safety: every member may be called from any thread. A lent connection belongs to its
// borrower.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/Url.h"
#include "storage/db/SQDatabase.h"
#include "storage/db/SQTransactionForms.h"

namespace quarra {

class SQDatabasePool;

// Optional observer; both calls run on the pool's lock queue and must not call back into the pool.
class SQDatabasePoolDelegate {
  public:
    virtual ~SQDatabasePoolDelegate() = default;
    // False keeps a connection out of the pool: it is closed and nothing is lent.
    virtual bool databasePoolShouldAddDatabaseToPool(SQDatabasePool& pool, SQDatabase& db) {
        (void)pool, (void)db;
        return true;
    }
    // Told about each newly created connection.
    virtual void databasePoolDidAddDatabase(SQDatabasePool& pool, SQDatabase& db) {
        (void)pool, (void)db;
    }
};

class SQDatabasePool : public std::enable_shared_from_this<SQDatabasePool>,
                       public SQTransactionForms<SQDatabasePool> {
  public:
    using DatabaseBlock = SQDatabase::DatabaseBlock;

    // Opens nothing yet. No path: every connection gets a private in-memory database of its own.
    static std::shared_ptr<SQDatabasePool> databasePoolWithPath(
        SQDatabase::Path path, int flags = SQOpenReadWriteCreate,
        std::optional<std::string> vfsName = {});
    static std::shared_ptr<SQDatabasePool> databasePoolWithURL(
        const std::optional<Url>& url, int flags = SQOpenReadWriteCreate,
        std::optional<std::string> vfsName = {});
    virtual ~SQDatabasePool() = default;
    SQDatabasePool(const SQDatabasePool&) = delete;
    SQDatabasePool& operator=(const SQDatabasePool&) = delete;

    const SQDatabase::Path& path() const { return path_; }
    void setPath(SQDatabase::Path path) { path_ = std::move(path); }
    int openFlags() const { return openFlags_; }
    const std::optional<std::string>& vfsName() const { return vfsName_; }
    void setVfsName(std::optional<std::string> name) { vfsName_ = std::move(name); }
    std::shared_ptr<SQDatabasePoolDelegate> delegate() const { return delegate_.lock(); }
    // Held weakly.
    void setDelegate(const std::shared_ptr<SQDatabasePoolDelegate>& delegate) {
        delegate_ = delegate;
    }
    // Upper bound on idle plus lent connections; 0 means none.
    std::uint64_t maximumNumberOfDatabasesToCreate() const { return maximum_; }
    void setMaximumNumberOfDatabasesToCreate(std::uint64_t maximum) { maximum_ = maximum; }
    std::string description() const;

    std::size_t countOfCheckedInDatabases();
    std::size_t countOfCheckedOutDatabases();
    std::size_t countOfOpenDatabases();

    // An open connection lent to the caller, or null (bound reached, open failure, delegate
    // refusal).
    std::shared_ptr<SQDatabase> db();
    // Takes a lent connection back; null is ignored. Returning one twice throws std::logic_error.
    void pushDatabaseBackInPool(const std::shared_ptr<SQDatabase>& db);

    // The work forms borrow a connection for the block (null when none could be lent) and return
    // it. They report as SQDatabaseQueue's do.
    ErrorPtr inDatabase(const DatabaseBlock& block);
    ErrorPtr beginTransaction(SQTransactionKind kind, const TransactionBlock& block);
    ErrorPtr inSavePoint(const TransactionBlock& block);

    // Lets go of every connection: idle ones close; lent ones stay usable and come back as idle.
    void releaseAllDatabases();
    // Runs `block` on the lock queue while the caller waits.
    void executeLocked(const std::function<void()>& block);

  protected:
    SQDatabasePool(SQDatabase::Path path, int flags, std::optional<std::string> vfsName);
    // The connection kind to create; a subclass may return a subclass of SQDatabase.
    virtual std::shared_ptr<SQDatabase> makeDatabase(const SQDatabase::Path& path) const;

  private:
    // Borrows a connection for `work`, or runs `missing` when none could be lent.
    ErrorPtr withDatabase(const std::function<ErrorPtr(SQDatabase& db)>& work,
                          const std::function<void()>& missing);

    DispatchQueuePtr lockQueue_;
    std::vector<std::shared_ptr<SQDatabase>> databaseInPool_;
    std::vector<std::shared_ptr<SQDatabase>> databaseOutPool_;
    int openFlags_;
    SQDatabase::Path path_;
    std::weak_ptr<SQDatabasePoolDelegate> delegate_;
    std::uint64_t maximum_ = 0;
    std::optional<std::string> vfsName_;
};

}  // namespace quarra
