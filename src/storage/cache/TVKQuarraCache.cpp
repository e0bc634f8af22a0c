#include "quarra/TVKQuarraCache.h"

#include "auth/TVKQuarraAuthManager.h"
#include "quarra/TVKErrors.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "storage/cache/TVKCacheDatabaseKey.h"
#include "storage/db/SQDatabase.h"
#include "storage/db/SQDatabaseQueue.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {

TVKQuarraCache::TVKQuarraCache(std::string name, TVKQuarraPtr quarra)
    : name_(std::move(name)), quarra_(std::move(quarra)) {
    if (auto user = TVKQuarraAuthManager::sharedInstance().currentUser()) {
        boundUsername_ = user->username();
    }
}

std::shared_ptr<SQDatabaseQueue> TVKQuarraCache::dbQueue() const {
    std::lock_guard lock(mutex_);
    return dbQueue_;
}

ErrorPtr TVKQuarraCache::notAuthenticatedError() {
    return Error::make(TVKCacheErrorDomain, TVKCacheNotAuthenticatedErrorCode,
                       "User not authenticated");
}

Result<std::string> TVKQuarraCache::authorizedUsername() {
    auto stored = TVKQuarraCryptManager::currentUsername();
    std::lock_guard lock(mutex_);
    if (stored) {
        if (!boundUsername_) {
            boundUsername_ = *stored;
        }
        if (*boundUsername_ == *stored) {
            return *stored;
        }
    }
    return notAuthenticatedError();
}

Result<std::shared_ptr<SQDatabaseQueue>> TVKQuarraCache::loadDB(const std::string& username) {
    std::lock_guard lock(mutex_);
    if (dbQueue_) {
        return dbQueue_;
    }
    ErrorPtr pathError;
    std::optional<std::filesystem::path> path;
    if (quarra_) {
        auto file = TVKQuarraConfigurationManager::sharedInstance().cacheDatabaseFileForQuarra(
            *quarra_, username, true);
        pathError = file.error();
        if (file) {
            path = std::move(file).value();
            dbQueue_ = SQDatabaseQueue::databaseQueueWithPath(path->string());
        }
    }
    if (!dbQueue_) {
        ErrorPtr error = Error::make(TVKCacheErrorDomain, TVKCacheOpenFailedErrorCode,
                                     Json::object(), pathError);
        TVK_LOG_ERROR("Unexpected error opening database:" + error->description());
        return error;
    }
    databasePath_ = path->string();
    return dbQueue_;
}

void TVKQuarraCache::openDatabaseForQuarra(const TVKQuarraPtr& quarra,
                                           const OpenHandler& openHandler,
                                           const CloseHandler& closeHandler,
                                           const CloseHandler& settled) {
    auto username = authorizedUsername();
    if (!username) {
        closeHandler(username.error());
        return;
    }
    if (quarra && quarra != quarra_) {
        closeHandler(Error::make(TVKQuarraErrorDomain, TVKQuarraNotAssociatedWithCacheErrorCode,
                                 "Unable to cache data from Quarra not associated with cache"));
        return;
    }
    auto loaded = loadDB(*username);
    if (!loaded) {
        closeHandler(loaded.error());
        return;
    }
    const auto& queue = *loaded;
    const std::string path = databasePath_;
    ErrorPtr error;
    bool ran = false;
    const SQDatabase::TransactionBlock work = [&](SQDatabase* db, bool& rollback) {
        auto fileKey = TVKQuarraCryptManager::sharedInstance().getFileEncryptionKey();
        ErrorPtr keyError = fileKey.error();
        auto key = fileKey ? std::optional(std::move(*fileKey)) : std::nullopt;
        // The key is the signed-in user's: make sure that is still the user of this object.
        if (key && !keyError) {
            if (auto stillAuthorized = authorizedUsername(); !stillAuthorized) {
                keyError = stillAuthorized.error();
            }
        }
        if (!key || keyError) {
            error = keyError ? keyError
                             : Error::make(TVKCryptographyErrorDomain,
                                           TVKCryptographyNoKeyErrorCode, "No file encryption key");
            TVK_LOG_ERROR("Unexpected error getting file encryption key for database access" +
                          error->description());
            return;
        }
        if (!db || !db->setKey(TVKCacheDatabaseKey::keyForDatabase(path, *key))) {
            error = Error::make(TVKCacheErrorDomain, TVKCacheOpenFailedErrorCode);
            TVK_LOG_ERROR("Unexpected error opening database:" + error->description());
            return;
        }
        ran = true;
        error = openHandler(*db);
        if (error) {
            rollback = true;
        }
    };
    const auto finish = [&](const ErrorPtr& transactionError) {
        if (transactionError && !error) {
            // The transaction could not begin, or its commit failed: nothing was stored.
            error = Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                                transactionError->localizedDescription(), transactionError);
            TVK_LOG_ERROR("Unexpected error in cache transaction:" +
                          transactionError->description());
        }
        if (ran && settled) {
            settled(error);
        }
    };
    // The whole transaction and its settling form one block on the queue.
    ErrorPtr queueError = queue->inDatabase([&](SQDatabase* db) {
        if (!db) {
            bool rollback = false;
            work(nullptr, rollback);
            return;
        }
        finish(db->runTransaction(SQTransactionKind::Deferred, work));
    });
    if (queueError) {
        finish(queueError);
    }
    (void)queue->close();
    closeHandler(error);
}

}  // namespace quarra
