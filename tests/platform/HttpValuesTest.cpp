#include <gtest/gtest.h>

#include "quarra/HttpResponse.h"
#include "quarra/UrlRequest.h"

namespace quarra {
namespace {

TEST(UrlRequest, HeaderFieldsIgnoreLetterCase) {
    UrlRequest request(*Url::parse("https://example.test/"));
    request.setValue("text/plain", "Content-Type");
    request.setValue("application/json", "content-type");
    EXPECT_EQ(request.valueForHTTPHeaderField("CONTENT-TYPE"), "application/json");
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers.begin()->first, "Content-Type");
    request.addValue("b", "Accept");
    request.addValue("c", "accept");
    EXPECT_EQ(request.valueForHTTPHeaderField("Accept"), "b, c");
    request.setValue(std::nullopt, "ACCEPT");
    EXPECT_FALSE(request.valueForHTTPHeaderField("Accept"));
}

TEST(HttpResponse, DerivesTypeEncodingAndLength) {
    struct Case {
        HttpHeaders headers;
        std::string mimeType, encoding;
        std::int64_t length;
    } cases[] = {
        {{{"content-type", "Application/JSON; Charset=\"UTF-8\""}, {"Content-Length", "12"}},
         "application/json",
         "utf-8",
         12},
        {{{"Content-Type", "text/html;q=1; charset=iso-8859-1 "}}, "text/html", "iso-8859-1", -1},
        {{{"Content-Length", "12x"}}, "", "", -1},
        {{{"Content-Length", "-4"}}, "", "", -1},
    };
    for (const Case& c : cases) {
        HttpResponse response(*Url::parse("https://example.test/"), 200, c.headers);
        EXPECT_EQ(response.mimeType, c.mimeType);
        EXPECT_EQ(response.textEncodingName, c.encoding);
        EXPECT_EQ(response.expectedContentLength, c.length);
    }
}

}  // namespace
}  // namespace quarra
