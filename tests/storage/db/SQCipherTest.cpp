// Encrypted files against the stock sqlcipher shell: what one writes with a key the other reads.
#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>
#include <stdio.h>

#include "storage/db/SQDatabase.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

// Runs `script` in the shell on `path`; returns what it printed (stderr included).
std::string runShell(const std::filesystem::path& path, const std::string& script) {
    auto scriptPath = path.parent_path() / "script.sql";
    test::writeFile(scriptPath, script);
    std::string command =
        "sqlcipher -batch '" + path.string() + "' < '" + scriptPath.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "popen failed";
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace

TEST(SQCipherTest, AFileWrittenHereOpensInTheShellWithTheSameKey) {
    test::TempDir dir;
    auto path = dir / "cache.db";
    {
        auto db = SQDatabase::databaseWithPath(path.string());
        ASSERT_TRUE(db->open());
        ASSERT_TRUE(db->setKey("s3cret key"));
        ASSERT_TRUE(db->executeUpdate("create table t (a, b)"));
        ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", 1, "\xc3\xa9l\xc3\xa8ve"));
    }
    EXPECT_EQ(test::readFile(path).substr(0, 16).find("SQLite format 3"), std::string::npos)
        << "the file is encrypted";
    EXPECT_EQ(runShell(path, "PRAGMA key='s3cret key';\nselect a, b from t;\n"),
              "1|\xc3\xa9l\xc3\xa8ve\n");
    EXPECT_NE(runShell(path, "PRAGMA key='other';\nselect a from t;\n")
                  .find("file is encrypted or is not a database"),
              std::string::npos);
}

TEST(SQCipherTest, AFileMadeInTheShellOpensHere) {
    test::TempDir dir;
    auto path = dir / "shell.db";
    ASSERT_EQ(
        runShell(path,
                 "PRAGMA key='from shell';\ncreate table t (a);\ninsert into t values ('hi');\n"),
        "");
    auto db = SQDatabase::databaseWithPath(path.string());
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->setKey("from shell"));
    EXPECT_EQ(db->stringForQuery("select a from t"), "hi");
}

TEST(SQCipherTest, AWrongKeyFailsAtTheFirstReadAndCanBeRetried) {
    test::TempDir dir;
    auto path = (dir / "k.db").string();
    {
        auto db = SQDatabase::databaseWithPath(path);
        ASSERT_TRUE(db->open() && db->setKey("right"));
        ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    }
    auto db = SQDatabase::databaseWithPath(path);
    ASSERT_TRUE(db->open());
    EXPECT_TRUE(db->setKey("wrong")) << "keying alone does not read the file";
    ErrorPtr error = db->executeUpdateValues("insert into t values (1)", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_NOTADB);
    EXPECT_EQ(error->localizedDescription(), "file is encrypted or is not a database");
    EXPECT_FALSE(db->executeQuery("select * from t"));

    db->close();
    ASSERT_TRUE(db->open());
    EXPECT_FALSE(db->setKey(std::nullopt));
    ASSERT_TRUE(db->setKey("right"));
    EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));

    auto unkeyed = SQDatabase::databaseWithPath(path);
    ASSERT_TRUE(unkeyed->open());
    EXPECT_FALSE(unkeyed->tableExists("t"));
    EXPECT_EQ(unkeyed->lastErrorCode(), SQLITE_NOTADB);
}

TEST(SQCipherTest, RekeyChangesTheKey) {
    test::TempDir dir;
    auto path = dir / "r.db";
    auto db = SQDatabase::databaseWithPath(path.string());
    ASSERT_TRUE(db->open() && db->setKey("one"));
    ASSERT_TRUE(db->executeUpdate("create table t (a)"));
    ASSERT_TRUE(db->rekey("two"));
    EXPECT_FALSE(db->rekey(std::nullopt));
    db->close();
    EXPECT_EQ(runShell(path, "PRAGMA key='two';\nselect count(*) from t;\n"), "0\n");
}
