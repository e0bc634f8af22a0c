// The cache table layer on a real database connection: the SQL text it writes and what running it
// does to the rows.
#include "storage/cache/TVKCacheTable.h"

#include <gtest/gtest.h>

#include "quarra/TVKErrors.h"

namespace quarra {
namespace {

using Columns = std::vector<TVKCacheTableColumnPtr>;

TVKCacheTableColumnPtr column(const char* name, const char* type,
                              std::vector<std::string> constraints = {}) {
    return std::make_shared<TVKCacheTableColumn>(name, type, std::move(constraints));
}

// The JSON cache's layout: id key, a text field and the record.
Columns jsonColumns() {
    return {column("id", "INTEGER", {"PRIMARY KEY", "NOT NULL"}), column("title", "TEXT"),
            column("__json", "TEXT")};
}

class CacheTable : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db->open()); }

    std::int64_t count(const std::string& table) {
        return db->longForQuery("SELECT COUNT(*) FROM '" + table + "'");
    }

    std::shared_ptr<SQDatabase> db = SQDatabase::databaseWithPath();
};

bool isCacheError(const ErrorPtr& error) {
    return error && error->is(TVKCacheErrorDomain, -1);
}

TEST(CacheTableText, StatementsAndClausesReadAsDocumented) {
    TVKCacheTable table("J", jsonColumns());
    EXPECT_EQ(table.createTableSql(),
              "CREATE TABLE IF NOT EXISTS `J` (`id` INTEGER NOT NULL, `title` TEXT, `__json` "
              "TEXT, PRIMARY KEY (`id`))");
    TVKCacheTable keyless("K", {column("title", "TEXT"), column("__json", "TEXT")});
    EXPECT_EQ(keyless.createTableSql(),
              "CREATE TABLE IF NOT EXISTS `K` (`title` TEXT, `__json` TEXT) ");
    EXPECT_EQ(table.insertOrReplaceSql({{"id", 1}, {"title", "x"}}),
              "INSERT OR REPLACE INTO `J` (`id`, `title`) VALUES (?, ?)");
    EXPECT_EQ(TVKCacheTable::columnValuesClauseForInsertRow(3), "(?, ?, ?)");
    EXPECT_EQ(TVKCacheTable::columnsClauseForUpdate({"a", "b`c"}), "`a`=?, `b``c`=?");
    EXPECT_FALSE(TVKCacheTable::columnsClauseForUpdate({}));
    EXPECT_EQ(table.existsSql(), "SELECT name FROM sqlite_master WHERE type='table' AND name=?");
    EXPECT_EQ(table.dropTableSql(), "DROP TABLE IF EXISTS `J`");
    EXPECT_EQ(table.primaryKeys().size(), 1u);
    EXPECT_TRUE(table.isEqualToCacheTable(*table.copy()));
}

TEST(CacheTableText, RendersLiterals) {
    struct Case {
        SQValue value;
        std::optional<std::string> literal;
    };
    const Case cases[] = {
        {SQNull{}, "NULL"},
        {42, "42"},
        {true, "1"},
        {"it's", "'it's'"},
        {SQDate{}, "0.000000"},
        {Bytes{1, 2}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TVKCacheTableColumn::sqlForValue(c.value), c.literal);
    }
    EXPECT_EQ(TVKCacheTableColumn::sqlForValues({1, "a"}), "1, 'a'");
    EXPECT_FALSE(TVKCacheTableColumn::sqlForValues({}));
}

TEST_F(CacheTable, InsertReplacesWholeRowsAndRefusesRowsWithoutKey) {
    TVKCacheTable table("J", jsonColumns());
    ASSERT_FALSE(table.createTableWithDatabase(*db));
    ASSERT_FALSE(table.createTableWithDatabase(*db));
    ASSERT_FALSE(table.insertOrUpdateRecordWithValues({{"id", 1}, {"title", "a"}}, *db));
    ASSERT_FALSE(table.insertOrUpdateRecordWithValues({{"id", 1}, {"__json", "j"}}, *db));
    auto found = table.recordWithPrimaryKeyValues({{"id", 1}}, *db);
    ASSERT_TRUE(found && *found);
    auto row = **found;
    EXPECT_TRUE(row["title"].isNull());
    EXPECT_EQ(row["__json"], SQValue("j"));
    for (const SQDictionary& keyless :
         {SQDictionary{{"title", "x"}}, SQDictionary{{"id", SQNull{}}, {"title", "x"}}}) {
        ErrorPtr refused = table.insertOrUpdateRecordWithValues(keyless, *db);
        ASSERT_TRUE(isCacheError(refused));
        EXPECT_EQ(refused->localizedDescription(), "Cache entry doesn't contain required field");
        EXPECT_FALSE(refused->underlyingError());
    }
    EXPECT_EQ(count("J"), 1);
    EXPECT_EQ(table.recordWithPrimaryKeyValues({{"id", 2}}, *db), std::nullopt);
}

TEST_F(CacheTable, DeletesBindKeysSoQuotesAreJustText) {
    TVKCacheTable table("R", {column("name", "TEXT", {"PRIMARY KEY", "NOT NULL"}),
                              column("version", "INTEGER", {"PRIMARY KEY"})});
    ASSERT_FALSE(table.createTableWithDatabase(*db));
    for (const char* name : {"o'brien", "plain", "x') OR 1=1 --"}) {
        for (int version : {1, 2}) {
            ASSERT_FALSE(
                table.insertOrUpdateRecordWithValues({{"name", name}, {"version", version}}, *db));
        }
    }
    const std::vector<SQArguments> keys{SQArguments{"o'brien", 1}, SQArguments{"x') OR 1=1 --", 2}};
    ErrorPtr deleteError = table.deleteRecordsWithCompositePrimaryKeysIn(keys, *db);
    ASSERT_FALSE(deleteError) << deleteError->description();
    EXPECT_EQ(count("R"), 4);
    ASSERT_FALSE(table.deleteRecordsWithPrimaryKeysIn({"x') OR 1=1 --"}, *db));
    EXPECT_EQ(count("R"), 3);
    ASSERT_FALSE(table.deleteRecordsWithPrimaryKeysIn({}, *db));
    ASSERT_FALSE(table.deleteRecordWithPrimaryKeyEqualTo("o'brien", *db));
    EXPECT_EQ(count("R"), 2);
    ASSERT_FALSE(table.deleteRecordWithPrimaryKeyEqualTo(SQNull{}, *db));
    EXPECT_EQ(count("R"), 2);
}

// Far more keys than one statement may bind: every one goes, the others stay.
TEST_F(CacheTable, BulkDeletesPassTheEnginesBoundValueLimit) {
    struct Case {
        std::size_t keyColumns;
        int removed;
    };
    for (const Case c : {Case{1, 1000}, Case{1, 5000}, Case{4, 1000}, Case{5, 5000}}) {
        Columns columns;
        for (std::size_t k = 0; k < c.keyColumns; ++k) {
            columns.push_back(
                column(("k" + std::to_string(k)).c_str(), "INTEGER", {"PRIMARY KEY", "NOT NULL"}));
        }
        const std::string name =
            "B" + std::to_string(c.keyColumns) + "_" + std::to_string(c.removed);
        TVKCacheTable table(name, columns);
        ASSERT_FALSE(table.createTableWithDatabase(*db));
        ASSERT_TRUE(db->beginTransaction());
        std::vector<SQArguments> tuples;
        SQArguments firstKeys;
        for (int row = 0; row < c.removed + 10; ++row) {
            const SQValue key(row);
            const SQArguments tuple(c.keyColumns, key);
            SQDictionary values;
            for (std::size_t k = 0; k < c.keyColumns; ++k) {
                values.emplace("k" + std::to_string(k), key);
            }
            ASSERT_FALSE(table.insertOrUpdateRecordWithValues(values, *db));
            if (row < c.removed) {
                tuples.push_back(tuple);
                firstKeys.push_back(key);
            }
        }
        ErrorPtr error = c.keyColumns == 1
                             ? table.deleteRecordsWithPrimaryKeysIn(firstKeys, *db)
                             : table.deleteRecordsWithCompositePrimaryKeysIn(tuples, *db);
        ASSERT_FALSE(error) << error->description();
        ASSERT_TRUE(db->commit());
        EXPECT_EQ(count(name), 10) << name;
        EXPECT_EQ(db->longForQuery("SELECT MIN(k0) FROM " + name), c.removed) << name;
    }
}

TEST_F(CacheTable, AddsColumnsOnlyWhenNewAndUndoesFailures) {
    TVKCacheTable table("J", jsonColumns());
    // Before the table exists, adding creates it with every column.
    ASSERT_FALSE(table.addColumn(column("extra", "TEXT"), *db));
    EXPECT_EQ(table.columnNamesInDatabase(*db),
              (std::vector<std::string>{"id", "title", "__json", "extra"}));
    // Known to the descriptor: nothing runs.
    ASSERT_FALSE(table.addColumn(column("extra", "INTEGER"), *db));
    ASSERT_FALSE(table.addColumn(column("more", "INTEGER"), *db));
    auto names = table.columnNamesInDatabase(*db);
    ASSERT_TRUE(names && *names);
    EXPECT_EQ((*names)->size(), 5u);
    // In the database but not in the descriptor: the engine refuses, the descriptor stays.
    TVKCacheTable stale("J", jsonColumns());
    ErrorPtr refused = stale.addColumn(column("more", "INTEGER"), *db);
    ASSERT_TRUE(isCacheError(refused));
    ASSERT_TRUE(refused->underlyingError());
    EXPECT_EQ(refused->underlyingError()->domain(), SQDatabaseErrorDomain);
    EXPECT_EQ(stale.orderedColumns().size(), 3u);
}

TEST_F(CacheTable, RebuildKeepsKeptColumnsAndFailsWholeOnNotNullColumns) {
    TVKCacheTable table("J", jsonColumns());
    ASSERT_FALSE(table.createTableWithDatabase(*db));
    ASSERT_FALSE(
        table.insertOrUpdateRecordWithValues({{"id", 1}, {"title", "a"}, {"__json", "{}"}}, *db));
    ASSERT_FALSE(table.insertOrUpdateRecordWithValues({{"id", 2}, {"title", "b"}}, *db));

    ASSERT_TRUE(db->beginTransaction());
    ErrorPtr refused = table.alterTableWithColumns(
        {column("id", "INTEGER", {"PRIMARY KEY", "NOT NULL"}), column("must", "TEXT", {"NOT NULL"}),
         column("__json", "TEXT")},
        *db);
    EXPECT_TRUE(isCacheError(refused));
    EXPECT_EQ(table.name(), "J");
    EXPECT_EQ(table.orderedColumns().size(), 3u);
    ASSERT_TRUE(db->rollback());

    Columns rebuilt{column("id", "INTEGER", {"PRIMARY KEY", "NOT NULL"}), column("size", "INTEGER"),
                    column("__json", "TEXT")};
    ASSERT_FALSE(table.alterTableWithColumns(rebuilt, *db));
    EXPECT_EQ(table.orderedColumns(), rebuilt);
    EXPECT_EQ(table.columnNamesInDatabase(*db), (std::vector<std::string>{"id", "size", "__json"}));
    auto found = table.recordWithPrimaryKeyValues({{"id", 1}}, *db);
    ASSERT_TRUE(found && *found);
    auto row = **found;
    EXPECT_EQ(row["__json"], SQValue("{}"));
    EXPECT_TRUE(row["size"].isNull());
    EXPECT_FALSE(row.contains("title"));
    EXPECT_FALSE(db->tableExists("J_temp"));

    TVKCacheTable empty("E", jsonColumns());
    ASSERT_FALSE(empty.createTableWithDatabase(*db));
    ASSERT_FALSE(empty.alterTableWithColumns(rebuilt, *db));
    EXPECT_EQ(empty.orderedColumns(), rebuilt);
}

TEST_F(CacheTable, UpdatesTheRowsAQuerySelects) {
    TVKCacheTable table("J", jsonColumns());
    ASSERT_FALSE(table.createTableWithDatabase(*db));
    for (int id : {1, 2}) {
        ASSERT_FALSE(table.insertOrUpdateRecordWithValues({{"id", id}, {"title", "old"}}, *db));
    }
    auto one = TVKQuarraLocalQuery::createWithExpression(
        {TVKQuarraQueryCriteria::criteriaWithFieldEqualTo("id", 2)});
    ASSERT_FALSE(table.updateRecordsMatchingQuery(one.get(), {{"title", "new \"one\""}}, *db));
    ASSERT_FALSE(table.updateRecordsMatchingQuery(one.get(), {}, *db));
    EXPECT_EQ(db->stringForQuery("SELECT title FROM J WHERE id = 2"), "new \"one\"");
    EXPECT_EQ(db->stringForQuery("SELECT title FROM J WHERE id = 1"), "old");
    ASSERT_FALSE(table.updateRecordsMatchingQuery(nullptr, {{"title", "all"}}, *db));
    EXPECT_EQ(db->longForQuery("SELECT COUNT(*) FROM J WHERE title = 'all'"), 2);
}

TEST_F(CacheTable, FailedStatementsAreCacheErrorsOverTheDatabaseError) {
    TVKCacheTable missing("Missing", jsonColumns());
    auto everything = TVKQuarraLocalQuery::createWithExpression({});
    ErrorPtr error = missing.performQuery(*everything, *db).error();
    ASSERT_TRUE(isCacheError(error));
    EXPECT_EQ(error->underlyingError()->code(), 1);
    EXPECT_EQ(error->localizedDescription(), "no such table: Missing")
        << "the host is told the engine's reason";
    // A missing table is an answer, not a failure.
    EXPECT_EQ(missing.tableExistsInDatabase(*db), false);
    EXPECT_EQ(missing.columnNamesInDatabase(*db), std::nullopt);
    EXPECT_TRUE(isCacheError(missing.alterTableWithColumns(jsonColumns(), *db)));
    EXPECT_FALSE(missing.dropTableWithDatabase(*db));
}

}  // namespace
}  // namespace quarra
