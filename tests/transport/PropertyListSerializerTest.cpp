#include <gtest/gtest.h>
#include <stdio.h>

#include "support/TestSupport.h"
#include "transport/HTCompoundResponseSerializer.h"
#include "transport/HTJSONResponseSerializer.h"
#include "transport/HTPropertyListRequestSerializer.h"
#include "transport/HTPropertyListResponseSerializer.h"
#include "transport/HTXMLParserResponseSerializer.h"

using namespace quarra;

namespace {

HttpResponsePtr plistResponse(int status, const char* contentType) {
    return std::make_shared<HttpResponse>(*Url::parse("https://h/x"), status,
                                          HttpHeaders{{"Content-Type", contentType}});
}

// The document as Debian's own Python reads it, turned into JSON (data as a list of byte values).
Json readByPython(const Bytes& document) {
    test::TempDir dir;
    test::writeFile(dir / "plist", toString(document));
    std::string command =
        "/usr/bin/python3 -c 'import json,plistlib,sys; "
        "print(json.dumps(plistlib.load(open(sys.argv[1], \"rb\")), "
        "default=lambda b: list(b)))' " +
        (dir / "plist").string();
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe))
        out.append(buffer, n);
    return pclose(pipe) == 0 ? Json::parse(out) : Json();
}

}  // namespace

TEST(PropertyListSerializerTest, BodyIsAPropertyListAnIndependentReaderAccepts) {
    auto serializer = HTPropertyListRequestSerializer::serializer();
    Json parameters = {{"name", "<J\xC3\xBCrgen & Co>"},
                       {"count", -3},
                       {"ratio", 0.25},
                       {"flags", {true, false}},
                       {"nested", {{"empty", Json::object()}, {"list", Json::array()}}},
                       {"blob", Json::binary({0, 1, 255})}};
    auto request = serializer->requestWithMethod("POST", "https://h/", parameters);
    ASSERT_TRUE(request && request->httpBody);
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-plist");

    Json expected = parameters;
    expected["blob"] = {0, 1, 255};
    EXPECT_EQ(readByPython(*request->httpBody), expected);

    // Our own reader gives the parameters back, data included.
    auto decoded = HTPropertyListResponseSerializer::serializer()->responseObjectForResponse(
        plistResponse(200, "application/x-plist"), *request->httpBody);
    EXPECT_EQ(std::any_cast<Json>(decoded.responseObject), parameters);

    auto get = serializer->requestWithMethod("GET", "https://h/", {{"a", 1}});
    EXPECT_EQ(get->url.string(), "https://h/?a=1");
    EXPECT_FALSE(serializer->requestWithMethod("POST", "https://h/", nullptr)->httpBody);

    EXPECT_FALSE(serializer->requestWithMethod("POST", "https://h/", {{"none", nullptr}}));
    EXPECT_FALSE(HTPropertyListRequestSerializer::serializerWithFormat(200, 0)->requestWithMethod(
        "POST", "https://h/", {{"a", 1}}));
}

TEST(PropertyListSerializerTest, ResponseSerializerValidatesAndReportsBadDocuments) {
    auto serializer = HTPropertyListResponseSerializer::serializer();
    const std::string plist =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><integer>1</integer>"
        "<key>d</key><date>2020-01-02T03:04:05Z</date></dict></plist>";
    auto [object, error] =
        serializer->responseObjectForResponse(plistResponse(404, "application/x-plist"), toBytes(plist));
    EXPECT_EQ(std::any_cast<Json>(object), Json({{"a", 1}, {"d", "2020-01-02T03:04:05Z"}}));
    EXPECT_TRUE(error && error->code() == -1011);

    for (const char* bad :
         {"<plist><dict><integer>1</integer></dict></plist>", "<plist><integer>x</integer></plist>",
          "<plist><dict>", "{\"a\":1}", "<plist><blink/></plist>"}) {
        auto refused = serializer->responseObjectForResponse(plistResponse(200, "application/x-plist"),
                                                             toBytes(bad));
        EXPECT_FALSE(refused.responseObject.has_value()) << bad;
        EXPECT_TRUE(refused.error) << bad;
    }
    EXPECT_FALSE(serializer->responseObjectForResponse(plistResponse(200, "text/html"), toBytes(plist))
                     .responseObject.has_value());
}

TEST(PropertyListSerializerTest, CompoundHandsAnXmlBodyToTheXmlParser) {
    auto compound = HTCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {HTJSONResponseSerializer::serializer(), HTXMLParserResponseSerializer::serializer()});
    auto [object, error] = compound->responseObjectForResponse(
        plistResponse(200, "text/xml"), toBytes("<doc><item id=\"1\">one</item><item/></doc>"));
    EXPECT_FALSE(error);
    auto parser = std::any_cast<std::shared_ptr<XmlParser>>(object);

    struct Collector : XmlParserDelegate {
        std::vector<std::string> events;
        void didStartElement(XmlParser&, const std::string& name,
                             const std::map<std::string, std::string>& attributes) override {
            events.push_back("<" + name +
                             (attributes.count("id") ? " " + attributes.at("id") : "") + ">");
        }
        void foundCharacters(XmlParser&, const std::string& text) override {
            events.push_back(text);
        }
        void didEndElement(XmlParser&, const std::string& name) override {
            events.push_back("</" + name + ">");
        }
    } collector;
    parser->setDelegate(&collector);
    ASSERT_TRUE(parser->parse());
    EXPECT_EQ(collector.events, (std::vector<std::string>{"<doc>", "<item 1>", "one", "</item>",
                                                          "<item>", "</item>", "</doc>"}));

    XmlParser broken(toBytes("<a><b></a>"));
    EXPECT_FALSE(broken.parse());
    EXPECT_TRUE(broken.parserError());
}
