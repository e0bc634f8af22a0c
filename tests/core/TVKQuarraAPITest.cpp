// The public facade: each call reaches the right endpoint with the right method, query and
// encoding, and the request objects describe what they promise.
#include "quarra/TVKQuarraAPI.h"

#include <gtest/gtest.h>

#include "core/TVKQuarraConfigurationManager.h"
#include "quarra/TVKErrors.h"
#include "quarra/TVKQuarraServerDocumentsSearchRequest.h"
#include "quarra/TVKQuarraServerDocumentsViewRequest.h"
#include "support/SignInTestBed.h"
#include "support/TestSupport.h"

namespace quarra {
namespace {

using test::Outcome;
using test::QuarraTestService;
using test::SignInTestBed;

TVKQuarraAPI& api() {
    return TVKQuarraAPI::sharedInstance();
}

TEST(TVKQuarraAPITest, EveryCallReachesItsEndpointWithItsMethodQueryAndEncoding) {
    SignInTestBed bed;
    bed.signIn();
    test::TempDir dir;
    test::writeFile(dir / "v2.txt", "version two");
    const Url file = Url::fileUrl(dir / "v2.txt");
    auto quarra = bed.quarra(SignInTestBed::FirstQuarra);
    const Json fields = {{"name", "a b"}};
    using Call = std::function<void(TVKQuarraRequestHandler)>;
    struct Case {
        const char* what;
        Call call;
        std::string method;
        std::string endpoint;  // decoded
        std::string query;
        std::string contentType;  // of the body; empty for none
    } cases[] = {
        {"get", [&](auto h) { api().getDocument(42, quarra, h); }, "GET", "objects/documents/42",
         "", ""},
        {"64-bit id", [&](auto h) { api().getDocument(9223372036854775813ULL, quarra, h); }, "GET",
         "objects/documents/9223372036854775813", "", ""},
        {"create", [&](auto h) { api().createDocumentWithFields(fields, quarra, h); }, "POST",
         "objects/documents", "", "application/x-www-form-urlencoded"},
        {"update", [&](auto h) { api().updateDocument(42, fields, quarra, h); }, "PUT",
         "objects/documents/42", "", "application/x-www-form-urlencoded"},
        {"create with file",
         [&](auto h) { api().createDocumentWithFields(fields, quarra, file, false, nullptr, h); },
         "POST", "objects/documents", "", "multipart/form-data"},
        {"new version",
         [&](auto h) { api().updateDocument(42, fields, quarra, file, false, nullptr, h); }, "POST",
         "objects/documents/42", "", "multipart/form-data"},
        {"type", [&](auto h) { api().getDocumentType("Q&A? #1", quarra, h); }, "GET",
         "metadata/objects/documents/types/Q&A? #1", "", ""},
        {"properties", [&](auto h) { api().getDocumentProperties(7, quarra, h); }, "GET",
         "metadata/objects/documents/properties", "docIds=7", ""},
        {"search",
         [&](auto h) {
             api().query(
                 TVKQuarraServerDocumentsSearchRequest({"alpha", "beta"}, quarra, {{"limit", 5}}),
                 h);
         },
         "GET", "objects/documents", "limit=5&search=alpha%20beta", ""},
        {"view", [&](auto h) { api().query(TVKQuarraServerDocumentsViewRequest(3, quarra), h); },
         "GET", "objects/documents", "named_filter=Recent%20Documents", ""},
        {"JSON",
         [&](auto h) {
             api().requestQuarraEndpoint("objects/notes", quarra, TVKQuarraRequestMethodPOST,
                                         fields, TVKQuarraParameterEncodingJSON, h);
         },
         "POST", "objects/notes", "", "application/json"},
    };
    for (const Case& c : cases) {
        // Not apiPath(): the decoded endpoint may hold a "?" of its own.
        std::string path = bed.service.apiPath("") + c.endpoint;
        bed.first.reply(path, QuarraTestService::success({{"ok", true}}));
        bed.first.clearRequests();
        Outcome outcome;
        c.call(outcome.requestHandler());
        ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, std::chrono::seconds(30)))
            << c.what;
        ASSERT_FALSE(outcome.error) << c.what << ": " << outcome.error->localizedDescription();
        EXPECT_EQ(outcome.response["ok"], true) << c.what;
        auto sent = bed.first.requests(path);
        ASSERT_EQ(sent.size(), 1u) << c.what;
        EXPECT_EQ(sent[0].method, c.method) << c.what;
        EXPECT_EQ(sent[0].query, c.query) << c.what;
        EXPECT_TRUE(sent[0].header("Content-Type").starts_with(c.contentType))
            << c.what << ": " << sent[0].header("Content-Type");
    }
}

TEST(TVKQuarraAPITest, CallsWithoutHandlerStillHappen) {
    SignInTestBed bed;
    bed.signIn();
    test::TempDir dir;
    test::writeFile(dir / "a.txt", "a");
    auto quarra = bed.quarra(SignInTestBed::FirstQuarra);
    bed.first.reply(bed.service.apiPath("objects/documents/1"), QuarraTestService::success());
    bed.first.reply(bed.service.apiPath("objects/documents"), QuarraTestService::success());
    api().getDocument(1, quarra, nullptr);
    api().createDocumentWithFields({}, quarra, Url::fileUrl(dir / "a.txt"), false, nullptr,
                                   nullptr);
    api().setBackgroundUploadResultHandler(nullptr);
    // Both reach the server; the upload ends with its body file gone.
    auto uploads = TVKQuarraConfigurationManager::sharedInstance().uploadsDirectory();
    ASSERT_TRUE(runMainUntil(
        [&] {
            return bed.count("objects/documents/1") == 1 && bed.count("objects/documents") == 1 &&
                   std::filesystem::is_empty(uploads);
        },
        std::chrono::seconds(30)));
}

// What a handler receives when the reply is not the server's JSON: domains and codes a host can
// compare against (quarra/TVKErrors.h), with the HTTP status where a reply was the cause.
TEST(TVKQuarraAPITest, FailuresCarryPublicDomainsAndTheHTTPStatus) {
    SignInTestBed bed;
    bed.signIn();
    auto quarra = bed.quarra(SignInTestBed::FirstQuarra);
    auto text = [](int status, const char* contentType) {
        test::Reply reply = test::Reply::json("not the server's JSON", status);
        reply.contentType = contentType;
        return reply;
    };
    test::Reply dropped;
    dropped.dropConnection = true;
    struct Case {
        const char* what;
        test::Reply reply;
        const char* domain;
        long code;
        std::optional<long> status;
    } cases[] = {
        {"404", text(404, "text/plain"), HTURLResponseSerializationErrorDomain,
         URLErrorBadServerResponse, 404},
        // The body's own failure comes first; the status is beneath it.
        {"503", text(503, "application/json"), HTJSONReadingErrorDomain, HTJSONReadingCorruptError,
         503},
        {"HTML", text(200, "text/html"), HTURLResponseSerializationErrorDomain,
         URLErrorCannotDecodeContentData, 200},
        {"no JSON", text(200, "application/json"), HTJSONReadingErrorDomain,
         HTJSONReadingCorruptError, std::nullopt},
        {"dropped", dropped, URLErrorDomain, URLErrorNetworkConnectionLost, std::nullopt},
    };
    for (const Case& c : cases) {
        bed.first.reply(bed.service.apiPath("objects/failing"), c.reply);
        Outcome outcome;
        api().requestQuarraEndpoint("objects/failing", quarra, TVKQuarraRequestMethodGET, {},
                                    TVKQuarraParameterEncodingFormURL, outcome.requestHandler());
        ASSERT_TRUE(runMainUntil([&] { return outcome.calls > 0; }, std::chrono::seconds(30)))
            << c.what;
        ASSERT_TRUE(outcome.error) << c.what;
        EXPECT_TRUE(outcome.error->is(c.domain, c.code))
            << c.what << ": " << outcome.error->description();
        EXPECT_EQ(TVKHTTPStatusCode(outcome.error), c.status) << c.what;
    }
    EXPECT_EQ(TVKHTTPStatusCode(nullptr), std::nullopt);
}

TEST(TVKQuarraServerRequestTest, RequestObjectsDescribeTheirCall) {
    auto quarra = std::make_shared<TVKQuarra>(1, "q", "127.0.0.1:1");
    Json extra = {{"limit", 5}};
    TVKQuarraServerDocumentsSearchRequest search({"alpha", "beta"}, quarra, extra);
    extra["limit"] = 6;
    EXPECT_EQ(search.parameters(), Json({{"limit", 5}, {"search", "alpha beta"}}));
    EXPECT_EQ(search.endpoint(), "objects/documents");
    EXPECT_EQ(search.method(), TVKQuarraRequestMethodGET);
    EXPECT_EQ(search.parameterEncoding(), TVKQuarraParameterEncodingFormURL);
    EXPECT_FALSE(TVKQuarraServerDocumentsSearchRequest({}, quarra).parameters().contains("search"));

    std::pair<long, Json> views[] = {{1, "My Documents"}, {2, "Favorites"}, {3, "Recent Documents"},
                                     {4, "Cart"},         {0, nullptr},     {5, nullptr}};
    for (const auto& [code, name] : views) {
        TVKQuarraServerDocumentsViewRequest view(code, quarra, {{"named_filter", "stale"}});
        EXPECT_EQ(view.parameters().value("named_filter", Json()), name) << code;
    }
}

}  // namespace
}  // namespace quarra
