#include "storage/db/SQDatabasePool.h"

#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "storage/db/SQSupport.h"

namespace quarra {
namespace {

bool contains(const std::vector<std::shared_ptr<SQDatabase>>& list, const SQDatabase* db) {
    return std::any_of(list.begin(), list.end(),
                       [&](const auto& item) { return item.get() == db; });
}

void remove(std::vector<std::shared_ptr<SQDatabase>>& list, const SQDatabase* db) {
    std::erase_if(list, [&](const auto& item) { return item.get() == db; });
}

}  // namespace

SQDatabasePool::SQDatabasePool(SQDatabase::Path path, int flags, std::optional<std::string> vfsName)
    : openFlags_(flags), path_(std::move(path)), vfsName_(std::move(vfsName)) {
    lockQueue_ = DispatchQueue::serial("sqdb." + description());
}

std::shared_ptr<SQDatabasePool> SQDatabasePool::databasePoolWithPath(
    SQDatabase::Path path, int flags, std::optional<std::string> vfsName) {
    return std::shared_ptr<SQDatabasePool>(
        new SQDatabasePool(std::move(path), flags, std::move(vfsName)));
}

std::shared_ptr<SQDatabasePool> SQDatabasePool::databasePoolWithURL(
    const std::optional<Url>& url, int flags, std::optional<std::string> vfsName) {
    SQDatabase::Path path;
    if (url && !url->empty()) {
        path = url->filePath().string();
    }
    return databasePoolWithPath(std::move(path), flags, std::move(vfsName));
}

std::shared_ptr<SQDatabase> SQDatabasePool::makeDatabase(const SQDatabase::Path& path) const {
    return SQDatabase::databaseWithPath(path);
}

std::string SQDatabasePool::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "<SQDatabasePool: %p>", static_cast<const void*>(this));
    return text;
}

void SQDatabasePool::executeLocked(const std::function<void()>& block) {
    lockQueue_->sync(block);
}

std::size_t SQDatabasePool::countOfCheckedInDatabases() {
    std::size_t count = 0;
    executeLocked([&] { count = databaseInPool_.size(); });
    return count;
}

std::size_t SQDatabasePool::countOfCheckedOutDatabases() {
    std::size_t count = 0;
    executeLocked([&] { count = databaseOutPool_.size(); });
    return count;
}

std::size_t SQDatabasePool::countOfOpenDatabases() {
    std::size_t count = 0;
    executeLocked([&] { count = databaseInPool_.size() + databaseOutPool_.size(); });
    return count;
}

std::shared_ptr<SQDatabase> SQDatabasePool::db() {
    std::shared_ptr<SQDatabase> lent;
    executeLocked([&] {
        std::shared_ptr<SQDatabase> db;
        bool isNew = false;
        if (!databaseInPool_.empty()) {
            db = std::move(databaseInPool_.back());
            databaseInPool_.pop_back();
        } else {
            std::size_t open = databaseInPool_.size() + databaseOutPool_.size();
            if (maximum_ != 0 && open >= maximum_) {
                sqdb::log("Maximum number of databases (" + std::to_string(open) +
                          ") has already been reached!");
                return;
            }
            db = makeDatabase(path_);
            isNew = true;
        }
        // An idle connection that cannot be reopened or is refused leaves the pool for good.
        if (!db->openWithFlags(openFlags_, vfsName_ ? vfsName_->c_str() : nullptr)) {
            sqdb::log("Could not open up the database at path " + path_.value_or("(null)"));
            return;
        }
        auto delegate = delegate_.lock();
        if (delegate && !delegate->databasePoolShouldAddDatabaseToPool(*this, *db)) {
            db->close();
            return;
        }
        if (!contains(databaseOutPool_, db.get())) {
            databaseOutPool_.push_back(db);
        }
        if (isNew && delegate) {
            delegate->databasePoolDidAddDatabase(*this, *db);
        }
        lent = std::move(db);
    });
    return lent;
}

void SQDatabasePool::pushDatabaseBackInPool(const std::shared_ptr<SQDatabase>& db) {
    if (!db) {
        return;
    }
    executeLocked([&] {
        if (contains(databaseInPool_, db.get())) {
            throw std::logic_error(
                "Database already in pool: The SQDatabase being put back into the pool is already "
                "present in the pool");
        }
        databaseInPool_.push_back(db);
        remove(databaseOutPool_, db.get());
    });
}

void SQDatabasePool::releaseAllDatabases() {
    std::vector<std::shared_ptr<SQDatabase>> idle, lent;
    executeLocked([&] {
        idle.swap(databaseInPool_);
        lent.swap(databaseOutPool_);
    });
    // Idle connections close here, outside the lock, as the last references go.
}

ErrorPtr SQDatabasePool::withDatabase(const std::function<ErrorPtr(SQDatabase& db)>& work,
                                      const std::function<void()>& missing) {
    auto db = this->db();
    if (!db) {
        missing();
        return Error::make(SQDatabaseErrorDomain, SQLITE_CANTOPEN,
                           std::string_view("The pool could not lend a database"));
    }
    ErrorPtr result;
    try {
        result = work(*db);
    } catch (...) {
        pushDatabaseBackInPool(db);
        throw;
    }
    pushDatabaseBackInPool(db);
    return result;
}

ErrorPtr SQDatabasePool::inDatabase(const DatabaseBlock& block) {
    return withDatabase(
        [&](SQDatabase& db) -> ErrorPtr {
            block(&db);
            return nullptr;
        },
        [&] { block(nullptr); });
}

ErrorPtr SQDatabasePool::beginTransaction(SQTransactionKind kind, const TransactionBlock& block) {
    return withDatabase([&](SQDatabase& db) { return db.runTransaction(kind, block); },
                        [&] {
                            bool rollback = false;
                            block(nullptr, rollback);
                        });
}

ErrorPtr SQDatabasePool::inSavePoint(const TransactionBlock& block) {
    static std::atomic<long> counter{0};
    return withDatabase(
        [&](SQDatabase& db) {
            return db.runSavePoint("savePoint" + std::to_string(counter++), block);
        },
        [&] {
            bool rollback = false;
            block(nullptr, rollback);
        });
}

}  // namespace quarra
