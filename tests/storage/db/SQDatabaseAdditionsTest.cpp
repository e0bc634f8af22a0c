#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

class SQDatabaseAdditionsTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(db->open());
        ASSERT_TRUE(db->executeStatements(
            "create table MixedCase (Id integer, Title text, Born real, Photo blob);"
            "insert into MixedCase values (1, 'one', 1.5, x'0102');"
            "insert into MixedCase values (2, null, null, null);"
            "create index ByTitle on MixedCase (Title);"));
    }

    std::shared_ptr<SQDatabase> db = SQDatabase::databaseWithPath();
};

}  // namespace

TEST_F(SQDatabaseAdditionsTest, SingleValueQueriesReadTheFirstRowOrGiveTheEmptyValue) {
    EXPECT_EQ(db->intForQuery("select id from MixedCase order by id desc"), 2);
    EXPECT_EQ(db->longForQuery("select id from MixedCase where title = ?", "one"), 1);
    EXPECT_TRUE(db->boolForQuery("select count(*) from MixedCase"));
    EXPECT_DOUBLE_EQ(db->doubleForQuery("select born from MixedCase where id = 1"), 1.5);
    EXPECT_EQ(db->stringForQuery("select title from MixedCase where id = ?", 1), "one");
    EXPECT_EQ(db->dataForQuery("select photo from MixedCase where id = 1"), (Bytes{1, 2}));
    EXPECT_EQ(db->dateForQuery("select born from MixedCase where id = 1"),
              SQDate(std::chrono::duration<double>(1.5)));
    // No row, a NULL value and a failed query all give the empty value.
    EXPECT_EQ(db->intForQuery("select id from MixedCase where id = 99"), 0);
    EXPECT_EQ(db->intForQuery("select born from MixedCase where id = 2"), 0);
    EXPECT_FALSE(db->stringForQuery("select title from MixedCase where id = 2"));
    EXPECT_FALSE(db->dataForQuery("select photo from MixedCase where id = 2"));
    EXPECT_FALSE(db->stringForQuery("select nonsense from nowhere"));
    EXPECT_FALSE(db->hasOpenResultSets()) << "every helper closes its cursor";
}

TEST_F(SQDatabaseAdditionsTest, SchemaQuestionsIgnoreCase) {
    EXPECT_TRUE(db->tableExists("mixedcase"));
    EXPECT_TRUE(db->tableExists("MIXEDCASE"));
    EXPECT_FALSE(db->tableExists("bytitle")) << "an index is not a table";
    struct ColumnCase {
        const char* column;
        const char* table;
        bool exists;
    } columnCases[] = {
        {"TITLE", "mixedCASE", true},
        {"missing", "MixedCase", false},
        {"title", "nowhere", false},
        {"MixedCase", "title", false},  // the names swapped name no column
    };
    for (const auto& c : columnCases) {
        EXPECT_EQ(db->columnExists(c.column, c.table), c.exists) << c.column << " in " << c.table;
        EXPECT_EQ(db->columnExistsColumnName(c.table, c.column), c.exists)
            << "older form: " << c.column << " in " << c.table;
    }

    auto schema = db->getSchema();
    std::vector<std::string> names;
    while (schema->next())
        names.push_back(*schema->stringForColumn("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"MixedCase", "ByTitle"}));

    auto columns = db->getTableSchema("MixedCase");
    names.clear();
    while (columns->next())
        names.push_back(*columns->stringForColumn("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"Id", "Title", "Born", "Photo"}));
}

TEST_F(SQDatabaseAdditionsTest, TableNamesAreQuotedIntoTheSchemaPragma) {
    ASSERT_TRUE(db->executeUpdate("create table \"it's\" (\"a'b\" text)"));
    EXPECT_TRUE(db->tableExists("IT'S"));
    EXPECT_TRUE(db->columnExists("A'B", "it's"));
    // A name built to break out of the literal is only ever a (missing) table name.
    auto rs = db->getTableSchema("x'); drop table MixedCase; --");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(db->tableExists("MixedCase"));
}

TEST_F(SQDatabaseAdditionsTest, HeaderNumbers) {
    EXPECT_EQ(db->applicationID(), 0u);
    db->setApplicationID(0x51554152);
    EXPECT_EQ(db->applicationID(), 0x51554152u);
    db->setUserVersion(0xFFFFFFFF);
    EXPECT_EQ(db->userVersion(), 0xFFFFFFFFu)
        << "stored as a signed 32-bit value and read back unsigned";
    db->setUserVersion(7);
    EXPECT_EQ(db->userVersion(), 7u);
}

TEST_F(SQDatabaseAdditionsTest, ValidateSQLCompilesWithoutRunning) {
    EXPECT_EQ(db->validateSQL("delete from MixedCase"), nullptr);
    EXPECT_EQ(db->intForQuery("select count(*) from MixedCase"), 2);
    ErrorPtr error = db->validateSQL("delete from Nowhere");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), SQLITE_ERROR);
    EXPECT_EQ(error->localizedDescription(), "no such table: Nowhere");
}

TEST_F(SQDatabaseAdditionsTest, InMemoryDatabasesCopyToAndFromFiles) {
    test::TempDir dir;
    auto file = (dir / "copy.db").string();
    ASSERT_TRUE(db->writeToFile(file));

    auto copy = SQDatabase::databaseWithPath();
    ASSERT_TRUE(copy->open());
    ASSERT_TRUE(copy->readFromFile(file));
    EXPECT_EQ(copy->stringForQuery("select group_concat(id) from MixedCase"), "1,2");
    EXPECT_EQ(copy->dataForQuery("select photo from MixedCase where id = 1"), (Bytes{1, 2}));
    EXPECT_EQ(test::readFile(file).substr(0, 15), "SQLite format 3") << "the file side is plain";

    test::DiagnosticsRecorder diagnostics;
    auto onDisk = SQDatabase::databaseWithPath(file);
    ASSERT_TRUE(onDisk->open());
    EXPECT_FALSE(onDisk->readFromFile(file));
    EXPECT_FALSE(SQDatabase::databaseWithPath()->writeToFile(file)) << "never opened";
    std::string log = diagnostics.text();
    EXPECT_NE(log.find("Database is not an in-memory representation."), std::string::npos);
    EXPECT_NE(log.find("Invalid database connection."), std::string::npos);
    EXPECT_FALSE(copy->readFromFile((dir / "none" / "x.db").string()));
}
