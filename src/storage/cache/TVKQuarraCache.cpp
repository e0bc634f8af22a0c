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

std::optional<std::string> TVKQuarraCache::authorizedUsername(ErrorPtr* error) {
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    auto stored = TVKQuarraConfigurationManager::sharedInstance().currentUsername();
    std::lock_guard lock(mutex_);
    if (user && stored && !stored->empty() && *stored == user->username()) {
        if (!boundUsername_) {
            boundUsername_ = *stored;
        }
        if (*boundUsername_ == *stored) {
            return stored;
        }
    }
    if (error) {
        *error = notAuthenticatedError();
    }
    return std::nullopt;
}

std::shared_ptr<SQDatabaseQueue> TVKQuarraCache::loadDB(const std::string& username,
                                                        ErrorPtr* error) {
    std::lock_guard lock(mutex_);
    if (dbQueue_) {
        return dbQueue_;
    }
    ErrorPtr pathError;
    auto path = quarra_
                    ? TVKQuarraConfigurationManager::sharedInstance().cacheDatabaseFileForQuarra(
                          *quarra_, username, true, &pathError)
                    : std::nullopt;
    if (path) {
        dbQueue_ = SQDatabaseQueue::databaseQueueWithPath(path->string());
    }
    if (!dbQueue_) {
        *error = Error::make(TVKCacheErrorDomain, TVKCacheOpenFailedErrorCode, Json::object(),
                             pathError);
        TVK_LOG_ERROR("Unexpected error opening database:" + (*error)->description());
        return nullptr;
    }
    databasePath_ = path->string();
    return dbQueue_;
}

void TVKQuarraCache::openDatabaseForQuarra(const TVKQuarraPtr& quarra,
                                           const OpenHandler& openHandler,
                                           const CloseHandler& closeHandler) {
    ErrorPtr error;
    auto username = authorizedUsername(&error);
    if (!username) {
        closeHandler(error);
        return;
    }
    if (quarra && quarra != quarra_) {
        closeHandler(Error::make(TVKQuarraErrorDomain, TVKQuarraNotAssociatedWithCacheErrorCode,
                                 "Unable to cache data from Quarra not associated with cache"));
        return;
    }
    auto queue = loadDB(*username, &error);
    if (!queue) {
        closeHandler(error);
        return;
    }
    const std::string path = databasePath_;
    ErrorPtr transactionError = queue->inDeferredTransaction([&](SQDatabase* db, bool& rollback) {
        ErrorPtr keyError;
        auto key = TVKQuarraCryptManager::sharedInstance().getFileEncryptionKey(&keyError);
        // The key is the signed-in user's: make sure that is still the user of this object.
        if (key && !keyError && !authorizedUsername(&keyError)) {
            key.reset();
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
        openHandler(*db, error);
        if (error) {
            rollback = true;
        }
    });
    if (transactionError && !error) {
        // The transaction could not begin, or its commit failed: nothing was stored.
        error = Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode, Json::object(),
                            transactionError);
        TVK_LOG_ERROR("Unexpected error in cache transaction:" + transactionError->description());
    }
    (void)queue->close();
    closeHandler(error);
}

}  // namespace quarra
