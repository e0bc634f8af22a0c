#include "storage/db/SQResultSet.h"

#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

class SQResultSetTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(db->open());
        ASSERT_TRUE(
            db->executeUpdate("create table T (Id integer, Name text, Score real, Data blob, "
                              "Nothing)"));
        ASSERT_TRUE(db->executeUpdate("insert into T values (?, ?, ?, ?, ?)", 7, "seven", 7.5,
                                      Bytes{1, 2, 3}, nullptr));
        ASSERT_TRUE(
            db->executeUpdate("insert into T values (?, ?, ?, ?, ?)", 8, "", 0, Bytes{}, nullptr));
    }

    std::shared_ptr<SQDatabase> db = SQDatabase::databaseWithPath();
};

}  // namespace

TEST_F(SQResultSetTest, ReadsColumnsByIndexAndCaseInsensitiveName) {
    auto rs = db->executeQuery("select * from T order by id");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->resultDictionary()) << "no row before the first next";
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->columnCount(), 5);
    EXPECT_EQ(rs->columnIndexForName("NAME"), 1);
    EXPECT_EQ(rs->columnNameForIndex(1), "Name") << "names as the engine reports them";
    EXPECT_FALSE(rs->columnNameForIndex(5));
    EXPECT_EQ(rs->intForColumn("id"), 7);
    EXPECT_EQ(rs->longForColumn("ID"), 7);
    EXPECT_EQ(rs->stringForColumn("name"), "seven");
    EXPECT_EQ(rs->stringForColumnIndex(0), "7");
    EXPECT_DOUBLE_EQ(rs->doubleForColumn("score"), 7.5);
    EXPECT_EQ(rs->dataForColumn("data"), (Bytes{1, 2, 3}));
    EXPECT_TRUE(rs->columnIsNull("nothing"));
    EXPECT_FALSE(rs->stringForColumn("nothing"));
    EXPECT_EQ(rs->objectForColumn("nothing"), SQValue(SQNull{}));
    EXPECT_EQ((*rs)["Id"], SQValue(7));
    EXPECT_EQ((*rs)[2], SQValue(7.5));
    EXPECT_FALSE(rs->objectForColumnIndex(9)) << "an index outside the row is absent, not NULL";

    test::DiagnosticsRecorder diagnostics;
    EXPECT_EQ(rs->columnIndexForName("Missing"), -1);
    EXPECT_FALSE(rs->stringForColumn("missing"));
    EXPECT_EQ(rs->intForColumn("missing"), 0);
    EXPECT_NE(diagnostics.text().find("I could not find the column named 'missing'"),
              std::string::npos);

    auto row = rs->resultDictionary();
    ASSERT_TRUE(row);
    EXPECT_EQ(row->at("Name"), SQValue("seven"));
    EXPECT_EQ(row->at("Data"), SQValue(Bytes{1, 2, 3}));
    EXPECT_EQ(rs->resultDict()->at("name"), SQValue("seven"));
}

TEST_F(SQResultSetTest, EmptyBlobAndEmptyTextAreNotNull) {
    auto rs = db->executeQuery("select data, name, typeof(data) from T where id = 8");
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(2), "blob");
    EXPECT_FALSE(rs->columnIndexIsNull(0));
    EXPECT_FALSE(rs->dataForColumnIndex(0)) << "the engine hands out no bytes for an empty blob";
    auto view = rs->dataNoCopyForColumnIndex(0);
    ASSERT_TRUE(view);
    EXPECT_TRUE(view->empty());
    EXPECT_EQ(rs->objectForColumnIndex(0), SQValue(SQNull{}));
    EXPECT_EQ(rs->stringForColumnIndex(1), "");
    EXPECT_EQ(rs->objectForColumnIndex(1), SQValue(""));
}

TEST_F(SQResultSetTest, UnsignedValuesKeepTheirBits) {
    const std::uint64_t big = 0xFFFFFFFFFFFFFFF0ull;
    ASSERT_TRUE(db->executeUpdate("insert into T (id) values (?)", big));
    auto rs = db->executeQuery("select id from T where id < 0");
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->longForColumnIndex(0), -16);
    EXPECT_EQ(rs->unsignedLongLongIntForColumnIndex(0), big);
}

TEST_F(SQResultSetTest, DuplicateColumnNamesKeepTheLaterValue) {
    auto rs = db->executeQuery("select 1 as a, 2 as A, 3 as a");
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->columnIndexForName("a"), 2);
    auto row = rs->resultDictionary();
    EXPECT_EQ(row->size(), 2u);
    EXPECT_EQ(row->at("a"), SQValue(3));
    EXPECT_EQ(row->at("A"), SQValue(2));
}

TEST_F(SQResultSetTest, TheEndOfTheRowsClosesTheCursor) {
    auto rs = db->executeQuery("select id from T where id = 7");
    EXPECT_TRUE(db->hasOpenResultSets());
    ASSERT_TRUE(rs->next());
    EXPECT_TRUE(rs->hasAnotherRow());
    EXPECT_FALSE(rs->next());
    EXPECT_FALSE(db->hasOpenResultSets());
    EXPECT_FALSE(rs->parentDB());
    ErrorPtr error = rs->nextWithError().error();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(SQDatabaseErrorDomain, SQLITE_MISUSE));
    EXPECT_EQ(error->localizedDescription(), "parentDB does not exist");
    EXPECT_EQ(rs->intForColumnIndex(0), 0);
    EXPECT_FALSE(rs->stringForColumnIndex(0));
    rs->close();
}

TEST_F(SQResultSetTest, ClosingTheConnectionClosesItsCursors) {
    auto rs = db->executeQuery("select id from T");
    ASSERT_TRUE(rs->next());
    db->close();
    EXPECT_FALSE(rs->parentDB());
    EXPECT_FALSE(rs->statement());
    EXPECT_FALSE(rs->next());
}

TEST_F(SQResultSetTest, ACursorKeepsItsConnectionAlive) {
    auto rs = db->executeQuery("select name from T order by id");
    std::weak_ptr<SQDatabase> weak = db;
    db.reset();
    ASSERT_FALSE(weak.expired());
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(0), "seven");
    rs.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(SQResultSetTest, BoundTextOutlivesTheCallThatBoundIt) {
    std::shared_ptr<SQResultSet> rs;
    {
        std::string name = "seven";
        rs = db->executeQuery("select id from T where name = ?", name);
        name = "clobbered";
    }
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 7);
    rs->close();
}

TEST_F(SQResultSetTest, KvcMagicSetsEveryNonNullColumn) {
    auto rs = db->executeQuery("select id, name, nothing from T where id = 7");
    ASSERT_TRUE(rs->next());
    std::map<std::string, std::string> target;
    rs->kvcMagic(
        [&](const std::string& column, const std::string& text) { target[column] = text; });
    EXPECT_EQ(target, (std::map<std::string, std::string>{{"Id", "7"}, {"Name", "seven"}}));
}
