#include "storage/db/SQDatabaseQueue.h"

#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include <atomic>
#include <thread>

#include "support/TestSupport.h"
#include "EndlessStatement.h"

using namespace quarra;
using namespace std::chrono_literals;

TEST(SQDatabaseQueueTest, OpensAtOnceOrNotAtAll) {
    test::TempDir dir;
    test::DiagnosticsRecorder diagnostics;
    EXPECT_FALSE(SQDatabaseQueue::databaseQueueWithPath((dir / "missing" / "x.db").string()));
    EXPECT_NE(diagnostics.text().find("Could not create database queue for path"),
              std::string::npos);
    auto queue = SQDatabaseQueue::databaseQueueWithURL(Url::fileUrl(dir / "x.db"));
    ASSERT_TRUE(queue);
    EXPECT_TRUE(std::filesystem::exists(dir / "x.db"));
    EXPECT_EQ(queue->openFlags(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

TEST(SQDatabaseQueueTest, ManyThreadsShareOneConnectionOneBlockAtATime) {
    test::TempDir dir;
    auto queue = SQDatabaseQueue::databaseQueueWithPath((dir / "q.db").string());
    ASSERT_TRUE(queue);
    queue->inDatabase([](SQDatabase* db) {
        db->executeStatements("pragma synchronous=off; create table t (thread, i)");
    });
    std::atomic<int> inside{0}, overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                ErrorPtr error = queue->inTransaction([&](SQDatabase* db, bool&) {
                    if (inside++)
                        ++overlaps;
                    db->executeUpdate("insert into t values (?, ?)", t, i);
                    --inside;
                });
                EXPECT_FALSE(error);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps, 0);
    int count = 0;
    queue->inDatabase([&](SQDatabase* db) { count = db->intForQuery("select count(*) from t"); });
    EXPECT_EQ(count, 400);
}

TEST(SQDatabaseQueueTest, RollbackFlagDiscardsTheBlocksChanges) {
    auto queue = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    queue->inDatabase([](SQDatabase* db) { db->executeUpdate("create table t (a)"); });
    EXPECT_FALSE(queue->inDeferredTransaction([](SQDatabase* db, bool& rollback) {
        db->executeUpdate("insert into t values (1)");
        rollback = true;
    }));
    EXPECT_FALSE(queue->inImmediateTransaction(
        [](SQDatabase* db, bool&) { db->executeUpdate("insert into t values (2)"); }));
    EXPECT_FALSE(queue->inSavePoint([](SQDatabase* db, bool& rollback) {
        db->executeUpdate("insert into t values (3)");
        rollback = true;
    }));
    EXPECT_FALSE(queue->inSavePoint(
        [](SQDatabase* db, bool&) { db->executeUpdate("insert into t values (4)"); }));
    std::optional<std::string> values;
    queue->inDatabase(
        [&](SQDatabase* db) { values = db->stringForQuery("select group_concat(a) from t"); });
    EXPECT_EQ(values, "2,4");
}

TEST(SQDatabaseQueueTest, AFailedCommitIsReportedAndRolledBack) {
    test::TempDir dir;
    auto path = (dir / "c.db").string();
    auto queue = SQDatabaseQueue::databaseQueueWithPath(path);
    queue->inDatabase([](SQDatabase* db) { db->executeUpdate("create table t (a)"); });
    // Another connection keeps reading, so the commit cannot take the write lock.
    auto reader = SQDatabase::databaseWithPath(path);
    ASSERT_TRUE(reader->open() && reader->beginDeferredTransaction());
    ASSERT_FALSE(reader->executeQuery("select count(*) from t") == nullptr);
    auto readerCursor = reader->executeQuery("select * from sqlite_master");
    ASSERT_TRUE(readerCursor->next());

    bool inTransactionAfter = true;
    ErrorPtr error = queue->inDeferredTransaction([&](SQDatabase* db, bool&) {
        db->setMaxBusyRetryTimeInterval(0.1);
        EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_BUSY);
    queue->inDatabase([&](SQDatabase* db) { inTransactionAfter = db->isInTransaction(); });
    EXPECT_FALSE(inTransactionAfter);
    readerCursor->close();
    reader->close();
    int count = -1;
    queue->inDatabase([&](SQDatabase* db) { count = db->intForQuery("select count(*) from t"); });
    EXPECT_EQ(count, 0) << "nothing of the failed transaction remains";
}

TEST(SQDatabaseQueueTest, AFailedBeginRunsNoBlock) {
    auto queue = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    bool ran = false;
    ErrorPtr error = queue->inTransaction([&](SQDatabase* db, bool&) {
        ran = true;
        // A transaction the outer one cannot nest in.
        EXPECT_FALSE(db->beginTransaction());
    });
    EXPECT_FALSE(error);
    queue->inDatabase([](SQDatabase* db) { db->beginTransaction(); });
    error = queue->inTransaction([&](SQDatabase*, bool&) { ran = false; });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_ERROR);
    EXPECT_TRUE(ran);
}

TEST(SQDatabaseQueueTest, ReentrantUseIsRefusedInsteadOfDeadlocking) {
    auto a = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    auto b = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    ErrorPtr direct, viaOther, other;
    bool innerRan = false;
    test::DiagnosticsRecorder diagnostics;
    a->inDatabase([&](SQDatabase*) {
        direct = a->inTransaction([&](SQDatabase*, bool&) { innerRan = true; });
        other = b->inDatabase(
            [&](SQDatabase*) { viaOther = a->inDatabase([&](SQDatabase*) { innerRan = true; }); });
    });
    std::string log = diagnostics.text();
    ASSERT_TRUE(direct && viaOther);
    EXPECT_TRUE(direct->is(SQDatabaseErrorDomain, SQLITE_MISUSE));
    EXPECT_NE(direct->localizedDescription().find("reentrantly on the same queue"),
              std::string::npos);
    EXPECT_TRUE(viaOther->is(SQDatabaseErrorDomain, SQLITE_MISUSE));
    EXPECT_FALSE(other) << "another queue runs normally";
    EXPECT_FALSE(innerRan);
    EXPECT_NE(log.find("which would lead to a deadlock"), std::string::npos);
    EXPECT_FALSE(a->inDatabase([](SQDatabase*) {})) << "usable afterwards";
}

TEST(SQDatabaseQueueTest, CloseDropsTheConnectionAndTheNextUseReopensUnkeyed) {
    test::TempDir dir;
    auto path = (dir / "k.db").string();
    auto queue = SQDatabaseQueue::databaseQueueWithPath(path);
    ASSERT_FALSE(queue->inDeferredTransaction([](SQDatabase* db, bool&) {
        ASSERT_TRUE(db->setKey("k"));
        ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    }));
    queue->close();
    queue->inDeferredTransaction([](SQDatabase* db, bool& rollback) {
        ASSERT_TRUE(db && db->isOpen());
        EXPECT_FALSE(db->executeQuery("select * from t")) << "not keyed";
        rollback = true;
    });
    queue->close();
    EXPECT_FALSE(queue->inDeferredTransaction([](SQDatabase* db, bool&) {
        ASSERT_TRUE(db->setKey("k"));
        EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
    }));

    // An in-memory queue starts empty after each close.
    auto memory = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    memory->inDatabase([](SQDatabase* db) { db->executeUpdate("create table t (a)"); });
    memory->close();
    bool exists = true;
    memory->inDatabase([&](SQDatabase* db) { exists = db->tableExists("t"); });
    EXPECT_FALSE(exists);
}

TEST(SQDatabaseQueueTest, AFailedReopenHandsTheBlockNoConnection) {
    test::TempDir dir;
    auto sub = dir / "sub";
    std::filesystem::create_directories(sub);
    auto queue = SQDatabaseQueue::databaseQueueWithPath((sub / "x.db").string());
    queue->close();
    std::filesystem::remove_all(sub);
    SQDatabase* seen = reinterpret_cast<SQDatabase*>(1);
    ErrorPtr error = queue->inDeferredTransaction([&](SQDatabase* db, bool&) { seen = db; });
    EXPECT_EQ(seen, nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_CANTOPEN);
    EXPECT_TRUE(queue->checkpoint(0));
}

TEST(SQDatabaseQueueTest, LeftOpenCursorsAreWarnedAboutAndStayUsable) {
    auto queue = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    std::shared_ptr<SQResultSet> rs;
    test::DiagnosticsRecorder diagnostics;
    queue->inDatabase(
        [&](SQDatabase* db) { rs = db->executeQuery("select 1 union all select 2"); });
    EXPECT_NE(diagnostics.text().find("at least one open result set"), std::string::npos);
    queue->inDatabase([&](SQDatabase*) {
        ASSERT_TRUE(rs->next());
        EXPECT_EQ(rs->intForColumnIndex(0), 1);
        rs->close();
    });
}

TEST(SQDatabaseQueueTest, CheckpointFillsTheCounts) {
    test::TempDir dir;
    auto queue = SQDatabaseQueue::databaseQueueWithPath((dir / "w.db").string());
    queue->inDatabase([](SQDatabase* db) {
        db->executeStatements(
            "pragma journal_mode=wal; create table t (a); insert into t values (1);");
    });
    int frames = -1, checkpointed = -1;
    EXPECT_EQ(queue->checkpoint(3, std::nullopt, &frames, &checkpointed), nullptr);
    EXPECT_GE(frames, 0);
    EXPECT_EQ(frames, checkpointed);
    EXPECT_TRUE(queue->checkpoint(0, "nosuchdb"));
}

TEST(SQDatabaseQueueTest, InterruptReachesTheQueuesStatement) {
    auto queue = SQDatabaseQueue::databaseQueueWithPath(std::nullopt);
    test::EndlessStatement statement;
    std::thread stopper([&] {
        statement.waitUntilRunning();
        queue->interrupt();
    });
    int code = 0;
    queue->inDatabase([&](SQDatabase* db) {
        statement.registerOn(db);
        db->executeUpdate(test::EndlessStatement::kSQL);
        code = db->lastErrorCode();
    });
    stopper.join();
    EXPECT_EQ(code, SQLITE_INTERRUPT);
}
