#include "storage/db/SQDatabase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sqlcipher/sqlite3.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

#include <sys/stat.h>

#include "support/TestSupport.h"
#include "EndlessStatement.h"

using namespace quarra;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<SQDatabase> openMemory() {
    auto db = SQDatabase::databaseWithPath();
    EXPECT_TRUE(db->open());
    return db;
}

}  // namespace

TEST(SQDatabaseTest, PathFormsChooseMemoryTemporaryOrFile) {
    test::TempDir dir;
    EXPECT_EQ(SQDatabase::databaseWithPath()->sqlitePath(), ":memory:");
    EXPECT_EQ(SQDatabase::databaseWithPath("")->sqlitePath(), "");
    EXPECT_FALSE(SQDatabase::databaseWithPath()->databaseURL());
    auto file = SQDatabase::databaseWithURL(Url::fileUrl(dir / "a.db"));
    EXPECT_EQ(file->databasePath(), (dir / "a.db").string());

    for (auto db : {SQDatabase::databaseWithPath(), SQDatabase::databaseWithPath(""), file}) {
        ASSERT_TRUE(db->open());
        EXPECT_TRUE(db->open()) << "opening an open connection is a no-op";
        EXPECT_TRUE(db->executeUpdate("create table t (a)"));
        EXPECT_TRUE(db->goodConnection());
        EXPECT_TRUE(db->close());
        EXPECT_TRUE(db->close());
        EXPECT_FALSE(db->goodConnection());
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "a.db"));
}

TEST(SQDatabaseTest, BindsEveryValueKindByItsRule) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (v)"));
    const std::uint64_t big = (std::uint64_t(1) << 63) + 5;
    struct Case {
        SQValue value;
        const char* type;
        std::string text;  // quote(v) as the engine prints it
    };
    const Case cases[] = {
        {nullptr, "null", "NULL"},
        {SQNull{}, "null", "NULL"},
        {std::optional<int>{}, "null", "NULL"},
        {Bytes{}, "blob", "X''"},
        {Bytes{0x00, 0xff}, "blob", "X'00FF'"},
        {'A', "integer", "65"},
        {std::int16_t(-7), "integer", "-7"},
        {std::uint32_t(4000000000u), "integer", "4000000000"},
        {std::int64_t(-9000000000LL), "integer", "-9000000000"},
        {big, "integer", std::to_string(static_cast<std::int64_t>(big))},
        {true, "integer", "1"},
        {false, "integer", "0"},
        {0.5f, "real", "0.5"},
        {0.1f, "real", "1.00000001490116119384e-01"},
        {2.25, "real", "2.25"},
        {"text", "text", "'text'"},
        {std::string("it's"), "text", "'it''s'"},
        {std::string_view("\xc3\xa9t\xc3\xa9"), "text", "'\xc3\xa9t\xc3\xa9'"},
        {SQDate(std::chrono::duration<double>(1.5)), "real", "1.5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.description());
        ASSERT_TRUE(db->executeUpdate("delete from t"));
        ASSERT_TRUE(db->executeUpdate("insert into t values (?)", SQArguments{c.value}));
        EXPECT_EQ(db->stringForQuery("select typeof(v) from t"), c.type);
        EXPECT_EQ(db->stringForQuery("select quote(v) from t"), c.text);
    }
}

TEST(SQDatabaseTest, DatesAreTextThroughAFormatter) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (d)"));
    db->setDateFormat(SQDatabase::storeableDateFormat("yyyy-MM-dd HH:mm:ss.SSS"));
    SQDate date{std::chrono::duration<double>(1700000000.25)};
    ASSERT_TRUE(db->executeUpdate("insert into t values (?)", date));
    EXPECT_EQ(db->stringForQuery("select d from t"), "2023-11-14 22:13:20.250");
    EXPECT_EQ(db->dateForQuery("select d from t"), date);
    EXPECT_FALSE(db->dateFromString("2023-13-14 22:13:20.250"));
    db->setDateFormat(nullptr);
    EXPECT_EQ(db->dateForQuery("select 1700000000.25"), date);
}

TEST(SQDatabaseTest, ArgumentCountsDictionariesAndFormats) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (a, b)"));
    ErrorPtr error = db->executeUpdateValues("insert into t values (?, ?)", SQArguments{1});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), SQDatabaseErrorDomain);
    EXPECT_NE(
        error->localizedDescription().find("bind count (1) is not correct for the # of variables "
                                           "in the query (2)"),
        std::string::npos);
    EXPECT_TRUE(db->executeUpdate("insert into t values (?, ?)", SQArguments{1, 2, 3}))
        << "extra arguments are ignored";
    EXPECT_FALSE(db->executeQuery("select * from t where a = ?"));

    EXPECT_TRUE(
        db->executeUpdate("insert into t values (:a, :b)", SQDictionary{{"a", 5}, {"b", "x"}}));
    EXPECT_EQ(db->intForQuery("select count(*) from t where a = 5 and b = 'x'"), 1);
    // A key without a parameter is logged, yet the update runs when every parameter got a value.
    test::DiagnosticsRecorder diagnostics;
    EXPECT_TRUE(
        db->executeUpdate("insert into t values (:a, 0)", SQDictionary{{"a", 6}, {"zz", 1}}));
    EXPECT_NE(diagnostics.text().find("Could not find index for zz"), std::string::npos);
    EXPECT_FALSE(db->executeUpdate("insert into t values (:a, :b)", SQDictionary{{"a", 7}}));

    // "%d" collects a number, a null "%@" becomes an inline NULL, "%%" is one percent sign.
    ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%d, %@)", 3, nullptr));
    EXPECT_EQ(db->intForQuery("select count(*) from t where a = 3 and b is null"), 1);
    ASSERT_TRUE(
        db->executeUpdateWithFormat("insert into t values (%s, %llu)", "50%", std::uint64_t(9)));
    auto rs = db->executeQueryWithFormat("select b from t where a like '5%%' and b = %ld", 9L);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 9);
    rs->close();
    EXPECT_THROW(db->executeUpdateWithFormat("select %d", "text"), std::invalid_argument);
}

TEST(SQDatabaseTest, FailuresCarryTheEngineCodeAndMessage) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (a unique)"));
    ErrorPtr error = db->executeUpdateValues("selec nonsense", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_ERROR);
    EXPECT_EQ(error->localizedDescription(), "near \"selec\": syntax error");
    EXPECT_TRUE(db->hadError());

    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
    error = db->executeUpdateValues("insert into t values (1)", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_CONSTRAINT);
    EXPECT_EQ(db->lastExtendedErrorCode(), SQLITE_CONSTRAINT_UNIQUE);
    EXPECT_EQ(db->lastError()->code(), SQLITE_CONSTRAINT);

    // An update that yields a row is refused; one that yields none is fine.
    error = db->executeUpdateValues("select * from t", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(),
              "A executeUpdate is being called with a query string 'select * from t'");
    EXPECT_TRUE(db->executeUpdate("select * from t where a = 42"));
    EXPECT_FALSE(db->hadError());

    auto closed = SQDatabase::databaseWithPath();
    EXPECT_FALSE(closed->executeUpdate("create table t (a)"));
    EXPECT_FALSE(closed->executeQuery("select 1"));
    EXPECT_NE(closed->lastErrorCode(), SQLITE_OK) << "a missing handle is never a success";
    EXPECT_NE(closed->lastError()->code(), 0);
    // The forms that say why fail with an error even though the engine was never asked.
    ErrorPtr refused = closed->executeUpdateValues("create table t (a)", SQArguments{});
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->is(SQDatabaseErrorDomain, SQLITE_MISUSE));
    bool ran = false;
    EXPECT_TRUE(closed->inSavePoint([&](bool&) { ran = true; }));
    EXPECT_FALSE(ran);
}

TEST(SQDatabaseTest, HadErrorOnlyForEngineErrorCodes) {
    // hadError() reads the live handle; drive its code through statements.
    auto db = openMemory();
    auto rs = db->executeQuery("select 1");
    ASSERT_TRUE(rs->next());
    EXPECT_FALSE(db->hadError()) << "100 (row)";
    EXPECT_FALSE(rs->next());
    EXPECT_FALSE(db->hadError()) << "101 (done)";
    EXPECT_FALSE(db->executeQuery("select * from missing"));
    EXPECT_TRUE(db->hadError());
}

TEST(SQDatabaseTest, TransactionsReportWhetherTheyHappened) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    EXPECT_FALSE(db->commit()) << "no transaction to commit";
    EXPECT_FALSE(db->isInTransaction());
    for (auto begin : {&SQDatabase::beginTransaction, &SQDatabase::beginDeferredTransaction,
                       &SQDatabase::beginImmediateTransaction}) {
        ASSERT_TRUE((db.get()->*begin)());
        EXPECT_TRUE(db->isInTransaction());
        EXPECT_FALSE((db.get()->*begin)()) << "no nesting";
        EXPECT_TRUE(db->isInTransaction());
        ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
        ASSERT_TRUE(db->rollback());
        EXPECT_FALSE(db->isInTransaction());
    }
    EXPECT_EQ(db->intForQuery("select count(*) from t"), 0);
    ASSERT_TRUE(db->beginDeferredTransaction());
    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
    ASSERT_TRUE(db->commit());
    EXPECT_EQ(db->intForQuery("select count(*) from t"), 1);
}

TEST(SQDatabaseTest, SavepointsNestAndRollBack) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    // A quote in the name is escaped, not spliced into the SQL.
    ASSERT_EQ(db->startSavePointWithName("it's"), nullptr);
    ASSERT_TRUE(db->executeUpdate("insert into t values (1)"));
    ErrorPtr inner = db->inSavePoint([&](bool& rollback) {
        db->executeUpdate("insert into t values (2)");
        rollback = true;
    });
    EXPECT_FALSE(inner);
    EXPECT_FALSE(db->inSavePoint([&](bool&) { db->executeUpdate("insert into t values (3)"); }));
    ASSERT_EQ(db->releaseSavePointWithName("it's"), nullptr);
    EXPECT_EQ(db->stringForQuery("select group_concat(a) from t"), "1,3");

    ErrorPtr error = db->releaseSavePointWithName("nope");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "no such savepoint: nope");
}

TEST(SQDatabaseTest, StatementCacheKeepsOneStatementPerOpenCursor) {
    auto db = openMemory();
    db->setShouldCacheStatements(true);
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(db->executeUpdate("insert into t values (?)", i));
    ASSERT_EQ(db->cachedStatements().at("insert into t values (?)").size(), 1u);
    EXPECT_EQ(db->cachedStatements().at("insert into t values (?)")[0]->useCount(), 3);

    const char* sql = "select a from t order by a";
    auto first = db->executeQuery(sql);
    auto second = db->executeQuery(sql);
    ASSERT_TRUE(first->next() && second->next() && second->next());
    EXPECT_EQ(first->intForColumnIndex(0), 0);
    EXPECT_EQ(second->intForColumnIndex(0), 1);
    EXPECT_EQ(db->cachedStatements().at(sql).size(), 2u);
    first->close();
    second->close();
    auto third = db->executeQuery(sql);
    EXPECT_EQ(db->cachedStatements().at(sql).size(), 2u) << "an idle statement is reused";
    ASSERT_TRUE(third->next());
    EXPECT_EQ(third->intForColumnIndex(0), 0) << "a reused statement starts from the top";
    db->setShouldCacheStatements(false);
    EXPECT_TRUE(db->cachedStatements().empty());
    ASSERT_TRUE(third->next()) << "a cursor outlives the cache it came from";
    EXPECT_EQ(third->intForColumnIndex(0), 1);
    db->close();
    EXPECT_FALSE(third->next());
}

TEST(SQDatabaseTest, BusyConnectionRetriesForItsIntervalThenFails) {
    test::TempDir dir;
    auto path = (dir / "busy.db").string();
    auto holder = SQDatabase::databaseWithPath(path);
    auto waiter = SQDatabase::databaseWithPath(path);
    ASSERT_TRUE(holder->open() && waiter->open());
    ASSERT_TRUE(holder->executeUpdate("create table t (a)"));

    waiter->setMaxBusyRetryTimeInterval(0.3);
    ASSERT_TRUE(holder->beginExclusiveTransaction());
    auto start = std::chrono::steady_clock::now();
    ErrorPtr error = waiter->executeUpdateValues("insert into t values (1)", SQArguments{});
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_BUSY);
    EXPECT_GE(waited, 300ms);

    // Released while the other waits: the waiter gets through.
    waiter->setMaxBusyRetryTimeInterval(5);
    std::thread release([&] {
        std::this_thread::sleep_for(200ms);
        holder->commit();
    });
    EXPECT_TRUE(waiter->executeUpdate("insert into t values (1)"));
    release.join();

    waiter->setMaxBusyRetryTimeInterval(0);
    ASSERT_TRUE(holder->beginExclusiveTransaction());
    // No retries when switched off: busy at once (were it retrying, it would wait for ever, as the
    // holder only lets go after the call).
    ErrorPtr busy = waiter->executeUpdateValues("insert into t values (2)", SQArguments{});
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->code(), SQLITE_BUSY);
    holder->rollback();
}

TEST(SQDatabaseTest, InterruptStopsARunningStatementFromAnotherThread) {
    auto db = openMemory();
    test::EndlessStatement statement;
    statement.registerOn(db.get());
    std::thread stopper([&] {
        statement.waitUntilRunning();
        EXPECT_TRUE(db->interrupt());
    });
    ErrorPtr error = db->executeUpdateValues(test::EndlessStatement::kSQL, SQArguments{});
    stopper.join();
    // An interrupted update is a failure the caller hears of, not only a log line.
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_INTERRUPT);
    EXPECT_EQ(db->lastErrorCode(), SQLITE_INTERRUPT);
    EXPECT_FALSE(SQDatabase::databaseWithPath()->interrupt()) << "no handle";
}

TEST(SQDatabaseTest, ExecuteStatementsRunsEveryStatementAndHandsOutRows) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeStatements(
        "create table t (a, b); insert into t values (1, 'x'); insert into t values (2, null);"));
    std::vector<SQDictionary> rows;
    ASSERT_TRUE(
        db->executeStatements("select a, b from t order by a", [&](const SQDictionary& row) {
            rows.push_back(row);
            return 0;
        }));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].at("a"), SQValue("1"));
    EXPECT_EQ(rows[1].at("b"), SQValue(SQNull{}));
    int seen = 0;
    EXPECT_FALSE(db->executeStatements("select a from t", [&](const SQDictionary&) {
        return ++seen;
    })) << "a non-zero answer stops the run";
    EXPECT_EQ(seen, 1);
    EXPECT_FALSE(db->executeStatements("insert into nowhere values (1)"));
}

TEST(SQDatabaseTest, LastInsertRowIdAndChanges) {
    auto db = openMemory();
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    ASSERT_TRUE(db->executeUpdate("insert into t values (1), (2), (3)"));
    EXPECT_EQ(db->lastInsertRowId(), 3);
    ASSERT_TRUE(db->executeUpdate("update t set a = 0 where a > 1"));
    EXPECT_EQ(db->changes(), 2);
}

// Under the usual umask the engine would make the database and its journal readable by all.
TEST(SQDatabaseTest, DatabaseFilesAndTheirJournalsAreTheUsersAlone) {
    test::TempDir dir;
    const mode_t saved = ::umask(022);
    auto modeOf = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 01000u;
    };
    const std::string fresh = (dir / "fresh.db").string();
    const std::string old = (dir / "old.db").string();
    test::writeFile(old, "");
    ::chmod(old.c_str(), 0644);
    for (const auto& path : {fresh, old}) {
        auto db = SQDatabase::databaseWithPath(path);
        ASSERT_TRUE(db->open());
        EXPECT_EQ(modeOf(path), 0600u) << path;
        ASSERT_TRUE(db->beginTransaction());
        ASSERT_TRUE(db->executeUpdate("create table t (a)"));
        EXPECT_EQ(modeOf(path + "-journal"), 0600u) << path;
        ASSERT_TRUE(db->commit());
        db->close();
    }
    ::umask(saved);
}

TEST(SQDatabaseTest, CallsOnAConnectionWithoutHandleAnswerWithAnError) {
    auto never = SQDatabase::databaseWithPath();
    auto closed = openMemory();
    closed->close();
    for (auto* db : {never.get(), closed.get()}) {
        EXPECT_FALSE(db->changes());
        EXPECT_FALSE(db->lastInsertRowId());
        EXPECT_TRUE(db->checkpoint(0));
        EXPECT_TRUE(db->makeFunctionNamed("f", 0, [](sqlite3_context*, int, sqlite3_value**) {}));
    }
}

// The cursor steps after the caller's dictionary is gone: the bound text must be the cursor's own.
TEST(SQDatabaseTest, ADictionaryBoundCursorOwnsWhatItBinds) {
    auto db = openMemory();
    const std::string name(64, 'n');
    const Bytes blob(64, 0xb1);
    ASSERT_TRUE(db->executeUpdate("create table t (a, b)"));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", SQArguments{name, blob}));
    std::shared_ptr<SQResultSet> rows;
    {
        auto parameters = std::make_unique<SQDictionary>(
            SQDictionary{{"a", std::string(name)}, {"b", Bytes(blob)}});
        rows = db->executeQuery("select count(*) from t where a = :a and b = :b", *parameters);
    }
    // Whatever reuses the freed memory must not change the answer.
    std::string other(64, 'x');
    Bytes otherBlob(64, 0);
    ASSERT_TRUE(rows && rows->next());
    EXPECT_EQ(rows->intForColumnIndex(0), 1);
    rows->close();
}

TEST(SQDatabaseTest, LibraryIdentity) {
    EXPECT_EQ(SQDBUserVersion(), "2.7.4");
    EXPECT_EQ(SQDBVersion(), 0x274u);
    EXPECT_EQ(SQDatabase::sqliteLibVersion(), "3.15.2");
    EXPECT_TRUE(SQDatabase::isSQLiteThreadSafe());
}

TEST(SQDatabaseTest, DiagnosticSwitches) {
    auto db = openMemory();
    test::DiagnosticsRecorder diagnostics;
    db->setTraceExecution(true);
    db->executeUpdate("create table t (a, b)");
    db->executeUpdate("insert into t values (?, ?)", 5, Bytes{1, 2, 3});
    db->setTraceExecution(false);
    db->setLogsErrors(false);
    db->executeUpdate("insert into nowhere values (1)");
    EXPECT_EQ(db->busyRetryTimeout(), -1);
    std::string log = diagnostics.text();
    EXPECT_NE(log.find("executeUpdate: insert into t values (?, ?)"), std::string::npos);
    EXPECT_NE(log.find("obj: 5"), std::string::npos);
    EXPECT_NE(log.find("data: 3 bytes"), std::string::npos);
    EXPECT_EQ(log.find("nowhere"), std::string::npos) << "errors unlogged when switched off";
    EXPECT_NE(log.find("busyRetryTimeout no longer works"), std::string::npos);

    db->setCrashOnErrors(true);
    EXPECT_THROW(db->executeQuery("selec"), std::logic_error);
    EXPECT_TRUE(db->executeUpdate("insert into t values (1, 2)")) << "usable afterwards";
}

TEST(SQDatabaseTest, CloseSweepsLeakedStatementsAndNeverFinalizesTwice) {
    auto db = openMemory();
    sqlite3_stmt* raw = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db->sqliteHandle(), "select 1", -1, &raw, nullptr), SQLITE_OK);
    auto rs = db->executeQuery("select 2");
    std::shared_ptr<SQStatement> held = rs->statement();
    test::DiagnosticsRecorder diagnostics;
    EXPECT_TRUE(db->close());
    EXPECT_NE(diagnostics.text().find("Closing leaked statement"), std::string::npos);
    EXPECT_FALSE(db->sqliteHandle());
    EXPECT_FALSE(held->statement()) << "the statement went with its handle";
    held->close();
    held.reset();
    EXPECT_TRUE(db->open()) << "a closed connection opens again";
}
