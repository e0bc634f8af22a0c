// Documents from a hostile or broken server (or a tampered file) that nest far deeper than any real
// document: each parser refuses them with an error instead of overflowing the stack later, when the
// value is copied, compared or walked.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/Files.h"
#include "platform/KeyedArchiver.h"
#include "platform/PropertyList.h"
#include "quarra/Result.h"
#include "platform/XmlParser.h"
#include "sso/SSOServiceDiscovery.h"
#include "support/TestSupport.h"
#include "transport/HTJSONResponseSerializer.h"
#include "transport/HTPropertyListResponseSerializer.h"

using namespace quarra;

namespace {

constexpr int kHostileDepth = 150000;

std::string repeat(std::string_view piece, int times) {
    std::string out;
    out.reserve(piece.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::string deepJson(int depth) {
    return repeat("[", depth) + repeat("]", depth);
}

std::string deepPlist(int depth) {
    return "<?xml version=\"1.0\"?><plist>" + repeat("<array>", depth) + repeat("</array>", depth) +
           "</plist>";
}

HttpResponsePtr response(const char* contentType) {
    HttpHeaders headers{{"Content-Type", contentType}};
    return std::make_shared<HttpResponse>(*Url::parse("https://h/api"), 200, headers);
}

// Returns the error the parser reported for `text`; the value it made must be none.
using Parser = std::function<ErrorPtr(const std::string& text)>;

ErrorPtr jsonReply(const std::string& text, bool removeNulls) {
    auto serializer = HTJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues(removeNulls);
    auto [object, error] =
        serializer->responseObjectForResponse(response("application/json"), toBytes(text));
    EXPECT_FALSE(object.has_value());
    return error;
}

}  // namespace

TEST(HostileInputTest, DeepNestingIsAnErrorNeverACrash) {
    test::TempDir dir;
    struct Case {
        const char* name;
        std::string document;
        Parser parse;
    };
    const Case cases[] = {
        {"JSON reply", deepJson(kHostileDepth),
         [](const std::string& text) { return jsonReply(text, false); }},
        {"JSON reply without nulls", "{\"a\":" + deepJson(kHostileDepth) + "}",
         [](const std::string& text) { return jsonReply(text, true); }},
        {"discovery document", "{\"issuer\":" + deepJson(kHostileDepth) + "}",
         [](const std::string& text) { return SSOServiceDiscovery::fromJSON(text).error(); }},
        {"property list reply", deepPlist(kHostileDepth),
         [](const std::string& text) {
             auto [object, error] =
                 HTPropertyListResponseSerializer::serializer()->responseObjectForResponse(
                     response("application/x-plist"), toBytes(text));
             EXPECT_FALSE(object.has_value());
             return error;
         }},
        {"XML", deepPlist(kHostileDepth),
         [](const std::string& text) {
             XmlParser parser(toBytes(text));
             XmlParserDelegate delegate;
             parser.setDelegate(&delegate);
             EXPECT_FALSE(parser.parse());
             EXPECT_EQ(parser.parserError()->code(), XmlParserTooDeepError);
             return parser.parserError();
         }},
        {"keyed archive file",
         R"({"$archiver":"KeyedArchiver","$version":1,"$root":{"$class":"X","v":)" +
             deepJson(kHostileDepth) + "}}",
         [&dir](const std::string& text) {
             auto file = dir.path() / "archive";
             EXPECT_EQ(files::writeAtomically(file, text), nullptr);
             ErrorPtr error = KeyedUnarchiver::readDocument(file).error();
             EXPECT_TRUE(error && error->code() == KeyedArchiveCorrupt);
             return error;
         }},
    };
    for (const auto& c : cases) {
        ErrorPtr error = c.parse(c.document);
        ASSERT_NE(error, nullptr) << c.name;
    }
}

TEST(HostileInputTest, NestingWithinTheLimitStillParses) {
    // A limit far below real documents' nesting would break them; the limit must count only
    // brackets outside strings.
    std::string json = "[\"[[[[[[\"," + deepJson(static_cast<int>(JsonMaxDepth) - 1) + "]";
    auto value = parseJson(json);
    ASSERT_TRUE(value);
    EXPECT_FALSE(parseJson(deepJson(static_cast<int>(JsonMaxDepth) + 1)));

    auto plist = propertyListFromData(toBytes(deepPlist(XmlMaxDepth - 1)));
    ASSERT_TRUE(plist) << plist.error()->description();
    EXPECT_FALSE(propertyListFromData(toBytes(deepPlist(XmlMaxDepth + 1))));

    // Writing refuses what reading would refuse.
    Json deep = Json::array();
    for (int i = 0; i < XmlMaxDepth + 1; ++i)
        deep = Json::array({std::move(deep)});
    EXPECT_FALSE(propertyListData(deep, PropertyListXMLFormat));
}
