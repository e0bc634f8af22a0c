// JSON record caches in the signed-in user's encrypted cache database: storing, querying with the
// four operators, reindexing and removing.
#include "quarra/TVKQuarraJSONCache.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "CacheTestSupport.h"
#include "quarra/TVKErrors.h"
#include "storage/cache/TVKCacheTable.h"
#include "storage/db/SQDatabase.h"

namespace quarra {
namespace {

using test::Delivery;
using JSONEntries = std::vector<TVKQuarraJSONCacheEntryPtr>;
using Criteria = TVKQuarraQueryCriteria;

class JSONCache : public ::testing::Test {
  protected:
    void SetUp() override {
        test::signInCacheUser("alice", {quarra});
        cache = TVKQuarraJSONCache::openCacheWithName(
            "Docs", quarra, {TVKQuarraJSONField("title", 1), TVKQuarraJSONField("size", 0)});
        ASSERT_TRUE(cache);
    }

    Delivery<JSONEntries> store(const std::vector<Json>& records) {
        Delivery<JSONEntries> delivery;
        cache->cache(records, quarra, delivery.handler());
        delivery.wait();
        return delivery;
    }

    JSONEntries find(const TVKQuarraExpression& expression, ErrorPtr* error = nullptr) {
        Delivery<JSONEntries> delivery;
        cache->query(*TVKQuarraLocalQuery::createWithExpression(expression), delivery.handler());
        ErrorPtr result = delivery.wait();
        if (error) {
            *error = result;
        } else {
            EXPECT_FALSE(result) << result->description();
        }
        return delivery.result;
    }

    std::vector<std::int64_t> ids(const TVKQuarraExpression& expression) {
        std::vector<std::int64_t> found;
        for (const auto& entry : find(expression)) {
            found.push_back(entry->json()["id"].get<std::int64_t>());
        }
        return found;
    }

    ErrorPtr reindex(std::vector<TVKQuarraJSONField> fields) {
        Delivery<test::NoResult> delivery;
        cache->reindexWithFields(std::move(fields), delivery.errorHandler());
        return delivery.wait();
    }

    TVKQuarraPtr quarra = std::make_shared<TVKQuarra>(7, "First", "first.example.com");
    std::shared_ptr<TVKQuarraJSONCache> cache;
};

const std::vector<Json> records = {
    {{"id", 1}, {"title", "it's \"quoted\""}, {"size", 10}, {"nested", {{"a", 1}}}},
    {{"id", 2}, {"title", "50% off"}, {"size", 20}},
    {{"id", 3}, {"title", "Grüße aus 東京"}, {"size", 30}},
    {{"id", 4}, {"title", "size"}, {"size", 4}},
    {{"id", 5}, {"title", "5000 off"}},
};

TEST_F(JSONCache, QueriesWithTheFourOperatorsTreatValuesAsValues) {
    EXPECT_EQ(cache->fields().front().fieldName(), "id");
    auto stored = store(records);
    ASSERT_FALSE(stored.error) << stored.error->description();
    ASSERT_EQ(stored.result.size(), records.size());

    struct Case {
        TVKQuarraExpression expression;
        std::vector<std::int64_t> ids;
    };
    const Case cases[] = {
        {{Criteria::criteriaWithFieldEqualTo("title", "it's \"quoted\"")}, {1}},
        // A value equal to a column name is a value, not that column.
        {{Criteria::criteriaWithFieldEqualTo("title", "size")}, {4}},
        // The value's own "%" and "_" are wildcards: "50% off" and "5000 off" both match;
        // ASCII letters match in any case.
        {{Criteria::criteriaWithFieldLike("title", "0% OFF")}, {2, 5}},
        {{Criteria::criteriaWithFieldLike("title", "0_ off")}, {2, 5}},
        {{Criteria::criteriaWithFieldLike("title", "50_ off")}, {2}},
        // An equal "LIKE" text takes the value as the caller's pattern.
        {{std::make_shared<Criteria>("title", std::string("LIKE"), "5_% off")}, {2, 5}},
        {{Criteria::criteriaWithFieldLike("title", "aus 東")}, {3}},
        {{Criteria::criteriaWithFieldLike("size", 0)}, {1, 2, 3}},
        {{Criteria::criteriaWithFieldEqualTo("size", 20), TVKQuarraLogicalOperatorOr,
          Criteria::criteriaWithFieldEqualTo("id", 3)},
         {2, 3}},
        // AND binds tighter than OR.
        {{Criteria::criteriaWithFieldEqualTo("id", 1), TVKQuarraLogicalOperatorOr,
          Criteria::criteriaWithFieldLike("title", "off"), TVKQuarraLogicalOperatorAnd,
          Criteria::criteriaWithFieldEqualTo("size", 20)},
         {1, 2}},
        {{Criteria::criteriaWithFieldEqualTo("size", SQNull{})}, {}},
        {{}, {1, 2, 3, 4, 5}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ids(c.expression), c.ids);
    }

    auto one = find({Criteria::criteriaWithFieldEqualTo("id", 1)});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0]->json(), records[0]);
    EXPECT_EQ((*one[0])["title"], Json("it's \"quoted\""));
    EXPECT_EQ((*one[0])["size"], Json(10));
    EXPECT_FALSE((*one[0])["nested"]);
    EXPECT_EQ((*find({Criteria::criteriaWithFieldEqualTo("id", 5)})[0])["size"], Json());
    EXPECT_EQ(one[0]->quarra(), quarra);
}

TEST_F(JSONCache, StoresBatchesWholeOrNotAtAll) {
    auto duplicates = store({{{"id", 1}, {"title", "old"}}, {{"id", 1}, {"title", "new"}}});
    ASSERT_FALSE(duplicates.error);
    EXPECT_EQ(duplicates.result.size(), 2u);
    auto rows = find({});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ((*rows[0])["title"], Json("new"));

    for (const Json& bad : {Json{{"title", "no id"}}, Json{{"id", nullptr}}}) {
        auto refused = store({{{"id", 2}, {"title", "fine"}}, bad});
        ASSERT_TRUE(refused.error);
        EXPECT_TRUE(refused.error->is(TVKCacheErrorDomain, -1));
        EXPECT_EQ(refused.error->localizedDescription(),
                  "Cache entry doesn't contain required field");
        EXPECT_TRUE(refused.result.empty());
    }
    EXPECT_EQ(find({}).size(), 1u);

    Delivery<JSONEntries> foreign;
    cache->cache({{{"id", 3}}}, std::make_shared<TVKQuarra>(7, "First", "first.example.com"),
                 foreign.handler());
    ASSERT_TRUE(foreign.wait());
    EXPECT_TRUE(foreign.error->is(TVKQuarraErrorDomain, -20));
}

TEST_F(JSONCache, OnlyAMissingTableReadsAsEmpty) {
    ErrorPtr error;
    EXPECT_TRUE(find({}, &error).empty());
    EXPECT_FALSE(error);
    ASSERT_FALSE(store(records).error);
    find({Criteria::criteriaWithFieldEqualTo("nocolumn", 1)}, &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -1));

    Delivery<test::NoResult> removed;
    cache->removeAllEntries(removed.errorHandler());
    EXPECT_FALSE(removed.wait());
    EXPECT_TRUE(find({}, &error).empty());
    EXPECT_FALSE(error);
    ASSERT_FALSE(store({records[0]}).error);
    EXPECT_EQ(find({}).size(), 1u);
}

TEST_F(JSONCache, RemovesEntriesByIdIncludingTextIdsWithQuotes) {
    auto texts =
        TVKQuarraJSONCache::openCacheWithName("Texts", quarra, {TVKQuarraJSONField("id", 1)});
    ASSERT_TRUE(texts);
    Delivery<JSONEntries> stored;
    texts->cache({{{"id", "o'brien"}}, {{"id", "x') OR 1=1 --"}}, {{"id", "kept"}}}, quarra,
                 stored.handler());
    ASSERT_FALSE(stored.wait());
    Delivery<test::NoResult> removed;
    texts->removeEntries({stored.result[0], stored.result[1]}, removed.errorHandler());
    EXPECT_FALSE(removed.wait());
    Delivery<JSONEntries> left;
    texts->query(*TVKQuarraLocalQuery::createWithExpression({}), left.handler());
    ASSERT_FALSE(left.wait());
    ASSERT_EQ(left.result.size(), 1u);
    EXPECT_EQ(left.result[0]->json()["id"], "kept");

    // An empty list succeeds at once, even for nobody.
    test::signOutCacheUser();
    Delivery<test::NoResult> nothing;
    texts->removeEntries({}, nothing.errorHandler());
    EXPECT_FALSE(nothing.wait());
}

TEST_F(JSONCache, RemovesThousandsOfEntriesInOneCall) {
    std::vector<Json> many;
    for (int id = 0; id < 5001; ++id) {
        many.push_back({{"id", id}, {"size", id}});
    }
    auto stored = store(many);
    ASSERT_FALSE(stored.error);
    stored.result.pop_back();
    auto statement = [&](const std::string& sql) {
        ErrorPtr result;
        cache->openDatabaseWithOpenHandler(
            [&](SQDatabase& db) { return db.executeUpdateValues(sql, {}); },
            [&](const ErrorPtr& error) { result = error; });
        return result;
    };
    auto remove = [&] {
        Delivery<test::NoResult> removed;
        cache->removeEntries(stored.result, removed.errorHandler());
        return removed.wait();
    };
    // A key near the end refuses to go: nothing goes, not even the statements before it.
    ASSERT_FALSE(
        statement("CREATE TRIGGER keep BEFORE DELETE ON Docs WHEN old.id = 4500 "
                  "BEGIN SELECT RAISE(ABORT, 'kept'); END"));
    ErrorPtr refused = remove();
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->localizedDescription(), "kept");
    EXPECT_EQ(ids({}).size(), 5001u);
    ASSERT_FALSE(statement("DROP TRIGGER keep"));
    ErrorPtr error = remove();
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(ids({}), std::vector<std::int64_t>{5000});
}

TEST_F(JSONCache, ReindexingRebuildsColumnsFromTheStoredRecords) {
    ASSERT_FALSE(store(records).error);
    ASSERT_FALSE(reindex({TVKQuarraJSONField("title", 1), TVKQuarraJSONField("nested", 1)}));
    ASSERT_EQ(cache->fields().size(), 3u);
    EXPECT_EQ(cache->fields()[2].fieldName(), "nested");
    auto one = find({Criteria::criteriaWithFieldLike("nested", "\"a\":1")});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_FALSE((*one[0])["size"]);
    ErrorPtr error;
    find({Criteria::criteriaWithFieldEqualTo("size", 10)}, &error);
    EXPECT_TRUE(error);

    // A rebuild that succeeds and a later step that fails leave database and object as they were.
    Delivery<test::NoResult> spoiled;
    cache->openDatabaseWithOpenHandler(
        [](SQDatabase& db) {
            return db.executeUpdateValues("UPDATE Docs SET __json = 'not json' WHERE id = 3", {});
        },
        spoiled.errorHandler());
    ASSERT_EQ(spoiled.calls, 1);
    ASSERT_FALSE(spoiled.error);
    const auto columns = cache->jsonTable()->orderedColumns();
    EXPECT_TRUE(reindex({TVKQuarraJSONField("size", 0)}));
    EXPECT_EQ(cache->jsonTable()->orderedColumns(), columns);
    EXPECT_EQ(cache->fields().size(), 3u);
    EXPECT_EQ(find({Criteria::criteriaWithFieldLike("nested", "a")}).size(), 1u);
}

TEST_F(JSONCache, ReindexingWithoutATableFailsAndAnEmptyTableAdoptsTheFields) {
    ErrorPtr error = reindex({TVKQuarraJSONField("other", 1)});
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(TVKCacheErrorDomain, -1));
    EXPECT_EQ(cache->fields().size(), 3u);
    EXPECT_EQ(cache->jsonTable()->orderedColumns().size(), 4u);

    ASSERT_FALSE(store({records[0]}).error);
    Delivery<test::NoResult> removed;
    cache->removeEntries(find({}), removed.errorHandler());
    ASSERT_FALSE(removed.wait());
    ASSERT_FALSE(reindex({TVKQuarraJSONField("other", 1)}));
    EXPECT_EQ(cache->fields().size(), 2u);
    ASSERT_FALSE(store({{{"id", 9}, {"other", "x"}}}).error);
    EXPECT_EQ(find({Criteria::criteriaWithFieldEqualTo("other", "x")}).size(), 1u);
}

// One cache object used from two threads: every query sees one whole field list, the old or the
// new, never a reindex half applied.
TEST_F(JSONCache, ReindexAndQueriesFromTwoThreadsSeeOneFieldListEach) {
    ASSERT_FALSE(store(records).error);
    const std::vector<TVKQuarraJSONField> wide = {TVKQuarraJSONField("title", 1),
                                                  TVKQuarraJSONField("size", 0)};
    const std::vector<TVKQuarraJSONField> narrow = {TVKQuarraJSONField("title", 1)};
    constexpr int kRounds = 20;
    std::vector<ErrorPtr> errors;
    std::set<std::size_t> fieldCounts;
    int delivered = 0;
    auto reindexer = std::thread([&] {
        for (int i = 0; i < kRounds; ++i) {
            cache->reindexWithFields(i % 2 ? wide : narrow, [&](const ErrorPtr& error) {
                errors.push_back(error);
                ++delivered;
            });
        }
    });
    auto reader = std::thread([&] {
        for (int i = 0; i < kRounds; ++i) {
            cache->query(*TVKQuarraLocalQuery::createWithExpression({}),
                         [&](const JSONEntries& entries, const ErrorPtr& error) {
                             errors.push_back(error);
                             for (const auto& entry : entries) {
                                 fieldCounts.insert(entry->values().size());
                             }
                             ++delivered;
                         });
        }
    });
    reindexer.join();
    reader.join();
    ASSERT_TRUE(runMainUntil([&] { return delivered == 2 * kRounds; }, std::chrono::seconds(60)));
    for (const auto& error : errors) {
        EXPECT_FALSE(error) << error->description();
    }
    for (std::size_t count : fieldCounts) {
        EXPECT_TRUE(count == 2 || count == 3) << count;
    }
}

TEST_F(JSONCache, HandlersRunOnTheMainQueueWhenCalledFromAnotherThread) {
    Delivery<JSONEntries> delivery;
    std::thread worker([&] { cache->cache({records[0]}, quarra, delivery.handler()); });
    worker.join();
    EXPECT_FALSE(delivery.wait());
    EXPECT_EQ(delivery.result.size(), 1u);
}

TEST(JSONCacheOpen, RefusesNamesThatAreNoPlainIdentifierOrBelongToTheFileCache) {
    auto quarra = std::make_shared<TVKQuarra>(7, "First", "first.example.com");
    EXPECT_FALSE(TVKQuarraJSONCache::openCacheWithName("Docs", quarra, {}));
    test::signInCacheUser("alice", {quarra});
    for (const char* name :
         {"Document", "documentrendition", "bad name", "x'y", "", "1abc", "sqlite_master"}) {
        EXPECT_FALSE(TVKQuarraJSONCache::openCacheWithName(name, quarra, {})) << name;
    }
    auto cache = TVKQuarraJSONCache::openCacheWithName("My_Docs2", quarra, {});
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache->jsonTable()->createTableSql(),
              "CREATE TABLE IF NOT EXISTS `My_Docs2` (`id` INTEGER NOT NULL, `__json` TEXT, "
              "PRIMARY KEY (`id`))");
}

// Keywords, blanks, dashes, quotes and SQL text as names: each stays a name on every statement.
TEST(JSONCacheNames, HostileFieldAndCacheNamesAreOnlyNames) {
    auto quarra = std::make_shared<TVKQuarra>(7, "First", "first.example.com");
    test::signInCacheUser("alice", {quarra});
    const std::vector<std::string> names = {"order", "first-name", "e mail", "it's",
                                            "x`y",   "a\"b",       "select"};
    std::vector<TVKQuarraJSONField> fields;
    Json record = {{"id", 1}};
    for (const auto& name : names) {
        fields.emplace_back(name, 1);
        record[name] = "v " + name;
    }
    auto cache = TVKQuarraJSONCache::openCacheWithName("select", quarra, fields);
    ASSERT_TRUE(cache);
    Delivery<JSONEntries> stored;
    cache->cache({record, {{"id", 2}}}, quarra, stored.handler());
    ASSERT_FALSE(stored.wait()) << stored.error->description();
    for (const auto& name : names) {
        Delivery<JSONEntries> found;
        cache->query(*TVKQuarraLocalQuery::createWithExpression(
                         {Criteria::criteriaWithFieldEqualTo(name, "v " + name)}),
                     found.handler());
        ASSERT_FALSE(found.wait()) << name;
        ASSERT_EQ(found.result.size(), 1u) << name;
        EXPECT_EQ(found.result[0]->json(), record);
    }
    // A field that is SQL text matches no column: an error naming the reason, never every row.
    for (const char* field : {"1=1 OR id", "id; DROP TABLE x"}) {
        Delivery<JSONEntries> found;
        cache->query(*TVKQuarraLocalQuery::createWithExpression(
                         {Criteria::criteriaWithFieldEqualTo(field, 1)}),
                     found.handler());
        ErrorPtr error = found.wait();
        ASSERT_TRUE(error) << field;
        EXPECT_NE(error->localizedDescription().find("no such column"), std::string::npos)
            << error->description();
        EXPECT_TRUE(found.result.empty());
    }
}

}  // namespace
}  // namespace quarra
