#include <gtest/gtest.h>

#include "quarra/Url.h"

using namespace quarra;

TEST(UrlTest, ParsesComponentsAndKeepsTheTextAsWritten) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;
        int port;  // -1: none
        const char* path;
        const char* query;  // nullptr: none
    };
    const Case cases[] = {
        {"https://Quarra.example.com:8443/api/v1?x=1&y=2#top", "https", "quarra.example.com", 8443,
         "/api/v1", "x=1&y=2"},
        {"https:///api", "https", "", -1, "/api", nullptr},
        {"com.example.app:/oauth2redirect", "com.example.app", "", -1, "/oauth2redirect", nullptr},
        {"http://[::1]:80/", "http", "::1", 80, "/", nullptr},
        {"file:///tmp/a%20b", "file", "", -1, "/tmp/a%20b", nullptr},
        {"https://user:p%40ss@h/", "https", "h", -1, "/", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto url = Url::parse(c.text);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->string(), c.text);
        EXPECT_EQ(url->scheme(), c.scheme);
        EXPECT_EQ(url->host(), c.host);
        EXPECT_EQ(url->port().value_or(-1), c.port);
        EXPECT_EQ(url->path(), c.path);
        EXPECT_EQ(url->query().has_value(), c.query != nullptr);
        if (c.query) {
            EXPECT_EQ(*url->query(), c.query);
        }
    }
    EXPECT_EQ(Url::parse("https://user:p%40ss@h/")->password(), "p@ss");
}

TEST(UrlTest, RejectsTextThatIsNoAbsoluteUrl) {
    for (const char* text : {"", "relative/path", "://x", "1http://x", "http://h:99999/",
                             "http://h:x/", "http://a b/", "http://h/\n"}) {
        EXPECT_FALSE(Url::parse(text)) << text;
    }
}

TEST(UrlTest, ResolvesReferencesAsRfc3986Does) {
    auto base = *Url::parse("http://a/b/c/d;p?q");
    const std::pair<const char*, const char*> cases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q#s"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../../g", "http://a/g"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"https://other:1/x", "https://other:1/x"},
    };
    for (auto [reference, expected] : cases) {
        EXPECT_EQ(base.resolve(reference)->string(), expected) << reference;
    }
}

TEST(UrlTest, FileUrlsRoundTripPathsWithAwkwardCharacters) {
    auto url = Url::fileUrl("/tmp/dir with space/na%me#1.txt");
    EXPECT_TRUE(url.isFileUrl());
    EXPECT_EQ(url.filePath(), "/tmp/dir with space/na%me#1.txt");
    EXPECT_EQ(url.lastPathComponent(), "na%me#1.txt");
    auto child = Url::fileUrl("/tmp").appendingPathComponent("a?b");
    EXPECT_EQ(child.string(), "file:///tmp/a%3Fb");
    EXPECT_EQ(child.filePath(), "/tmp/a?b");
}
