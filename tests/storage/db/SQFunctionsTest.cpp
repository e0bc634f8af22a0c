#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"
#include "support/TestSupport.h"

using namespace quarra;

TEST(SQFunctionsTest, BlocksAnswerSQLCallsWithEveryResultKind) {
    auto db = SQDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    ASSERT_EQ(db->makeFunctionNamed(
                  "describe", 1,
                  [](sqlite3_context* context, int, sqlite3_value** argv) {
                      switch (SQDatabase::valueType(argv[0])) {
                          case SQLITE_INTEGER:
                              SQDatabase::resultLong(SQDatabase::valueLong(argv[0]) * 2, context);
                              break;
                          case SQLITE_FLOAT:
                              SQDatabase::resultDouble(SQDatabase::valueDouble(argv[0]) / 2,
                                                       context);
                              break;
                          case SQLITE_TEXT:
                              SQDatabase::resultString(
                                  "<" + *SQDatabase::valueString(argv[0]) + ">", context);
                              break;
                          case SQLITE_BLOB: {
                              Bytes bytes = *SQDatabase::valueData(argv[0]);
                              bytes.push_back(0xff);
                              SQDatabase::resultData(bytes, context);
                              break;
                          }
                          default:
                              SQDatabase::resultNullInContext(context);
                      }
                  }),
              nullptr);
    ASSERT_EQ(db->makeFunctionNamed("fail", -1,
                                    [](sqlite3_context* context, int argc, sqlite3_value**) {
                                        if (argc == 0) {
                                            SQDatabase::resultError("no arguments", context);
                                        } else {
                                            SQDatabase::resultErrorCode(SQLITE_CONSTRAINT, context);
                                        }
                                    }),
              nullptr);
    ASSERT_EQ(db->makeFunctionNamed("empty", 0,
                                    [](sqlite3_context* context, int, sqlite3_value**) {
                                        SQDatabase::resultData(Bytes{}, context);
                                    }),
              nullptr);

    EXPECT_EQ(db->intForQuery("select describe(21)"), 42);
    EXPECT_DOUBLE_EQ(db->doubleForQuery("select describe(3.0)"), 1.5);
    EXPECT_EQ(db->stringForQuery("select describe('x')"), "<x>");
    EXPECT_EQ(db->dataForQuery("select describe(x'01')"), (Bytes{1, 0xff}));
    EXPECT_EQ(db->stringForQuery("select typeof(describe(null))"), "null");
    EXPECT_EQ(db->stringForQuery("select typeof(empty())"), "blob")
        << "an empty result is not NULL";

    ErrorPtr error = db->executeUpdateValues("select fail()", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "no arguments");
    error = db->executeUpdateValues("select fail(1)", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_CONSTRAINT);
}

TEST(SQFunctionsTest, NullArgumentsReadAsAbsentValues) {
    auto db = SQDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    std::optional<std::string> text = "unset";
    std::optional<Bytes> data = Bytes{9};
    ASSERT_EQ(db->makeFunctionNamed("probe", 2,
                                    [&](sqlite3_context* context, int, sqlite3_value** argv) {
                                        text = SQDatabase::valueString(argv[0]);
                                        data = SQDatabase::valueData(argv[1]);
                                        SQDatabase::resultInt(SQDatabase::valueInt(argv[0]),
                                                              context);
                                    }),
              nullptr);
    EXPECT_EQ(db->intForQuery("select probe(null, null)"), 0);
    EXPECT_FALSE(text);
    EXPECT_FALSE(data);
    EXPECT_EQ(db->intForQuery("select probe('12', x'')"), 12);
    EXPECT_EQ(text, "12");
    EXPECT_FALSE(data) << "the engine hands out no pointer for an empty blob";
}

TEST(SQFunctionsTest, SQLFromInsideABlockOnItsOwnConnectionIsRefused) {
    auto db = SQDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    ASSERT_TRUE(db->executeUpdate("create table calls (a)"));
    bool nestedOk = true;
    ErrorPtr rowIdError;
    ASSERT_EQ(db->makeFunctionNamed("sneaky", 0,
                                    [&](sqlite3_context* context, int, sqlite3_value**) {
                                        nestedOk = db->executeUpdate("insert into t values (1)");
                                        rowIdError = db->lastInsertRowId().error();
                                        SQDatabase::resultInt(1, context);
                                    }),
              nullptr);
    test::DiagnosticsRecorder diagnostics;
    EXPECT_TRUE(db->executeUpdate("insert into calls values (sneaky())"));
    std::string log = diagnostics.text();
    EXPECT_FALSE(nestedOk);
    EXPECT_TRUE(rowIdError) << "no row id is made up while the handle is busy";
    EXPECT_NE(log.find("is currently in use."), std::string::npos);
    EXPECT_EQ(db->intForQuery("select count(*) from t"), 0) << "nothing was executed";
}

TEST(SQFunctionsTest, ARegistrationBelongsToTheHandle) {
    auto db = SQDatabase::databaseWithPath();
    ASSERT_TRUE(db->open());
    ASSERT_EQ(db->makeFunctionNamed(
                  "one", 0,
                  [](sqlite3_context* c, int, sqlite3_value**) { SQDatabase::resultInt(1, c); }),
              nullptr);
    EXPECT_EQ(db->intForQuery("select one()"), 1);
    db->close();
    ASSERT_TRUE(db->open());
    EXPECT_FALSE(db->executeQuery("select one()"));
    EXPECT_EQ(db->lastErrorMessage(), "no such function: one");
}
