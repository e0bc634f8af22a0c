// The cache base: who may use a cache object, which file it keys, and the transaction around each
// operation, against real SQLCipher files and the real keychain store.
#include "quarra/TVKQuarraCache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "CacheTestSupport.h"
#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/TVKErrors.h"
#include "storage/cache/TVKCacheDatabaseKey.h"
#include "storage/db/SQDatabase.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

namespace fs = std::filesystem;

class PlainCache : public TVKQuarraCache {
  public:
    PlainCache(TVKQuarraPtr quarra) : TVKQuarraCache("Plain", std::move(quarra)) {}

    // Runs `work` as one operation and returns what the close handler received.
    ErrorPtr run(const TVKQuarraPtr& quarra, const OpenHandler& work) {
        ErrorPtr result;
        int closes = 0;
        openDatabaseForQuarra(quarra, work, [&](const ErrorPtr& error) {
            ++closes;
            result = error;
        });
        EXPECT_EQ(closes, 1);
        return result;
    }
    ErrorPtr run(const OpenHandler& work) { return run(nullptr, work); }
};

TVKQuarraPtr makeQuarra(std::uint64_t id) {
    return std::make_shared<TVKQuarra>(id, "Q" + std::to_string(id), "q.example.com");
}

fs::path cacheFolder() {
    return TVKQuarraConfigurationManager::sharedInstance().cacheDirectory();
}

const TVKQuarraCache::OpenHandler insertRow = [](SQDatabase& db) -> ErrorPtr {
    if (!db.executeUpdate("CREATE TABLE IF NOT EXISTS t (v TEXT)") ||
        !db.executeUpdate("INSERT INTO t VALUES ('x')")) {
        return db.lastError();
    }
    return nullptr;
};

std::int64_t rowsIn(PlainCache& cache) {
    std::int64_t rows = -1;
    EXPECT_FALSE(cache.run([&](SQDatabase& db) {
        rows = db.tableExists("t") ? db.longForQuery("SELECT COUNT(*) FROM t") : 0;
        return ErrorPtr();
    }));
    return rows;
}

TEST(CacheBase, WithoutSignedInUserReportsMinus3AndCreatesNothing) {
    PlainCache cache(makeQuarra(7));
    bool ran = false;
    ErrorPtr error = cache.run([&](SQDatabase&) {
        ran = true;
        return ErrorPtr();
    });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -3));
    EXPECT_EQ(error->localizedDescription(), "User not authenticated");
    EXPECT_FALSE(ran);
    EXPECT_FALSE(cache.dbQueue());
    EXPECT_FALSE(fs::exists(cacheFolder() / "alice"));

    // A session user without a stored user name is no user either (no private in-memory database).
    auto quarra = makeQuarra(7);
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        std::make_shared<TVKUserInternal>("alice", std::vector{quarra}, quarra, 1));
    EXPECT_TRUE(cache.run(insertRow)->is(TVKCacheErrorDomain, -3));
    EXPECT_FALSE(cache.dbQueue());
}

TEST(CacheBase, ChecksTheQuarraByIdentityAndKeysThatQuarrasFile) {
    auto quarra = makeQuarra(7);
    test::signInCacheUser("alice", {quarra});
    PlainCache cache(quarra);
    ErrorPtr error = cache.run(makeQuarra(7), insertRow);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKQuarraErrorDomain, -20));
    EXPECT_EQ(error->localizedDescription(),
              "Unable to cache data from Quarra not associated with cache");
    EXPECT_FALSE(cache.run(quarra, insertRow));
    EXPECT_FALSE(cache.run(insertRow));
    EXPECT_TRUE(fs::is_regular_file(cacheFolder() / "alice" / "quarra7_cache.db"));
    EXPECT_EQ(rowsIn(cache), 2);
}

TEST(CacheBase, RollsBackWhatAFailedOperationWroteAndReportsAFailedCommit) {
    auto quarra = makeQuarra(7);
    test::signInCacheUser("alice", {quarra});
    PlainCache cache(quarra);
    ASSERT_FALSE(cache.run(insertRow));
    ErrorPtr failure = Error::make("test", 1);
    EXPECT_EQ(cache.run([&](SQDatabase& db) {
        EXPECT_FALSE(insertRow(db));
        return failure;
    }),
              failure);
    EXPECT_EQ(rowsIn(cache), 1);

    // Work that ends the transaction itself leaves the final commit nothing to commit: that is a
    // failure, never success.
    ErrorPtr error = cache.run([](SQDatabase& db) {
        EXPECT_TRUE(db.executeUpdate("COMMIT"));
        return ErrorPtr();
    });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -1));
    ASSERT_TRUE(error->underlyingError());
}

TEST(CacheBase, WithoutFileKeyReportsTheCryptErrorAndRunsNothing) {
    auto quarra = makeQuarra(7);
    EXPECT_EQ(KeychainItemStore::setUsername("carol"), nullptr);
    TVKQuarraAuthManager::sharedInstance().setCurrentUser(
        std::make_shared<TVKUserInternal>("carol", std::vector{quarra}, quarra, 1));
    PlainCache cache(quarra);
    bool ran = false;
    ErrorPtr error = cache.run([&](SQDatabase&) {
        ran = true;
        return ErrorPtr();
    });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCryptographyErrorDomain, -1));
    EXPECT_FALSE(ran);
}

TEST(CacheBase, ACacheObjectWorksOnlyForTheUserItWasMadeFor) {
    auto quarra = makeQuarra(7);
    test::signInCacheUser("alice", {quarra});
    PlainCache cache(quarra);
    ASSERT_FALSE(cache.run(insertRow));

    test::signInCacheUser("bob", {quarra});
    EXPECT_TRUE(cache.run(insertRow)->is(TVKCacheErrorDomain, -3));
    PlainCache bobs(quarra);
    EXPECT_EQ(rowsIn(bobs), 0);
    EXPECT_TRUE(fs::exists(cacheFolder() / "bob" / "quarra7_cache.db"));

    test::signInCacheUser("alice", {quarra});
    EXPECT_EQ(rowsIn(cache), 1);
}

// The user's key opens every cache file in the stock shell, whether the file was keyed with the
// passphrase (first opening) or with the derived key (later ones).
TEST(CacheBase, TheStockShellOpensTheFileWithTheUsersKey) {
    auto quarra = makeQuarra(7);
    test::signInCacheUser("alice", {quarra});
    PlainCache cache(quarra);
    TVKCacheDatabaseKey::forgetDerivedKeys();
    ASSERT_FALSE(cache.run(insertRow));
    ASSERT_FALSE(cache.run(insertRow));
    TVKCacheDatabaseKey::forgetDerivedKeys();
    ASSERT_FALSE(cache.run(insertRow));
    EXPECT_EQ(rowsIn(cache), 3);

    auto key = TVKQuarraCryptManager::sharedInstance().getFileEncryptionKey();
    ASSERT_TRUE(key);
    ASSERT_EQ(key->find('\''), std::string::npos);
    test::TempDir dir;
    const fs::path script = dir / "script.sql";
    test::writeFile(script, "PRAGMA key = '" + *key + "';\nSELECT COUNT(*) FROM t;\n");
    const fs::path file = cacheFolder() / "alice" / "quarra7_cache.db";
    const std::string command = "sqlcipher '" + file.string() + "' < '" + script.string() + "'";
    FILE* shell = popen(command.c_str(), "r");
    ASSERT_TRUE(shell);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, shell)) {
        output += buffer;
    }
    EXPECT_EQ(pclose(shell), 0);
    EXPECT_EQ(output, "3\n");

    // A wrong passphrase does not open it.
    test::writeFile(script, "PRAGMA key = 'wrong';\nSELECT COUNT(*) FROM t;\n");
    shell = popen((command + " 2>&1").c_str(), "r");
    ASSERT_TRUE(shell);
    output.clear();
    while (fgets(buffer, sizeof buffer, shell)) {
        output += buffer;
    }
    pclose(shell);
    EXPECT_NE(output, "3\n");
}

}  // namespace
}  // namespace quarra
