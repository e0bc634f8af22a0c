#include <gtest/gtest.h>

#include "transport/HTCompoundResponseSerializer.h"
#include "transport/HTJSONResponseSerializer.h"

using namespace quarra;

namespace {

HttpResponsePtr response(int status, const char* contentType, const char* url = "https://h/api") {
    HttpHeaders headers;
    if (contentType)
        headers["Content-Type"] = contentType;
    return std::make_shared<HttpResponse>(url ? *Url::parse(url) : Url(), status, headers);
}

const Json* asJson(const std::any& object) {
    return std::any_cast<Json>(&object);
}

}  // namespace

TEST(ResponseSerializerTest, JsonSerializerDecodesAndValidates) {
    auto serializer = HTJSONResponseSerializer::serializer();
    struct Case {
        const char* name;
        int status;
        const char* type;
        std::string body;
        Json object;  // discarded: none
        long code;    // 0: no error
        long underlyingCode;
    };
    const Json none(Json::value_t::discarded);
    const Case cases[] = {
        {"ok", 200, "application/json", R"({"a":1})", {{"a", 1}}, 0, 0},
        {"charset ignored", 200, "application/json; charset=utf-8", "[1]", {1}, 0, 0},
        {"text/javascript", 299, "text/javascript", "[]", Json::array(), 0, 0},
        {"no content", 204, nullptr, "", none, 0, 0},
        {"html", 200, "text/html", "<p>x</p>", none, -1016, 0},
        {"html without body", 200, "text/html", "", none, 0, 0},
        {"json error reply", 404, "application/json", R"({"e":"gone"})", {{"e", "gone"}}, -1011, 0},
        {"server html", 500, "text/html", "<p>x</p>", none, -1011, -1016},
        {"one space", 200, "application/json", " ", none, 0, 0},
        {"invalid json", 200, "application/json", "{nope", none, 3840, 0},
        {"invalid json with 404", 404, "application/json", "{nope", none, 3840, -1011},
        {"fragment refused", 200, "application/json", "\"text\"", none, 3840, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto [object, error] =
            serializer->responseObjectForResponse(response(c.status, c.type), toBytes(c.body));
        if (c.object.is_discarded()) {
            EXPECT_FALSE(object.has_value());
        } else {
            ASSERT_TRUE(asJson(object));
            EXPECT_EQ(*asJson(object), c.object);
        }
        EXPECT_EQ(error ? error->code() : 0, c.code);
        EXPECT_EQ(error && error->underlyingError() ? error->underlyingError()->code() : 0,
                  c.underlyingCode);
    }
}

TEST(ResponseSerializerTest, ValidationErrorsDescribeTheResponse) {
    auto serializer = HTJSONResponseSerializer::serializer();
    ErrorPtr error =
        serializer->responseObjectForResponse(response(200, "text/html"), toBytes("<p>")).error;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), HTURLResponseSerializationErrorDomain);
    EXPECT_EQ(error->localizedDescription(),
              "Request failed: unacceptable content-type: text/html");
    EXPECT_EQ(error->userInfo()[HTNetworkingOperationFailingURLResponseDataErrorKey].get_binary(),
              toBytes("<p>"));
    EXPECT_EQ(jsonString(error->userInfo(), FailingURLErrorKey), "https://h/api");
    EXPECT_EQ(error->userInfo()[HTNetworkingOperationFailingURLResponseErrorKey]["statusCode"],
              200);

    error = serializer->responseObjectForResponse(response(404, "application/json"), toBytes("{}"))
                .error;
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    EXPECT_TRUE(HTErrorOrUnderlyingErrorHasCodeInDomain(HTErrorWithUnderlyingError(
        Error::make("x", 1), Error::make(HTURLResponseSerializationErrorDomain, -1016))));
    EXPECT_FALSE(HTErrorOrUnderlyingErrorHasCodeInDomain(error));
}

TEST(ResponseSerializerTest, WithoutUrlOrResponseNothingIsHeldAgainstTheReply) {
    auto serializer = HTJSONResponseSerializer::serializer();
    // No URL: neither the status nor the type gives an error, so decoding goes on.
    for (const auto& reply : {response(500, "application/json", nullptr),
                              response(200, "text/html", nullptr), HttpResponsePtr()}) {
        auto [object, error] = serializer->responseObjectForResponse(reply, toBytes("[2]"));
        ASSERT_TRUE(asJson(object));
        EXPECT_EQ(*asJson(object), Json({2}));
        EXPECT_FALSE(error);
    }
}

TEST(ResponseSerializerTest, BaseSerializerHandsBackTheBodyAndSwitchesTestsOff) {
    auto serializer = HTHTTPResponseSerializer::serializer();
    auto [object, error] =
        serializer->responseObjectForResponse(response(404, "text/html"), toBytes("b"));
    EXPECT_EQ(std::any_cast<Bytes>(object), toBytes("b"));
    EXPECT_TRUE(error && error->code() == -1011);

    serializer->setAcceptableStatusCodes(std::nullopt);
    EXPECT_EQ(serializer->validateResponse(response(999, "x/y"), toBytes("b")), true);
    serializer->setAcceptableContentTypes(std::set<std::string>{"image/png"});
    auto copy = serializer->copy();
    EXPECT_FALSE(copy->validateResponse(response(200, "x/y"), toBytes("b")));
    EXPECT_EQ(copy->validateResponse(response(200, "image/png"), toBytes("b")), true);
    // Unacceptable, but with no error to give: a wrong type without a URL, or without a body.
    EXPECT_EQ(copy->validateResponse(response(200, "x/y", nullptr), toBytes("b")), false);
    EXPECT_EQ(copy->validateResponse(response(200, "x/y"), {}), false);
}

TEST(ResponseSerializerTest, RemovesNullMembersAtEveryDepth) {
    Json object = Json::parse(R"({"a": null, "b": [null, {"c": null, "d": 1}], "e": {"f": null}})");
    EXPECT_EQ(HTJSONObjectByRemovingKeysWithNullValues(object),
              Json::parse(R"({"b": [null, {"d": 1}], "e": {}})"));

    auto serializer = HTJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues(true);
    auto copy = serializer->copy();
    EXPECT_EQ(*asJson(copy->responseObjectForResponse(response(200, "application/json"),
                                                      toBytes(R"({"a":null,"b":2})"))
                          .responseObject),
              Json({{"b", 2}}));
}

TEST(ResponseSerializerTest, CompoundSerializerAnswersWithTheFirstObject) {
    auto textOnly = HTHTTPResponseSerializer::serializer();
    textOnly->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
    auto compound = HTCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {HTJSONResponseSerializer::serializer(), textOnly});

    auto json =
        compound->responseObjectForResponse(response(200, "application/json"), toBytes("[1]"));
    EXPECT_EQ(*asJson(json.responseObject), Json({1}));
    EXPECT_FALSE(json.error);

    // The JSON member refuses the type, the next one takes the body.
    auto text = compound->responseObjectForResponse(response(200, "text/plain"), toBytes("hi"));
    EXPECT_EQ(std::any_cast<Bytes>(text.responseObject), toBytes("hi"));
    EXPECT_FALSE(text.error);

    // A 404 JSON reply: the JSON member's object with its error.
    auto failed =
        compound->responseObjectForResponse(response(404, "application/json"), toBytes("[1]"));
    ASSERT_TRUE(asJson(failed.responseObject));
    EXPECT_EQ(*asJson(failed.responseObject), Json({1}));
    EXPECT_TRUE(failed.error && failed.error->code() == -1011);
}

TEST(ResponseSerializerTest, ArchiveKeepsAcceptableSetsAndMembers) {
    auto json = HTJSONResponseSerializer::serializer();
    json->setRemovesKeysWithNullValues(true);
    auto plain = HTHTTPResponseSerializer::serializer();
    plain->setAcceptableStatusCodes(std::nullopt);
    plain->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
    auto compound =
        HTCompoundResponseSerializer::compoundSerializerWithResponseSerializers({json, plain});

    std::vector<KeyedUnarchiver::AllowedClass> allowed = {
        KeyedUnarchiver::allow<HTCompoundResponseSerializer>(),
        KeyedUnarchiver::allow<HTJSONResponseSerializer>(),
        KeyedUnarchiver::allow<HTHTTPResponseSerializer>()};
    auto result = KeyedUnarchiver::unarchivedObject<HTCompoundResponseSerializer>(
        KeyedArchiver::archivedDocument(*compound), allowed);
    ASSERT_TRUE(result) << result.error()->description();
    auto decoded = *result;
    ASSERT_EQ(decoded->responseSerializers().size(), 2u);
    auto members = decoded->responseSerializers();
    auto decodedJson = std::dynamic_pointer_cast<HTJSONResponseSerializer>(members[0]);
    ASSERT_TRUE(decodedJson);
    EXPECT_TRUE(decodedJson->removesKeysWithNullValues());
    EXPECT_EQ(decodedJson->acceptableContentTypes(), json->acceptableContentTypes());
    EXPECT_FALSE(members[1]->acceptableStatusCodes());
    EXPECT_EQ(members[1]->acceptableContentTypes(), plain->acceptableContentTypes());
    EXPECT_EQ(decoded->acceptableStatusCodes(), compound->acceptableStatusCodes());

    // Members of a class the caller did not allow fail the whole decoding.
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject<HTCompoundResponseSerializer>(
        KeyedArchiver::archivedDocument(*compound), {allowed[0], allowed[2]}));
}
