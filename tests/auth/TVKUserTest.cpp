#include <gtest/gtest.h>

#include "auth/KeychainItemStore.h"
#include "auth/TVKUserInternal.h"
#include "quarra/Bundle.h"

using namespace quarra;

namespace {

TVKQuarraPtr makeQuarra(std::uint64_t id, const char* name = "Main",
                        const char* url = "q1.example.com") {
    return std::make_shared<TVKQuarra>(id, name, url);
}

std::shared_ptr<TVKUserInternal> user(std::uint64_t userId = 7) {
    auto q1 = makeQuarra(1);
    return std::make_shared<TVKUserInternal>(
        "alice", std::vector{q1, makeQuarra(2, "Two", "https://q2.example.com")}, q1, userId);
}

Result<std::shared_ptr<TVKUserInternal>> roundTrip(const TVKUserInternal& original) {
    return KeyedUnarchiver::unarchivedObject<TVKUserInternal>(
        KeyedArchiver::archivedDocument(original), TVKUserInternal::archiveClasses());
}

}  // namespace

TEST(TVKUserTest, QuarraUrlComesFromAHostNameOrAUrlAndEqualityNeedsOne) {
    auto byHost = makeQuarra(1);
    ASSERT_TRUE(byHost->URL());
    EXPECT_EQ(byHost->URL()->host(), "q1.example.com");
    EXPECT_EQ(byHost->URL()->string(), "https://q1.example.com");
    EXPECT_TRUE(byHost->isEqual(*makeQuarra(1)));
    EXPECT_FALSE(byHost->isEqual(*makeQuarra(2)));
    EXPECT_FALSE(byHost->isEqual(*makeQuarra(1, "Other")));

    auto noUrl = makeQuarra(1, "Main", "not a url");
    EXPECT_FALSE(noUrl->URL());
    EXPECT_TRUE(noUrl->isEqual(*noUrl));
    EXPECT_FALSE(noUrl->isEqual(*makeQuarra(1, "Main", "not a url")));
    EXPECT_EQ(byHost->description(), "Id:1; name:Main; URL:https://q1.example.com");
}

TEST(TVKUserTest, InternalUsersAreEqualOnlyWhileASessionIdIsStored) {
    Bundle::setMainBundle("com.example.host");
    auto a = user(), b = user();
    EXPECT_TRUE(a->isEqual(*a));
    EXPECT_FALSE(a->isEqual(*b));  // no session id stored
    EXPECT_TRUE(static_cast<const TVKUser&>(*a).TVKUser::isEqual(*b));
    EXPECT_EQ(KeychainItemStore::setSessionId("sess"), nullptr);
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_FALSE(a->isEqual(*user(8)));
    TVKUser plain("alice", a->quarras(), 7);
    EXPECT_FALSE(a->isEqual(plain));  // a public user is no internal one
    EXPECT_TRUE(plain.isEqual(*a));

    EXPECT_EQ(
        plain.description(),
        "username:alice; quarras:(Id:1; name:Main; URL:https://q1.example.com, Id:2; name:Two; "
        "URL:https://q2.example.com) userId:7");
    EXPECT_EQ(
        a->description(),
        "username:alice; quarras:(Id:1; name:Main; URL:https://q1.example.com, Id:2; name:Two; "
        "URL:https://q2.example.com); currentQuarra:Id:1; name:Main; URL:https://q1.example.com; "
        "userId:7; sessionId:sess");
}

TEST(TVKUserTest, ArchiveRoundTripKeepsEverythingIncludingLargeIds) {
    Bundle::setMainBundle("com.example.host");
    EXPECT_EQ(KeychainItemStore::setSessionId("sess"), nullptr);
    auto original = user((1ULL << 40) + 3);
    original->quarras()[1]->setId((1ULL << 63) + 1);
    auto decoded = roundTrip(*original);
    ASSERT_TRUE(decoded) << decoded.error()->description();
    auto read = *decoded;
    EXPECT_TRUE(read->isEqual(*original));
    EXPECT_EQ(read->userId(), (1ULL << 40) + 3);
    EXPECT_EQ(read->quarras()[1]->Id(), (1ULL << 63) + 1);

    Json document = KeyedArchiver::archivedDocument(*original);
    EXPECT_EQ(document["$root"]["$class"], "TVKUserInternal");
    EXPECT_EQ(document["$root"]["quarras"][0]["$class"], "TVKQuarra");
    EXPECT_EQ(document["$root"]["currentQuarra"]["Id"], 1);
}

TEST(TVKUserTest, MissingValuesDecodeAsDefaultsAndWrongTypesFail) {
    Json document = KeyedArchiver::archivedDocument(*user());
    document["$root"].erase("userId");
    document["$root"].erase("currentQuarra");
    document["$root"]["quarras"][0].erase("Id");
    auto read = KeyedUnarchiver::unarchivedObject<TVKUserInternal>(
                    document, TVKUserInternal::archiveClasses())
                    .value();
    EXPECT_EQ(read->userId(), 0u);
    EXPECT_EQ(read->currentQuarra(), nullptr);
    EXPECT_EQ(read->quarras()[0]->Id(), 0u);

    for (auto spoil : {+[](Json& d) { d["$root"]["username"] = 5; },
                       +[](Json& d) { d["$root"]["userId"] = "7"; },
                       +[](Json& d) { d["$root"]["currentQuarra"] = "q"; },
                       +[](Json& d) { d["$root"]["quarras"][0]["$class"] = "TVKUser"; }}) {
        Json bad = KeyedArchiver::archivedDocument(*user());
        spoil(bad);
        EXPECT_FALSE(KeyedUnarchiver::unarchivedObject<TVKUserInternal>(
            bad, TVKUserInternal::archiveClasses()));
    }
}

TEST(TVKUserTest, IdentifiersAreUnsigned64BitFromNumbersOrDecimalStrings) {
    struct Case {
        Json value;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {42, 42},
        {"42", 42},
        {Json(18446744073709551615ULL), 18446744073709551615ULL},
        {"18446744073709551615", 18446744073709551615ULL},
        {"18446744073709551616", std::nullopt},
        {-1, std::nullopt},
        {"-1", std::nullopt},
        {1.5, std::nullopt},
        {"", std::nullopt},
        {"12a", std::nullopt},
        {" 12", std::nullopt},
        {Json(), std::nullopt},
        {Json::array(), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(identifierFromJson(c.value), c.expected) << c.value.dump();
    }
}
