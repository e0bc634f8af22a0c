#include <gtest/gtest.h>
#include <stdio.h>

#include <string>

#include "support/TestSupport.h"
#include "transport/HTHTTPRequestSerializer.h"

using namespace quarra;

namespace {

// Pairs as Debian's own Python parses the query back, so the format is checked against an encoder
// and decoder that were not written here.
Json parsedByPython(const std::string& query) {
    test::TempDir dir;
    test::writeFile(dir / "query", query);
    std::string command =
        "/usr/bin/python3 -c 'import json,sys,urllib.parse; "
        "print(json.dumps(urllib.parse.parse_qsl(open(sys.argv[1]).read(), "
        "keep_blank_values=True)))' " +
        (dir / "query").string();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return nullptr;
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    if (pclose(pipe) != 0)
        return nullptr;
    return Json::parse(out);
}

}  // namespace

TEST(QueryStringTest, EscapesAllButLettersDigitsAndSixMarks) {
    const std::pair<std::string, std::string> cases[] = {
        {"a/b?c=d&e", "a/b?c%3Dd%26e"},
        {"\xC3\xA9", "%C3%A9"},
        {"-._~/?", "-._~/?"},
        {":#[]@!$&'()*+,;= %\"<>\\^`{|}",
         "%3A%23%5B%5D%40%21%24%26%27%28%29%2A%2B%2C%3B%3D%20%25%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {std::string(49, 'x') + "\xF0\x9F\x98\x80", std::string(49, 'x') + "%F0%9F%98%80"},
        {"", ""},
    };
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(HTPercentEscapedStringFromString(text), escaped) << text;
    }
}

TEST(QueryStringTest, FlattensNestedParametersInKeyOrder) {
    const std::pair<Json, std::string> cases[] = {
        {{{"b", 1}, {"a", {"x", "y"}}, {"c", {{"e", nullptr}, {"d", "v w"}}}},
         "a%5B%5D=x&a%5B%5D=y&b=1&c%5Bd%5D=v%20w&c%5Be%5D"},
        // Byte order: upper case before lower case, "10" before "9".
        {{{"a", 1}, {"B", 2}, {"9", 3}, {"10", 4}}, "10=4&9=3&B=2&a=1"},
        {{{"t", true}, {"f", false}}, "f=0&t=1"},
        {{{"d", 0.1},
          {"e", 1.0},
          {"g", -2.5e-7},
          {"h", 1e21},
          {"i", -42},
          {"u", 18446744073709551615u}},
         "d=0.1&e=1&g=-2.5e-07&h=1e%2B21&i=-42&u=18446744073709551615"},
        {{{"deep", {{"x", {{"y", {1, {{"z", "q"}}}}}}}}},
         "deep%5Bx%5D%5By%5D%5B%5D=1&deep%5Bx%5D%5By%5D%5B%5D%5Bz%5D=q"},
        {{{"empty", Json::object()}, {"none", Json::array()}, {"s", ""}}, "s="},
        {Json::object(), ""},
        {nullptr, ""},
    };
    for (const auto& [parameters, query] : cases) {
        EXPECT_EQ(HTQueryStringFromParameters(parameters), query) << parameters.dump();
    }
}

TEST(QueryStringTest, IndependentParserReadsBackEveryPair) {
    Json parameters = {{"name", "J\xC3\xBCrgen & Co = 100% \"ok\""},
                       {"list", {"a+b", "c;d", "\xF0\x9F\x98\x80"}},
                       {"nested", {{"k#1", "v?/x"}, {"flag", true}}},
                       {"pi", 3.14159},
                       {"blank", nullptr}};
    Json parsed = parsedByPython(HTQueryStringFromParameters(parameters));
    ASSERT_TRUE(parsed.is_array());

    Json expected = Json::array();
    for (const auto& pair : HTQueryStringPairsFromDictionary(parameters)) {
        expected.push_back({pair.field, HTQueryStringDescription(pair.value)});
    }
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(parsed[0], Json({"blank", ""}));
    EXPECT_EQ(parsed[1], Json({"list[]", "a+b"}));
    EXPECT_EQ(parsed[5], Json({"nested[flag]", "1"}));

    // The same pairs travel in a form body and in a URL query.
    auto serializer = HTHTTPRequestSerializer::serializer();
    auto post = serializer->requestWithMethod("POST", "https://h/p", parameters);
    EXPECT_EQ(parsedByPython(toString(*post->httpBody)), expected);
    auto get = serializer->requestWithMethod("GET", "https://h/p#frag", parameters);
    ASSERT_TRUE(get->url.query());
    EXPECT_EQ(parsedByPython(*get->url.query()), expected);
    EXPECT_EQ(get->url.fragment(), "frag");
}
