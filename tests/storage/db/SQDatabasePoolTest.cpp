#include "storage/db/SQDatabasePool.h"

#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include <thread>

#include "support/TestSupport.h"

using namespace quarra;

TEST(SQDatabasePoolTest, LendsLastReturnedFirstAndCountsBoth) {
    test::TempDir dir;
    auto pool = SQDatabasePool::databasePoolWithPath((dir / "p.db").string());
    EXPECT_EQ(pool->countOfOpenDatabases(), 0u) << "opens nothing up front";
    auto a = pool->db();
    auto b = pool->db();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a->isOpen());
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 2u);
    pool->pushDatabaseBackInPool(a);
    pool->pushDatabaseBackInPool(b);
    pool->pushDatabaseBackInPool(nullptr);
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 2u);
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
    EXPECT_EQ(pool->db(), b);
    EXPECT_EQ(pool->countOfOpenDatabases(), 2u);
    EXPECT_THROW(pool->pushDatabaseBackInPool(a), std::logic_error);
}

TEST(SQDatabasePoolTest, TheBoundStopsLendingUntilAConnectionComesBack) {
    auto pool = SQDatabasePool::databasePoolWithPath(std::nullopt);
    pool->setMaximumNumberOfDatabasesToCreate(1);
    auto first = pool->db();
    ASSERT_TRUE(first);
    test::DiagnosticsRecorder diagnostics;
    EXPECT_FALSE(pool->db());
    EXPECT_NE(diagnostics.text().find("Maximum number of databases (1) has already been reached!"),
              std::string::npos);
    SQDatabase* seen = first.get();
    ErrorPtr error = pool->inDatabase([&](SQDatabase* db) { seen = db; });
    EXPECT_EQ(seen, nullptr);
    EXPECT_TRUE(error);
    pool->pushDatabaseBackInPool(first);
    EXPECT_EQ(pool->db(), first);
}

TEST(SQDatabasePoolTest, DelegateDecidesAndHearsOfNewConnectionsOnly) {
    struct Delegate : SQDatabasePoolDelegate {
        bool allow = true;
        int added = 0;
        bool databasePoolShouldAddDatabaseToPool(SQDatabasePool&, SQDatabase&) override {
            return allow;
        }
        void databasePoolDidAddDatabase(SQDatabasePool&, SQDatabase&) override { ++added; }
    };
    auto delegate = std::make_shared<Delegate>();
    auto pool = SQDatabasePool::databasePoolWithPath(std::nullopt);
    pool->setDelegate(delegate);
    auto db = pool->db();
    pool->pushDatabaseBackInPool(db);
    EXPECT_EQ(pool->db(), db);
    EXPECT_EQ(delegate->added, 1);
    delegate->allow = false;
    EXPECT_FALSE(pool->db());
    EXPECT_FALSE(pool->db());
    EXPECT_EQ(delegate->added, 1);
}

TEST(SQDatabasePoolTest, BorrowersOnManyThreadsShareOneFile) {
    test::TempDir dir;
    auto pool = SQDatabasePool::databasePoolWithPath((dir / "p.db").string());
    ASSERT_FALSE(pool->inDatabase([](SQDatabase* db) {
        db->executeStatements("pragma journal_mode=wal; create table t (a)");
    }));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                ErrorPtr error = pool->inImmediateTransaction([&](SQDatabase* db, bool&) {
                    if (!db->executeUpdate("insert into t values (?)", t * 100 + i))
                        ++failures;
                });
                if (error)
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    int count = 0;
    pool->inDatabase([&](SQDatabase* db) { count = db->intForQuery("select count(*) from t"); });
    EXPECT_EQ(count, 80);
    EXPECT_LE(pool->countOfOpenDatabases(), 4u);
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
}

TEST(SQDatabasePoolTest, TransactionsAndSavepointsReportAndRollBack) {
    test::TempDir dir;
    auto pool = SQDatabasePool::databasePoolWithPath((dir / "p.db").string());
    pool->inDatabase([](SQDatabase* db) { db->executeUpdate("create table t (a)"); });
    EXPECT_FALSE(pool->inDeferredTransaction([](SQDatabase* db, bool& rollback) {
        db->executeUpdate("insert into t values (1)");
        rollback = true;
    }));
    EXPECT_FALSE(pool->inSavePoint(
        [](SQDatabase* db, bool&) { db->executeUpdate("insert into t values (2)"); }));
    ErrorPtr error = pool->inTransaction([](SQDatabase* db, bool&) {
        db->executeUpdate("insert into t values (3)");
        db->commit();  // the block ends the transaction itself, so the pool's commit fails
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "cannot commit - no transaction is active");
    std::optional<std::string> values;
    pool->inDatabase(
        [&](SQDatabase* db) { values = db->stringForQuery("select group_concat(a) from t"); });
    EXPECT_EQ(values, "2,3");
}

TEST(SQDatabasePoolTest, ReleaseAllLetsGoOfIdleConnectionsAndTakesLentOnesBack) {
    auto pool = SQDatabasePool::databasePoolWithPath(std::nullopt);
    auto lent = pool->db();
    std::weak_ptr<SQDatabase> idle = pool->db();
    pool->pushDatabaseBackInPool(idle.lock());
    pool->releaseAllDatabases();
    EXPECT_TRUE(idle.expired());
    EXPECT_EQ(pool->countOfOpenDatabases(), 0u);
    EXPECT_TRUE(lent->executeUpdate("create table t (a)")) << "a lent connection stays usable";
    pool->pushDatabaseBackInPool(lent);
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 1u);
}
