#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "quarra/Bundle.h"
#include "transport/HTHTTPRequestSerializer.h"
#include "transport/HTJSONRequestSerializer.h"

using namespace quarra;

namespace {

std::string body(const UrlRequest& request) {
    return toString(request.httpBody.value_or(Bytes()));
}

}  // namespace

TEST(RequestSerializerTest, WeighsAtMostSixPreferredLanguages) {
    setenv("LANGUAGE", "en:de:fr:it:es:ja:pt:nl", 1);
    auto serializer = HTHTTPRequestSerializer::serializer();
    EXPECT_EQ(serializer->valueForHTTPHeaderField("Accept-Language"),
              "en;q=1, de;q=0.9, fr;q=0.8, it;q=0.7, es;q=0.6, ja;q=0.5");

    const std::pair<const char*, const char*> cases[] = {
        {"de_CH.UTF-8", "de-CH;q=1"},
        {"C.UTF-8", "en;q=1"},
        {"POSIX", "en;q=1"},
        {"pt_BR@latin", "pt-BR;q=1"},
    };
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    for (auto [lang, expected] : cases) {
        setenv("LANG", lang, 1);
        EXPECT_EQ(HTHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("Accept-Language"),
                  expected)
            << lang;
    }
}

TEST(RequestSerializerTest, DefaultUserAgentNamesTheHostInAscii) {
    const std::pair<const char*, const char*> names[] = {
        {"N\xC3\xB6tes", "Notes"},
        {"\xD0\x97\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x82\xD0\xBA\xD0\xB8", "Zametki"},
        {"Stra\xC3\x9F"
         "e\xF0\x9F\x98\x80",
         "Strasse"},
    };
    for (auto [name, ascii] : names) {
        Bundle::setMainBundle("com.example.notes",
                              {{BundleExecutableKey, name}, {BundleVersionKey, "217"}});
        auto agent = HTHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("User-Agent");
        ASSERT_TRUE(agent);
        EXPECT_TRUE(agent->starts_with(std::string(ascii) + "/217 (")) << *agent;
        EXPECT_NE(agent->find("; Linux "), std::string::npos) << *agent;
        EXPECT_NE(agent->find("Scale/1.00)"), std::string::npos) << *agent;
        for (unsigned char c : *agent)
            EXPECT_LT(c, 0x80);
    }
}

TEST(RequestSerializerTest, UriMethodsPutTheQueryIntoTheUrlBeforeAnyFragment) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    struct Case {
        const char* method;
        const char* url;
        Json parameters;
        const char* expected;
    };
    const Case cases[] = {
        {"GET", "https://h/p?x=1", {{"y", 2}}, "https://h/p?x=1&y=2"},
        {"GET", "https://h/p", {{"y", 2}}, "https://h/p?y=2"},
        {"GET", "https://h/p#top", {{"y", 2}}, "https://h/p?y=2#top"},
        {"HEAD", "https://h/p?x=1#a?b", {{"y", 2}}, "https://h/p?x=1&y=2#a?b"},
        {"GET", "https://h/p?x=1", Json::object(), "https://h/p?x=1"},
        {"GET", "https://h/p", nullptr, "https://h/p"},
        {"delete", "https://h/p", {{"k", "a b"}}, "https://h/p?k=a%20b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto request = serializer->requestWithMethod(c.method, c.url, c.parameters);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->url.string(), c.expected);
        EXPECT_EQ(request->httpMethod, c.method);
        EXPECT_FALSE(request->httpBody);
        EXPECT_FALSE(request->valueForHTTPHeaderField("Content-Type"));
    }
}

TEST(RequestSerializerTest, OtherMethodsAlwaysSendAFormBody) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    auto empty = serializer->requestWithMethod("POST", "https://h/p", nullptr);
    ASSERT_TRUE(empty && empty->httpBody);
    EXPECT_EQ(body(*empty), "");
    EXPECT_EQ(empty->valueForHTTPHeaderField("content-type"), "application/x-www-form-urlencoded");

    auto form =
        serializer->requestWithMethod("PUT", "https://h/p?keep=1", {{"b", {1, 2}}, {"a", "&="}});
    EXPECT_EQ(body(*form), "a=%26%3D&b%5B%5D=1&b%5B%5D=2");
    EXPECT_EQ(form->url.string(), "https://h/p?keep=1");

    // A type already chosen, on the table or on the request, stays.
    serializer->setValue("text/plain", "Content-Type");
    EXPECT_EQ(serializer->requestWithMethod("POST", "https://h/", {{"a", 1}})
                  ->valueForHTTPHeaderField("Content-Type"),
              "text/plain");
    serializer->setValue(std::nullopt, "Content-Type");
    UrlRequest own(*Url::parse("https://h/"));
    own.httpMethod = "POST";
    own.setValue("application/x-custom", "content-TYPE");
    own.setValue("mine", "user-agent");
    auto built = serializer->requestBySerializingRequest(own, {{"a", 1}});
    EXPECT_EQ(built->valueForHTTPHeaderField("Content-Type"), "application/x-custom");
    EXPECT_EQ(built->valueForHTTPHeaderField("User-Agent"), "mine");
    EXPECT_TRUE(built->valueForHTTPHeaderField("Accept-Language"));
}

TEST(RequestSerializerTest, AppliesOnlyTheSettingsThatWereSet) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    UrlRequest defaults;
    auto plain = serializer->requestWithMethod("GET", "https://h/");
    EXPECT_EQ(plain->timeoutInterval, defaults.timeoutInterval);
    EXPECT_EQ(plain->allowsCellularAccess, defaults.allowsCellularAccess);
    EXPECT_EQ(plain->httpShouldHandleCookies, defaults.httpShouldHandleCookies);

    serializer->setTimeoutInterval(serializer->timeoutInterval());  // set, even to its own value
    serializer->setAllowsCellularAccess(false);
    serializer->setCachePolicy(UrlRequestCachePolicy::ReloadIgnoringLocalCacheData);
    auto set = serializer->requestWithMethod("GET", "https://h/");
    EXPECT_EQ(set->timeoutInterval, 0);
    EXPECT_FALSE(set->allowsCellularAccess);
    EXPECT_EQ(set->cachePolicy, UrlRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(set->httpShouldHandleCookies, defaults.httpShouldHandleCookies);
}

TEST(RequestSerializerTest, HeaderTableTakesWritesAtOnceAndKeepsBuildsConsistent) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    serializer->setAuthorizationHeaderFieldWithUsername("Aladdin", "open sesame");
    EXPECT_EQ(serializer->valueForHTTPHeaderField("Authorization"),
              "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    serializer->clearAuthorizationHeader();
    EXPECT_FALSE(serializer->HTTPRequestHeaders().count("Authorization"));
    // Lookup on the table is exact; on a request it ignores letter case.
    serializer->setValue("1", "X-Pair-A");
    EXPECT_FALSE(serializer->valueForHTTPHeaderField("x-pair-a"));

    // Writers change two fields together while builds run: every request has both or neither.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            std::string value = std::to_string(i);
            serializer->setValue(value, "X-Pair-A");
            serializer->setValue(value, "X-Pair-B");
        }
    });
    int mismatches = 0;
    for (int i = 0; i < 2000; ++i) {
        auto request = serializer->requestWithMethod("GET", "https://h/");
        auto a = request->valueForHTTPHeaderField("X-Pair-A");
        auto b = request->valueForHTTPHeaderField("X-Pair-B");
        // B is written after A, so a snapshot never holds a B newer than its A.
        if (b && std::stoi(*b) > std::stoi(*a))
            ++mismatches;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mismatches, 0);
}

TEST(RequestSerializerTest, QueryStringBlockReplacesTheFormatAndCanRefuse) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    serializer->setQueryStringSerializationWithBlock(
        [](const UrlRequest& request, const Json& parameters) -> Result<std::string> {
            if (parameters.contains("bad"))
                return Error::make("test", 7);
            return request.httpMethod + "-" + parameters.dump();
        });
    EXPECT_EQ(body(*serializer->requestWithMethod("POST", "https://h/", {{"a", 1}})),
              "POST-{\"a\":1}");

    ErrorPtr error = serializer->requestWithMethod("POST", "https://h/", {{"bad", 1}}).error();
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is("test", 7));

    auto copy = serializer->copy();
    EXPECT_EQ(body(*copy->requestWithMethod("POST", "https://h/", {{"a", 1}})), "POST-{\"a\":1}");
    serializer->setQueryStringSerializationWithStyle(HTHTTPRequestQueryStringDefaultStyle);
    EXPECT_EQ(body(*serializer->requestWithMethod("POST", "https://h/", {{"a", 1}})), "a=1");
}

TEST(RequestSerializerTest, JsonBodiesParseBackToTheParameters) {
    auto serializer = HTJSONRequestSerializer::serializer();
    const Json cases[] = {
        {{"name", "J\xC3\xBCrgen \"q\""},
         {"n", {1, 2.5, nullptr, true}},
         {"o", {{"x", Json::object()}}}},
        Json::array({1, "two"}),
        Json::object(),
    };
    for (const auto& parameters : cases) {
        auto request = serializer->requestWithMethod("POST", "https://h/", parameters);
        ASSERT_TRUE(request);
        EXPECT_EQ(Json::parse(body(*request)), parameters);
        EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/json");
    }
    auto none = serializer->requestWithMethod("POST", "https://h/", nullptr);
    EXPECT_FALSE(none->httpBody);
    EXPECT_FALSE(none->valueForHTTPHeaderField("Content-Type"));

    auto get = serializer->requestWithMethod("GET", "https://h/", {{"q", "a b"}});
    EXPECT_EQ(get->url.string(), "https://h/?q=a%20b");
    EXPECT_FALSE(get->httpBody);

    auto pretty = HTJSONRequestSerializer::serializerWithWritingOptions(HTJSONWritingPrettyPrinted)
                      ->copy()
                      ->requestWithMethod("PUT", "https://h/", {{"a", 1}});
    EXPECT_EQ(body(*pretty), "{\n  \"a\": 1\n}");
}

TEST(RequestSerializerTest, JsonSerializerRefusesWhatIsNoJsonDocument) {
    auto serializer = HTJSONRequestSerializer::serializer();
    const Json cases[] = {
        "just a string",
        42,
        {{"nan", std::nan("")}},
        {{"deep", {1, {{"inf", INFINITY}}}}},
        {{"date", Json::binary({1, 2, 3})}},
        {{"text", "\xFF\xFE not UTF-8"}},
    };
    for (const auto& parameters : cases) {
        ErrorPtr error = serializer->requestWithMethod("POST", "https://h/", parameters).error();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->is(HTURLRequestSerializationErrorDomain, -1016));
        EXPECT_EQ(jsonString(error->userInfo(), LocalizedFailureReasonKey),
                  "The `parameters` argument is not valid JSON.");
    }
}

TEST(RequestSerializerTest, UnparsableUrlGivesARequestWithoutUrl) {
    auto request =
        HTHTTPRequestSerializer::serializer()->requestWithMethod("GET", "not a url", {{"a", 1}});
    ASSERT_TRUE(request);
    EXPECT_TRUE(request->url.empty());
}

TEST(RequestSerializerTest, ArchiveKeepsHeadersStyleAndOptions) {
    auto serializer =
        HTJSONRequestSerializer::serializerWithWritingOptions(HTJSONWritingPrettyPrinted);
    serializer->setValue("secret-free", "ClientID");
    serializer->setTimeoutInterval(5);  // request settings are not archived
    Json document = KeyedArchiver::archivedDocument(*serializer);

    auto result = KeyedUnarchiver::unarchivedObject<HTJSONRequestSerializer>(
        document, {KeyedUnarchiver::allow<HTJSONRequestSerializer>()});
    ASSERT_TRUE(result) << result.error()->description();
    auto decoded = *result;
    EXPECT_EQ(decoded->HTTPRequestHeaders(), serializer->HTTPRequestHeaders());
    EXPECT_EQ(decoded->writingOptions(), HTJSONWritingPrettyPrinted);
    EXPECT_EQ(decoded->requestWithMethod("GET", "https://h/")->timeoutInterval,
              UrlRequest().timeoutInterval);

    // A plain serializer's archive is refused where only the JSON class is allowed.
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject<HTJSONRequestSerializer>(
        KeyedArchiver::archivedDocument(*HTHTTPRequestSerializer::serializer()),
        {KeyedUnarchiver::allow<HTJSONRequestSerializer>()}));
    document["$root"]["mutableHTTPRequestHeaders"]["value"]["ClientID"] = 7;
    ErrorPtr error = KeyedUnarchiver::unarchivedObject<HTJSONRequestSerializer>(
                         document, {KeyedUnarchiver::allow<HTJSONRequestSerializer>()})
                         .error();
    EXPECT_TRUE(error && error->domain() == KeyedArchiveErrorDomain);
}
