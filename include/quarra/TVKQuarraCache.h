#pragma once
// The base of the file cache and the JSON record caches: one cache object serves one Quarra of the
// signed-in user, and owns the database queue of that user's encrypted cache file for the Quarra.
// Every operation of a cache goes through openDatabaseForQuarra: user check, Quarra check, the
// queue made on first use, the connection opened and keyed with the user's file-encryption key
// inside one deferred transaction, the operation's work, commit or rollback, close, and the
// outcome to the close handler.
//
// A cache object is bound to the user it was made for: once another user is signed in, its
// operations fail with TVKCacheErrorDomain -3 instead of keying that user's file with another key.
//
// Thread safety: operations may be called from any thread; those of one object are serialised by
// its queue. An open handler must not start another operation of the same object.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "quarra/TVKQuarra.h"
#include "quarra/Dispatch.h"
#include "quarra/Error.h"
#include "quarra/Result.h"

namespace quarra {

class SQDatabase;
class SQDatabaseQueue;

class TVKQuarraCache : public std::enable_shared_from_this<TVKQuarraCache> {
  public:
    // Does the operation's statements on the open, keyed connection; the error it returns rolls the
    // transaction back.
    using OpenHandler = std::function<ErrorPtr(SQDatabase& db)>;
    using CloseHandler = std::function<void(const ErrorPtr& error)>;

    virtual ~TVKQuarraCache() = default;
    TVKQuarraCache(const TVKQuarraCache&) = delete;
    TVKQuarraCache& operator=(const TVKQuarraCache&) = delete;

    const std::string& name() const { return name_; }
    const TVKQuarraPtr& quarra() const { return quarra_; }
    std::shared_ptr<SQDatabaseQueue> dbQueue() const;

    // Runs one operation. `quarra` must be this cache's own Quarra object (identity, not equal
    // fields), else TVKQuarraErrorDomain -20; null skips that check. The open handler runs at most
    // once, on the queue's serial queue, inside a deferred transaction rolled back exactly when it
    // sets its error. The close handler runs exactly once, on the calling thread, after the
    // connection is closed, with the error that ended the operation: -3 "User not authenticated"
    // (nobody signed in, no stored user name, or another user than this object's), -20, -2 (file
    // cannot be opened or keyed), the crypt manager's error (no key), the open handler's error, or
    // -1 over the database's error when the transaction could not begin or commit.
    //
    // `settled`, when given, runs on the queue right after the commit or rollback with the error
    // the close handler will get (not when the open handler never ran): state the open handler's
    // statements describe is brought in line there, before any other operation of this object
    // can see it.
    void openDatabaseForQuarra(const TVKQuarraPtr& quarra, const OpenHandler& openHandler,
                               const CloseHandler& closeHandler, const CloseHandler& settled = {});
    void openDatabaseWithOpenHandler(const OpenHandler& openHandler,
                                     const CloseHandler& closeHandler) {
        openDatabaseForQuarra(nullptr, openHandler, closeHandler);
    }

    // Each cache removes all its entries its own way; the base does nothing and calls nothing.
    virtual void removeAllEntries(std::function<void(const ErrorPtr&)> handler) { (void)handler; }

  protected:
    TVKQuarraCache(std::string name, TVKQuarraPtr quarra);

    // The user this object works for, when the signed-in user is that user; -3 otherwise. The
    // first call binds an object made without a user.
    Result<std::string> authorizedUsername();
    static ErrorPtr notAuthenticatedError();

    // Calls the host's handler later, on the main queue; an empty handler is not called.
    template <class Handler, class... Args>
    static void callOnMain(const Handler& handler, Args... args) {
        if (handler) {
            DispatchQueue::main()->async([handler, args...] { handler(args...); });
        }
    }

  private:
    // The queue, made when absent; -2 when the file cannot be opened.
    Result<std::shared_ptr<SQDatabaseQueue>> loadDB(const std::string& username);

    std::string name_;
    TVKQuarraPtr quarra_;
    mutable std::mutex mutex_;
    std::optional<std::string> boundUsername_;
    std::shared_ptr<SQDatabaseQueue> dbQueue_;
    std::string databasePath_;
};

}  // namespace quarra
