#include "storage/db/SQDatabaseQueue.h"

#include <sqlcipher/sqlite3.h>

#include <atomic>
#include <cstdio>

#include "storage/db/SQSupport.h"

namespace quarra {
namespace {

// The queues a calling chain is waiting on, innermost first. Carried explicitly into each queue
// block, so that A -> B -> A is caught even when the blocks run on different threads.
struct Frame {
    const SQDatabaseQueue* queue;
    const Frame* parent;
};
thread_local const Frame* tChain = nullptr;

class ChainScope {
  public:
    ChainScope(const SQDatabaseQueue* queue, const Frame* caller)
        : frame_{queue, caller}, saved_(tChain) {
        tChain = &frame_;
    }
    ~ChainScope() { tChain = saved_; }

  private:
    Frame frame_;
    const Frame* saved_;
};

}  // namespace

SQDatabaseQueue::SQDatabaseQueue(SQDatabase::Path path, int flags,
                                 std::optional<std::string> vfsName)
    : openFlags_(flags), path_(std::move(path)), vfsName_(std::move(vfsName)) {}

std::shared_ptr<SQDatabaseQueue> SQDatabaseQueue::databaseQueueWithPath(
    SQDatabase::Path path, int flags, std::optional<std::string> vfsName) {
    std::shared_ptr<SQDatabaseQueue> queue(
        new SQDatabaseQueue(std::move(path), flags, std::move(vfsName)));
    return queue->openInitial() ? queue : nullptr;
}

std::shared_ptr<SQDatabaseQueue> SQDatabaseQueue::databaseQueueWithURL(
    const std::optional<Url>& url, int flags, std::optional<std::string> vfsName) {
    SQDatabase::Path path;
    if (url && !url->empty()) {
        path = url->filePath().string();
    }
    return databaseQueueWithPath(std::move(path), flags, std::move(vfsName));
}

bool SQDatabaseQueue::openInitial() {
    auto db = makeDatabase(path_);
    if (!db->openWithFlags(openFlags_, vfsName_ ? vfsName_->c_str() : nullptr)) {
        sqdb::log("Could not create database queue for path " + path_.value_or("(null)"));
        return false;
    }
    db_ = std::move(db);
    queue_ = DispatchQueue::serial("sqdb." + description());
    return true;
}

SQDatabaseQueue::~SQDatabaseQueue() = default;

std::shared_ptr<SQDatabase> SQDatabaseQueue::makeDatabase(const SQDatabase::Path& path) const {
    return SQDatabase::databaseWithPath(path);
}

std::string SQDatabaseQueue::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "<SQDatabaseQueue: %p>", static_cast<const void*>(this));
    return text;
}

SQDatabase* SQDatabaseQueue::database() {
    if (db_ && db_->isOpen()) {
        return db_.get();
    }
    auto db = db_ ? db_ : makeDatabase(path_);
    if (!db->openWithFlags(openFlags_, vfsName_ ? vfsName_->c_str() : nullptr)) {
        sqdb::log("SQDatabaseQueue could not reopen database for path " + path_.value_or("(null)"));
        std::lock_guard lock(dbMutex_);
        db_.reset();
        return nullptr;
    }
    std::lock_guard lock(dbMutex_);
    db_ = std::move(db);
    return db_.get();
}

ErrorPtr SQDatabaseQueue::run(const char* operation, const std::function<void()>& work) {
    for (const Frame* frame = tChain; frame; frame = frame->parent) {
        if (frame->queue == this) {
            std::string message =
                std::string(operation) +
                " was called reentrantly on the same queue, which would lead to a "
                "deadlock";
            sqdb::log(message);
            return Error::make(SQDatabaseErrorDomain, SQLITE_MISUSE, std::string_view(message));
        }
    }
    auto keepAlive = shared_from_this();
    const Frame* caller = tChain;
    queue_->sync([&] {
        ChainScope scope(this, caller);
        work();
    });
    return nullptr;
}

ErrorPtr SQDatabaseQueue::runWithDatabase(const char* operation,
                                          const std::function<ErrorPtr(SQDatabase& db)>& work,
                                          const std::function<void()>& missing) {
    ErrorPtr failure;
    ErrorPtr refused = run(operation, [&] {
        SQDatabase* db = database();
        if (!db) {
            std::string message =
                "SQDatabaseQueue could not reopen database for path " + path_.value_or("(null)");
            failure =
                Error::make(SQDatabaseErrorDomain, SQLITE_CANTOPEN, std::string_view(message));
            if (missing)
                missing();
            return;
        }
        failure = work(*db);
    });
    return refused ? refused : failure;
}

ErrorPtr SQDatabaseQueue::inDatabase(const DatabaseBlock& block) {
    return runWithDatabase(
        "inDatabase:",
        [&](SQDatabase& db) -> ErrorPtr {
            block(&db);
            if (db.hasOpenResultSets()) {
                sqdb::log(
                    "Warning: there is at least one open result set around after performing "
                    "[SQDatabaseQueue inDatabase:]");
            }
            return nullptr;
        },
        [&] { block(nullptr); });
}

ErrorPtr SQDatabaseQueue::beginTransaction(SQTransactionKind kind, const TransactionBlock& block) {
    return runWithDatabase(
        "beginTransaction:withBlock:",
        [&](SQDatabase& db) { return db.runTransaction(kind, block); },
        [&] {
            bool rollback = false;
            block(nullptr, rollback);
        });
}

ErrorPtr SQDatabaseQueue::inSavePoint(const TransactionBlock& block) {
    static std::atomic<long> counter{0};
    return runWithDatabase(
        "inSavePoint:",
        [&](SQDatabase& db) {
            return db.runSavePoint("savePoint" + std::to_string(counter++), block);
        },
        [&] {
            bool rollback = false;
            block(nullptr, rollback);
        });
}

ErrorPtr SQDatabaseQueue::checkpoint(int mode) {
    return checkpoint(mode, std::nullopt, nullptr, nullptr);
}

ErrorPtr SQDatabaseQueue::checkpoint(int mode, const std::optional<std::string>& name) {
    return checkpoint(mode, name, nullptr, nullptr);
}

ErrorPtr SQDatabaseQueue::checkpoint(int mode, const std::optional<std::string>& name,
                                     int* logFrameCount, int* checkpointCount) {
    return runWithDatabase("checkpoint:", [&](SQDatabase& db) {
        return db.checkpoint(mode, name, logFrameCount, checkpointCount);
    });
}

ErrorPtr SQDatabaseQueue::close() {
    return run("close", [&] {
        std::shared_ptr<SQDatabase> db;
        {
            std::lock_guard lock(dbMutex_);
            db = std::move(db_);
        }
        if (db)
            db->close();
    });
}

void SQDatabaseQueue::interrupt() {
    std::shared_ptr<SQDatabase> db;
    {
        std::lock_guard lock(dbMutex_);
        db = db_;
    }
    if (db) {
        db->interrupt();
    }
}

}  // namespace quarra
