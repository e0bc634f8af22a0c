#pragma once
// Owns one connection and one serial queue, and runs every piece of work on that connection as a
// block on that queue while the caller waits. The way the SDK reaches its cache database.
//
// Thread safety: every member may be called from any thread. Calling the queue again from one of
// its own blocks (directly or through other queues' blocks) would wait on itself: it is refused
// with an error and the block does not run.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/Url.h"
#include "storage/db/SQDatabase.h"
#include "storage/db/SQTransactionForms.h"

namespace quarra {

class SQDatabaseQueue : public std::enable_shared_from_this<SQDatabaseQueue>,
                        public SQTransactionForms<SQDatabaseQueue> {
  public:
    // The connection is null when it could not be (re)opened.
    using DatabaseBlock = SQDatabase::DatabaseBlock;

    // Opens the database at once (unkeyed); null, after a log line, when it cannot be opened.
    static std::shared_ptr<SQDatabaseQueue> databaseQueueWithPath(
        SQDatabase::Path path, int flags = SQOpenReadWriteCreate,
        std::optional<std::string> vfsName = {});
    static std::shared_ptr<SQDatabaseQueue> databaseQueueWithURL(
        const std::optional<Url>& url, int flags = SQOpenReadWriteCreate,
        std::optional<std::string> vfsName = {});
    virtual ~SQDatabaseQueue();
    SQDatabaseQueue(const SQDatabaseQueue&) = delete;
    SQDatabaseQueue& operator=(const SQDatabaseQueue&) = delete;

    const SQDatabase::Path& path() const { return path_; }
    void setPath(SQDatabase::Path path) { path_ = std::move(path); }
    int openFlags() const { return openFlags_; }
    const std::optional<std::string>& vfsName() const { return vfsName_; }
    void setVfsName(std::optional<std::string> name) { vfsName_ = std::move(name); }
    std::string description() const;

    // Each returns null on success, or the error that stopped the work: a re-entrant call (code
    // 21), a connection that could not be reopened (code 14, the block then gets null), or a failed
    // begin, commit or rollback (the engine's error; the block does not run when begin fails, and a
    // failed commit is rolled back).
    // inTransaction, inExclusiveTransaction, inDeferredTransaction and inImmediateTransaction (from
    // SQTransactionForms) all come here.
    ErrorPtr inDatabase(const DatabaseBlock& block);
    ErrorPtr beginTransaction(SQTransactionKind kind, const TransactionBlock& block);
    // Inside a fresh savepoint ("savePointN"), rolled back to when the block sets its flag. A
    // failed savepoint start runs no block.
    ErrorPtr inSavePoint(const TransactionBlock& block);

    // The connection's checkpoint on the queue: null on success. The counts are filled in when
    // given.
    [[nodiscard]] ErrorPtr checkpoint(int mode);
    [[nodiscard]] ErrorPtr checkpoint(int mode, const std::optional<std::string>& name);
    [[nodiscard]] ErrorPtr checkpoint(int mode, const std::optional<std::string>& name,
                                      int* logFrameCount, int* checkpointCount);

    // Closes and drops the connection; the next operation opens a new, unkeyed one.
    ErrorPtr close();
    // Stops the statement running on the queue; called from outside the queue.
    void interrupt();

  protected:
    SQDatabaseQueue(SQDatabase::Path path, int flags, std::optional<std::string> vfsName);
    // The connection kind to create; a subclass may return a subclass of SQDatabase.
    virtual std::shared_ptr<SQDatabase> makeDatabase(const SQDatabase::Path& path) const;

  private:
    bool openInitial();
    // The open connection, reopened when it had been closed; null after a log line when that fails.
    SQDatabase* database();
    // Runs `work` on the queue unless this queue is already waiting further up the calling chain.
    ErrorPtr run(const char* operation, const std::function<void()>& work);
    // Runs `work` with the open connection; when it cannot be reopened, `missing` runs instead (the
    // caller's block then gets no connection) and that is the error.
    ErrorPtr runWithDatabase(const char* operation,
                             const std::function<ErrorPtr(SQDatabase& db)>& work,
                             const std::function<void()>& missing = {});

    DispatchQueuePtr queue_;
    std::shared_ptr<SQDatabase> db_;
    // Guards db_ against interrupt() from another thread.
    mutable std::mutex dbMutex_;
    int openFlags_;
    SQDatabase::Path path_;
    std::optional<std::string> vfsName_;
};

}  // namespace quarra
