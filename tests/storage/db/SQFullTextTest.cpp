// Full-text search on this engine: FTS3/FTS4 are built in, but registering a tokenizer from SQL is
// switched off unless a connection allows it.
#include <gtest/gtest.h>
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"
#include "storage/db/SQSimpleTokenizer.h"
#include "storage/db/SQStopWordTokenizer.h"
#include "support/TestSupport.h"

using namespace quarra;

namespace {

std::vector<std::string> tokens(SQTokenizerDelegate& tokenizer, std::string_view text) {
    SQTokenizerCursor cursor;
    cursor.input = text;
    tokenizer.openTokenizerCursor(cursor);
    std::vector<std::string> out;
    while (!tokenizer.nextTokenForCursor(cursor))
        out.push_back(cursor.token);
    tokenizer.closeTokenizerCursor(cursor);
    return out;
}

struct Match {
    int column, term;
    size_t location, length;
    bool operator==(const Match&) const = default;
};

std::vector<Match> matches(const SQTextOffsets& offsets) {
    std::vector<Match> out;
    offsets.enumerateWithBlock([&](int column, int term, SQTextOffsets::Range range) {
        out.push_back({column, term, range.location, range.length});
    });
    return out;
}

class SQFullTextTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db->open()); }
    std::shared_ptr<SQDatabase> db = SQDatabase::databaseWithPath();
};

}  // namespace

TEST_F(SQFullTextTest, TheEngineRefusesModuleAddressesUnlessTheConnectionInstallsOne) {
    // The engine's own tokenizers work as they are.
    ASSERT_TRUE(db->executeUpdate("create virtual table plain using fts4(body)"));
    ASSERT_TRUE(db->executeUpdate("insert into plain values ('full text here')"));
    EXPECT_EQ(db->intForQuery("select count(*) from plain where plain match 'text'"), 1);

    const void* anything = nullptr;
    Bytes address(sizeof anything);
    auto registerFromSQL = [&] {
        auto rs = db->executeQuery("select fts3_tokenizer('x', ?)", address);
        auto step = rs->nextWithError();
        EXPECT_FALSE(step == true);
        return step ? std::string("no error") : step.error()->localizedDescription();
    };
    EXPECT_EQ(registerFromSQL(), "fts3tokenize disabled");

    auto tokenizer = std::make_shared<SQSimpleTokenizer>("en_US");
    SQDatabase::registerTokenizer(tokenizer, "words");
    ASSERT_TRUE(db->installTokenizerModule());
    EXPECT_EQ(registerFromSQL(), "fts3tokenize disabled")
        << "the switch is off again after installing";
    EXPECT_TRUE(
        db->executeUpdate("create virtual table docs using fts4(body, tokenize=sqdb words)"));
}

TEST_F(SQFullTextTest, TheSimpleTokenizerFindsLowerCasedWordsAtTheirByteOffsets) {
    auto tokenizer = std::make_shared<SQSimpleTokenizer>("en_US");
    SQDatabase::registerTokenizer(tokenizer, "words");
    ASSERT_TRUE(db->installTokenizerModuleWithName("mine"));
    ASSERT_TRUE(db->executeUpdate(
        "create virtual table docs using fts4(title, body, tokenize=mine words)"));
    // "Ünïcode" takes 9 bytes for 7 characters, so "ÉCOLE" starts at byte 10.
    ASSERT_TRUE(
        db->executeUpdate("insert into docs values (?, ?)", "Ünïcode ÉCOLE", "Hello, world!"));
    auto rs = db->executeQuery("select offsets(docs) from docs where docs match ?", "école");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(matches(rs->offsetsForColumnIndex(0)), (std::vector<Match>{{0, 0, 10, 6}}));
    rs->close();
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match 'WORLD'"), 1);
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match 'hello world'"), 1);
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match ','"), 0);

    EXPECT_EQ(tokens(*tokenizer, "Don't STOP, 3.5 times"),
              (std::vector<std::string>{"don't", "stop", "3.5", "times"}));
    EXPECT_TRUE(tokens(*tokenizer, "").empty());
    EXPECT_TRUE(tokens(*tokenizer, " ,; ").empty());
    // Lower-casing follows the locale: a Turkish capital I is a dotless i.
    SQSimpleTokenizer turkish("tr");
    EXPECT_EQ(tokens(turkish, "ILIK"), (std::vector<std::string>{"ılık"}));
}

TEST_F(SQFullTextTest, LongTokensAreCutYetTheirOffsetsCoverTheWord) {
    auto tokenizer = std::make_shared<SQSimpleTokenizer>("en_US");
    SQDatabase::registerTokenizer(tokenizer, "words");
    ASSERT_TRUE(db->installTokenizerModule());
    ASSERT_TRUE(
        db->executeUpdate("create virtual table docs using fts4(body, tokenize=sqdb words)"));
    std::string word(200, 'a');
    ASSERT_TRUE(db->executeUpdate("insert into docs values (?)", "x " + word));
    auto rs = db->executeQuery("select offsets(docs) from docs where docs match ?",
                               std::string(128, 'a'));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(matches(rs->offsetsForColumnIndex(0)), (std::vector<Match>{{0, 0, 2, 200}}));
    rs->close();
}

TEST_F(SQFullTextTest, AnUnregisteredKeyCannotMakeATable) {
    ASSERT_TRUE(db->installTokenizerModule());
    ErrorPtr error = db->executeUpdateValues(
        "create virtual table docs using fts4(body, tokenize=sqdb nobody)", SQArguments{});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), SQLITE_ERROR);
    // The registry holds tokenizers weakly.
    SQDatabase::registerTokenizer(std::make_shared<SQSimpleTokenizer>(), "gone");
    EXPECT_FALSE(
        db->executeUpdate("create virtual table docs using fts4(body, tokenize=sqdb gone)"));
}

TEST_F(SQFullTextTest, StopWordsAreDroppedExceptInPrefixSearches) {
    test::TempDir dir;
    test::writeFile(dir / "stop.txt", "the\na\r\nof");
    auto base = std::make_shared<SQSimpleTokenizer>("en_US");
    auto read = SQStopWordTokenizer::tokenizerWithFileURL((dir / "stop.txt").string(), base);
    ASSERT_TRUE(read) << read.error()->description();
    auto stop = *read;
    EXPECT_EQ(stop->words(), (std::set<std::string>{"the", "a\r", "of"}));
    EXPECT_EQ(tokens(*stop, "The Art of a War"), (std::vector<std::string>{"art", "a", "war"}))
        << "\"a\\r\" never matches";
    EXPECT_EQ(tokens(*stop, "the*"), (std::vector<std::string>{"the"}));

    SQDatabase::registerTokenizer(stop, "stop");
    ASSERT_TRUE(db->installTokenizerModule());
    ASSERT_TRUE(
        db->executeUpdate("create virtual table docs using fts4(body, tokenize=sqdb stop)"));
    ASSERT_TRUE(db->executeUpdate("insert into docs values ('The Art of War')"));
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match 'art'"), 1);
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match 'theory*'"), 0);
    EXPECT_EQ(db->intForQuery("select count(*) from docs where docs match 'the*'"), 0)
        << "the stop word was never indexed";

    ErrorPtr error =
        SQStopWordTokenizer::tokenizerWithFileURL((dir / "none.txt").string(), base).error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ENOENT);
}

TEST_F(SQFullTextTest, MaintenanceCommandsRunOnTheTable) {
    ASSERT_TRUE(db->executeUpdate("create virtual table \"my docs\" using fts4(body)"));
    ASSERT_TRUE(db->executeUpdate("insert into \"my docs\" values ('one two')"));
    EXPECT_TRUE(db->issueCommand(kFTSCommandOptimize, "my docs"));
    EXPECT_TRUE(db->issueCommand(kFTSCommandRebuild, "my docs"));
    EXPECT_TRUE(db->issueCommand(kFTSCommandIntegrityCheck, "my docs"));
    EXPECT_TRUE(db->issueCommand("merge=4,2", "my docs"));
    EXPECT_FALSE(db->issueCommand("nonsense", "my docs"));
    EXPECT_FALSE(
        db->issueCommand(kFTSCommandOptimize, "x\"(x) values ('optimize'); drop table t; --"));
}

TEST(SQTextOffsetsTest, ReadsGroupsOfFourNumbersUntilOneIsIncomplete) {
    EXPECT_EQ(matches(SQTextOffsets("0 0 6 5 1 0 12 5")),
              (std::vector<Match>{{0, 0, 6, 5}, {1, 0, 12, 5}}));
    EXPECT_EQ(matches(SQTextOffsets("2 1 3 4 5 6")), (std::vector<Match>{{2, 1, 3, 4}}));
    EXPECT_TRUE(matches(SQTextOffsets("")).empty());
}
