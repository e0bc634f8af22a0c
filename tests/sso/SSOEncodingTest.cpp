#include <gtest/gtest.h>

#include <set>

#include "SSOFixtures.h"
#include "sso/SSOAuthorizationRequest.h"
#include "sso/SSOScopeUtilities.h"
#include "sso/SSOTokenUtilities.h"
#include "sso/SSOURLQueryComponent.h"

using namespace quarra;
using Items = std::vector<std::pair<std::string, std::string>>;

// Runs `body` on the URL's own query parser and builder, then on the manual path; both read and
// write the same.
template <class Body>
void onBothPaths(Body body) {
    struct Reset {
        ~Reset() { gOIDURLQueryComponentForceIOS7Handling = false; }
    } reset;
    for (bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual path" : "standard path");
        gOIDURLQueryComponentForceIOS7Handling = manual;
        body();
    }
}

TEST(SSOEncodingTest, ParsesRedirectQueries) {
    struct Case {
        const char* url;
        Items items;
    };
    const Case cases[] = {
        // "+" is a plus sign, not a space.
        {"app:/cb?code=a%2Bb&state=x+y", {{"code", "a+b"}, {"state", "x+y"}}},
        {"app:/cb?a=1&a=2&b=", {{"a", "1"}, {"a", "2"}, {"b", ""}}},
        {"app:/cb?b=1&a=2&b=3", {{"b", "1"}, {"b", "3"}, {"a", "2"}}},
        {"https://h/cb?x=a=b&%C3%A9t%C3%A9=%20", {{"x", "a=b"}, {"\xC3\xA9t\xC3\xA9", " "}}},
        // Pieces without a value carry nothing; the fragment is not read.
        {"app:/cb?flag&a=1&&#b=2", {{"a", "1"}}},
        {"app:/cb?a=%zz%4", {{"a", "%zz%4"}}},
        // Bytes that are no UTF-8 text read as U+FFFD, one for each.
        {"app:/cb?x=%FF&%C3=%E2%82ok",
         {{"x", "\xEF\xBF\xBD"}, {"\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBDok"}}},
        {"app:/cb?x=%C0%AF%ED%A0%80",
         {{"x", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}}},
        {"app:/cb", {}},
        {"com.example.app:/oauth2redirect?code=c1&state=s1", {{"code", "c1"}, {"state", "s1"}}},
    };
    onBothPaths([&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.url);
            SSOURLQueryComponent query(*Url::parse(c.url));
            EXPECT_EQ(query.queryItems(), c.items);
        }
    });
}

TEST(SSOEncodingTest, DictionaryValueHoldsTextForOneValueAndAnArrayForMore) {
    SSOURLQueryComponent query(*Url::parse("app:/cb?a=1&a=2&b=3"));
    EXPECT_EQ(query.dictionaryValue(), Json({{"a", {"1", "2"}}, {"b", "3"}}));
    EXPECT_EQ(query.parameters(), (std::vector<std::string>{"a", "b"}));
    ASSERT_TRUE(query.valuesForParameter("a"));
    EXPECT_EQ(*query.valuesForParameter("a"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(query.valuesForParameter("c"), nullptr);
}

TEST(SSOEncodingTest, SerialisesSoThatAnIndependentParserReadsBackTheSameValues) {
    const std::pair<Items, const char*> cases[] = {
        {{{"v", "a b+c&d=e"}}, "v=a%20b%2Bc%26d%3De"},
        {{{"k=&+", "1"}}, "k%3D%26%2B=1"},
        {{{"redirect_uri", "app:/cb?x=1"}}, "redirect_uri=app:/cb?x%3D1"},
        {{{"u", "\xC3\xA9\xF0\x9F\x98\x80"}}, "u=%C3%A9%F0%9F%98%80"},
        {{{"keep", "-._~!$'()*,;:@/?"}}, "keep=-._~!$'()*,;:@/?"},
        {{{"esc", "#%[]\"<>\\^`{|}"}}, "esc=%23%25%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {{{"b", "1"}, {"a", ""}, {"b", "2"}}, "b=1&b=2&a="},
    };
    onBothPaths([&] {
        for (const auto& [items, text] : cases) {
            SCOPED_TRACE(text);
            SSOURLQueryComponent query;
            for (const auto& [name, value] : items)
                query.addParameter(name, value);
            EXPECT_EQ(query.URLEncodedParameters(), text);
            EXPECT_EQ(query.percentEncodedQueryString(), text);
            EXPECT_EQ(test::pythonQueryItems(text), query.queryItems());
        }
    });
}

TEST(SSOEncodingTest, ReplacingTheQueryDropsTheOldOneAndKeepsTheRest) {
    SSOURLQueryComponent query;
    query.addParameter("a", "1");
    query.addParameters({{"c", "3"}, {"b", "2"}});
    EXPECT_EQ(query.URLByReplacingQueryInURL(*Url::parse("https://h:8/p/q?old=1#frag")).string(),
              "https://h:8/p/q?a=1&b=2&c=3#frag");
    EXPECT_EQ(query.URLByReplacingQueryInURL(*Url::parse("app:/cb")).string(),
              "app:/cb?a=1&b=2&c=3");
}

TEST(SSOEncodingTest, EncodesBase64urlWithoutPadding) {
    // RFC 4648 section 10, then bytes that standard Base64 writes with "+" and "/".
    const std::pair<Bytes, const char*> cases[] = {
        {toBytes(""), ""},
        {toBytes("f"), "Zg"},
        {toBytes("fo"), "Zm8"},
        {toBytes("foo"), "Zm9v"},
        {toBytes("foob"), "Zm9vYg"},
        {toBytes("fooba"), "Zm9vYmE"},
        {toBytes("foobar"), "Zm9vYmFy"},
        {Bytes{0xFB, 0xFF, 0xBF}, "-_-_"},
        {Bytes{0x03, 0xEF, 0xFF, 0xF9}, "A-__-Q"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(SSOTokenUtilities::encodeBase64urlNoPadding(bytes), text);
    }
    EXPECT_EQ(SSOTokenUtilities::encodeBase64(toBytes("c1:s%2B")), "YzE6cyUyQg==");
}

TEST(SSOEncodingTest, DerivesThePkceChallengeOfRfc7636AppendixB) {
    const Bytes octets = {116, 24,  223, 180, 151, 153, 224, 37,  79,  250, 96,
                          125, 216, 173, 187, 186, 22,  212, 37,  77,  105, 214,
                          191, 240, 91,  88,  5,   88,  83,  132, 141, 121};
    const std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
    EXPECT_EQ(SSOTokenUtilities::encodeBase64urlNoPadding(octets), verifier);
    EXPECT_EQ(SSOAuthorizationRequest::codeChallengeS256ForVerifier(verifier),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    // FIPS 180-2 example.
    EXPECT_EQ(SSOTokenUtilities::encodeBase64(SSOTokenUtilities::sha256("abc")),
              "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
}

TEST(SSOEncodingTest, RandomStringsAreUrlSafeAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        auto text = SSOTokenUtilities::randomURLSafeStringWithSize(32);
        ASSERT_TRUE(text);
        ASSERT_EQ(text->size(), 43u);
        EXPECT_EQ(text->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789-_"),
                  std::string::npos);
        seen.insert(*text);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(SSOTokenUtilities::randomURLSafeStringWithSize(0), "");
    EXPECT_EQ(SSOTokenUtilities::randomURLSafeStringWithSize(1)->size(), 2u);
}

TEST(SSOEncodingTest, JoinsAndSplitsScopesAtSingleSpaces) {
    using List = std::vector<std::string>;
    EXPECT_EQ(SSOScopeUtilities::scopesWithArray({"openid", "profile"}), "openid profile");
    EXPECT_EQ(SSOScopeUtilities::scopesWithArray({"openid"}), "openid");
    EXPECT_EQ(SSOScopeUtilities::scopesWithArray({}), "");
    EXPECT_EQ(SSOScopeUtilities::scopesArrayWithString("openid profile"),
              (List{"openid", "profile"}));
    EXPECT_EQ(SSOScopeUtilities::scopesArrayWithString("openid  profile"),
              (List{"openid", "", "profile"}));
    EXPECT_EQ(SSOScopeUtilities::scopesArrayWithString("openid"), (List{"openid"}));
    for (char32_t c : {U' ', U'"', U'\\', U'\x7F', U'\x1F', U'\u00E9'}) {
        EXPECT_TRUE(SSOScopeUtilities::isDisallowedScopeCharacter(c)) << int(c);
    }
    for (char32_t c : {U'!', U'#', U'[', U']', U'~', U'a', U':'}) {
        EXPECT_FALSE(SSOScopeUtilities::isDisallowedScopeCharacter(c)) << int(c);
    }
}
