#include "transport/HTStreamingMultipartFormData.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>

#include "platform/Files.h"
#include "quarra/RunLoop.h"
#include "support/TestSupport.h"
#include "transport/HTHTTPRequestSerializer.h"

namespace quarra {
namespace {

using test::TempDir;

const std::string kBoundary = "Boundary+0123ABCD89EF4567";

UrlRequest postRequest() {
    UrlRequest request(*Url::parse("https://127.0.0.1/upload"));
    request.httpMethod = "POST";
    return request;
}

// Everything the stream yields, read `chunk` bytes at a time; fails the test on a read error.
std::string readAll(InputStream& stream, std::size_t chunk) {
    EXPECT_TRUE(stream.open());
    std::string out;
    std::vector<std::uint8_t> buffer(chunk);
    for (;;) {
        long n = stream.read(buffer.data(), buffer.size());
        EXPECT_GE(n, 0) << (stream.error() ? stream.error()->description() : "");
        if (n <= 0)
            break;
        out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    stream.close();
    return out;
}

// A stream that yields `data`, then fails or ends as told; with `silentEnd` it ends by answering 0
// for ever, as a stream that never reports its end otherwise would.
class ScriptedStream final : public InputStream {
  public:
    ScriptedStream(std::string data, bool failAfter) : data_(std::move(data)), fail_(failAfter) {}
    bool open() override { return true; }
    long read(std::uint8_t* buffer, std::size_t length) override {
        ++reads_;
        if (offset_ == data_.size()) {
            if (!fail_)
                return 0;
            error_ = Error::make("test", 5, "disk went away");
            return -1;
        }
        std::size_t n = std::min(length, data_.size() - offset_);
        std::memcpy(buffer, data_.data() + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    void close() override {}
    ErrorPtr error() const override { return error_; }
    int reads() const { return reads_; }

  private:
    std::string data_;
    bool fail_;
    std::size_t offset_ = 0;
    int reads_ = 0;
    ErrorPtr error_;
};

TEST(MultipartFormData, SingleFieldMatchesTheWireFormatByteForByte) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    UrlRequest request = form.requestByFinalizingMultipartFormData();

    const std::string expected =
        "--Boundary+0123ABCD89EF4567\r\n"                 // 29
        "Content-Disposition: form-data; name=\"a\"\r\n"  // 42
        "\r\n"                                            // 2
        "1"                                               // 1
        "\r\n--Boundary+0123ABCD89EF4567--\r\n";          // 33
    ASSERT_EQ(expected.size(), 107u);
    EXPECT_EQ(readAll(*request.httpBodyStream, 4096), expected);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), "107");
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Type"),
              "multipart/form-data; boundary=Boundary+0123ABCD89EF4567");
    EXPECT_FALSE(request.httpBody);
}

TEST(MultipartFormData, LaterPartsGetEncapsulationBoundariesAndOnlyTheLastTheFinalOne) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    form.appendPartWithFileData(toBytes("xyz"), "f", "f.txt", "text/plain");
    UrlRequest request = form.requestByFinalizingMultipartFormData();

    const std::string second =
        "\r\n--Boundary+0123ABCD89EF4567\r\n"  // 31
        "Content-Disposition: form-data; name=\"f\"; filename=\"f.txt\"\r\n"
        "Content-Type: text/plain\r\n"
        "\r\n"
        "xyz";
    const std::string expected =
        "--Boundary+0123ABCD89EF4567\r\n"
        "Content-Disposition: form-data; name=\"a\"\r\n\r\n1" +
        second + "\r\n--Boundary+0123ABCD89EF4567--\r\n";
    EXPECT_EQ(readAll(*request.httpBodyStream, 4096), expected);
    EXPECT_EQ(request.valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(expected.size(), 107u - 1 + 1 + second.size());
}

TEST(MultipartFormData, FormWithoutPartsLeavesTheRequestAsItWas) {
    UrlRequest original = postRequest();
    original.httpBody = toBytes("");
    original.setValue("application/x-www-form-urlencoded", "Content-Type");
    HTStreamingMultipartFormData form(original, 4);
    UrlRequest request = form.requestByFinalizingMultipartFormData();
    EXPECT_FALSE(request.httpBodyStream);
    EXPECT_EQ(request.httpBody, Bytes());
    EXPECT_EQ(request.headers, original.headers);
}

TEST(MultipartFormData, EachFormDrawsItsOwnBoundaryAndItsPartsShareIt) {
    std::regex shape("Boundary\\+[0-9A-F]{16}");
    std::string a = HTCreateMultipartFormBoundary(), b = HTCreateMultipartFormBoundary();
    EXPECT_TRUE(std::regex_match(a, shape)) << a;
    EXPECT_NE(a, b);

    HTStreamingMultipartFormData form(postRequest(), 4);
    form.appendPartWithFormData(toBytes("1"), "a");
    form.appendPartWithFormData(toBytes("2"), "b");
    for (const auto& part : form.bodyStream()->HTTPBodyParts())
        EXPECT_EQ(part->boundary, form.boundary());
}

TEST(MultipartFormData, SmallBuffersYieldTheSameBytesAsOneLargeRead) {
    TempDir dir;
    std::string fileContents(5000, '\0');
    for (std::size_t i = 0; i < fileContents.size(); ++i)
        fileContents[i] = static_cast<char>(i * 7);
    test::writeFile(dir / "data.bin", fileContents);

    auto makeBody = [&] {
        HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
        form.appendPartWithFormData(toBytes("value"), "field");
        EXPECT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "data.bin"), "file"), nullptr);
        form.appendPartWithInputStream(std::make_shared<ScriptedStream>("streamed", false), "s",
                                       "s.txt", 8, "text/plain");
        form.appendPartWithFormData({}, "empty");
        return form.requestByFinalizingMultipartFormData();
    };
    UrlRequest large = makeBody();
    std::string whole = readAll(*large.httpBodyStream, 1 << 20);
    EXPECT_EQ(whole.size(), std::stoull(*large.valueForHTTPHeaderField("Content-Length")));
    EXPECT_NE(whole.find(fileContents), std::string::npos);
    for (std::size_t chunk : {1, 10, 29, 31}) {
        UrlRequest small = makeBody();
        EXPECT_EQ(readAll(*small.httpBodyStream, chunk), whole) << "chunk " << chunk;
    }
}

TEST(MultipartFormData, CopyOfABodyReadsTheSameBytesAgain) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    form.appendPartWithFileData(toBytes("2"), "b", "b.bin", "application/octet-stream");
    auto body = form.bodyStream();
    std::string first = readAll(*body, 7);
    EXPECT_EQ(readAll(*body->copy(), 4096), first);
    EXPECT_EQ(body->read(reinterpret_cast<std::uint8_t*>(first.data()), 1), 0)
        << "a closed body yields nothing more";
}

TEST(MultipartFormData, FileURLPartsTakeNameTypeAndSizeFromTheFile) {
    TempDir dir;
    test::writeFile(dir / "notes.txt", "hello");
    test::writeFile(dir / "blob.qzx", "12");
    test::writeFile(dir / "README", "1");
    struct Case {
        std::string file, contentType;
    } cases[] = {
        {"notes.txt", "text/plain"},
        {"blob.qzx", "application/octet-stream"},
        {"README", "application/octet-stream"},
    };
    for (const auto& c : cases) {
        HTStreamingMultipartFormData form(postRequest(), 4);
        ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / c.file), "file"), nullptr);
        const auto& part = *form.bodyStream()->HTTPBodyParts().at(0);
        EXPECT_EQ(part.headers.at("Content-Type"), c.contentType) << c.file;
        EXPECT_EQ(part.headers.at("Content-Disposition"),
                  "form-data; name=\"file\"; filename=\"" + c.file + "\"");
        EXPECT_EQ(part.bodyContentLength, std::filesystem::file_size(dir / c.file));
    }
}

TEST(MultipartFormData, UnusableFileURLsAreRefusedAndLeaveTheFormUnchanged) {
    TempDir dir;
    struct Case {
        Url url;
        std::string domain;
        long code;
        std::string reason;
    } cases[] = {
        {*Url::parse("https://127.0.0.1/a.txt"), HTURLRequestSerializationErrorDomain, -1000,
         "Expected URL to be a file URL"},
        {Url::fileUrl(dir / "missing.txt"), HTURLRequestSerializationErrorDomain, -1000,
         "File URL not reachable."},
        {Url::fileUrl(dir.path()), PosixErrorDomain, EISDIR, ""},
    };
    for (const auto& c : cases) {
        HTStreamingMultipartFormData form(postRequest(), 4);
        ErrorPtr error = form.appendPartWithFileURL(c.url, "file");
        ASSERT_TRUE(error) << c.url.string();
        EXPECT_TRUE(error->is(c.domain, c.code)) << error->description();
        if (!c.reason.empty()) {
            EXPECT_EQ(error->userInfo().value(LocalizedFailureReasonKey, ""), c.reason);
        }
        EXPECT_TRUE(form.bodyStream()->isEmpty());
    }
}

TEST(MultipartFormData, QuotesAndLineBreaksInNamesCannotInjectHeaders) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFileData(toBytes("x"), "a\"\r\nX-Evil: 1", "f\".txt\nContent-Type: b",
                                "text/plain");
    const auto& part = *form.bodyStream()->HTTPBodyParts().at(0);
    EXPECT_EQ(part.stringForHeaders(),
              "Content-Disposition: form-data; name=\"a%22%0D%0AX-Evil: 1\"; "
              "filename=\"f%22.txt%0AContent-Type: b\"\r\n"
              "Content-Type: text/plain\r\n\r\n");
}

TEST(MultipartFormData, ThrottlingCapsEachReadAndPausesAfterEachPiece) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFileData(Bytes(100, 'x'), "a", "a.bin", "application/octet-stream");
    form.throttleBandwidthWithPacketSize(16, 0.01);
    auto body = form.requestByFinalizingMultipartFormData().httpBodyStream;
    ASSERT_TRUE(body->open());
    std::uint8_t buffer[1024];
    std::size_t total = 0;
    auto start = std::chrono::steady_clock::now();
    for (long n; (n = body->read(buffer, sizeof buffer)) > 0;) {
        EXPECT_LE(n, 16);
        total += static_cast<std::size_t>(n);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(total, form.bodyStream()->contentLength());
    EXPECT_GE(elapsed, std::chrono::milliseconds(10) * static_cast<int>(total / 16));
}

TEST(MultipartFormData, PartThatFailsWhileStreamingFailsTheBodyInsteadOfTruncatingIt) {
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithInputStream(std::make_shared<ScriptedStream>("partial", true), "f", "f.bin",
                                   100, "application/octet-stream");
    form.appendPartWithFormData(toBytes("after"), "b");
    auto body = form.requestByFinalizingMultipartFormData().httpBodyStream;
    ASSERT_TRUE(body->open());
    std::uint8_t buffer[4096];
    long n;
    while ((n = body->read(buffer, sizeof buffer)) > 0) {
    }
    EXPECT_EQ(n, -1);
    ASSERT_TRUE(body->error());
    EXPECT_EQ(body->error()->localizedDescription(), "disk went away");
    EXPECT_EQ(body->read(buffer, sizeof buffer), -1) << "stays failed";
}

TEST(MultipartFormData, UnreadableFileFailsTheBody) {
    TempDir dir;
    test::writeFile(dir / "gone.txt", "abc");
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "gone.txt"), "f"), nullptr);
    std::filesystem::remove(dir / "gone.txt");
    auto body = form.requestByFinalizingMultipartFormData().httpBodyStream;
    ASSERT_TRUE(body->open());
    std::uint8_t buffer[4096];
    EXPECT_EQ(body->read(buffer, sizeof buffer), -1);
    ASSERT_TRUE(body->error());
    EXPECT_EQ(body->error()->code(), ENOENT);
}

// The vanished file's part header may end anywhere: in the middle of a read or exactly at the end
// of one. Either way the body fails instead of skipping the part and ending short.
TEST(MultipartFormData, VanishedFileFailsTheBodyWhereverTheReadBufferEnds) {
    TempDir dir;
    test::writeFile(dir / "gone.txt", "abc");
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "gone.txt"), "f"), nullptr);
    form.appendPartWithFormData(toBytes("2"), "b");
    std::filesystem::remove(dir / "gone.txt");
    const std::size_t declared = form.bodyStream()->contentLength();
    // Every chunk size up to the end of the second part's headers makes one read end there.
    for (std::size_t chunk = 1; chunk <= 400; ++chunk) {
        SCOPED_TRACE(chunk);
        auto stream = form.bodyStream()->copy();
        ASSERT_TRUE(stream->open());
        std::vector<std::uint8_t> buffer(chunk);
        std::size_t sent = 0;
        long n;
        while ((n = stream->read(buffer.data(), buffer.size())) > 0)
            sent += static_cast<std::size_t>(n);
        EXPECT_EQ(n, -1);
        EXPECT_LT(sent, declared);
        ASSERT_TRUE(stream->error());
        EXPECT_EQ(stream->error()->code(), ENOENT);
    }
}

TEST(MultipartFormData, StreamThatOnlyAnswersZeroCountsAsEnded) {
    auto silent = std::make_shared<ScriptedStream>("", false);
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithInputStream(silent, "f", "f.bin", 0, "application/octet-stream");
    auto body = form.requestByFinalizingMultipartFormData().httpBodyStream;
    std::string text = readAll(*body, 4096);
    EXPECT_EQ(text.size(), form.bodyStream()->contentLength());
    EXPECT_LE(silent->reads(), 1);
}

TEST(MultipartFormData, BodyWrittenToAFileMatchesTheStream) {
    TempDir dir;
    test::writeFile(dir / "big.bin", std::string(700000, 'y'));
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "big.bin"), "g"), nullptr);
    form.appendPartWithFileData(Bytes(300000, 'z'), "f", "f.bin", "application/octet-stream");
    ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "big.bin"), "h"), nullptr);
    auto body = form.bodyStream();
    std::string expected = readAll(*body->copy(), 4096);
    ASSERT_EQ(body->writeToFile(dir / "body"), nullptr);
    EXPECT_EQ(test::readFile(dir / "body"), expected);
    EXPECT_EQ(std::filesystem::status(dir / "body").permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(MultipartFormData, BodyFileErrorsReachTheCaller) {
    TempDir dir;
    HTStreamingMultipartFormData form(postRequest(), 4, kBoundary);
    form.appendPartWithFormData(toBytes("1"), "a");
    ErrorPtr error = form.bodyStream()->writeToFile(dir / "no-such-folder" / "body");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ENOENT);

    HTStreamingMultipartFormData failing(postRequest(), 4, kBoundary);
    failing.appendPartWithInputStream(std::make_shared<ScriptedStream>("abc", true), "f", "f.bin",
                                      3, "application/octet-stream");
    error = failing.bodyStream()->writeToFile(dir / "body");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->localizedDescription(), "disk went away");
    EXPECT_FALSE(std::filesystem::exists(dir / "body")) << "no partial body is left behind";

    test::writeFile(dir / "gone.bin", "abc");
    HTStreamingMultipartFormData vanished(postRequest(), 4, kBoundary);
    ASSERT_EQ(vanished.appendPartWithFileURL(Url::fileUrl(dir / "gone.bin"), "f"), nullptr);
    std::filesystem::remove(dir / "gone.bin");
    error = vanished.bodyStream()->writeToFile(dir / "body");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir / "body"));
}

TEST(MultipartFormRequest, ParametersBecomeFieldsFlattenedInOrder) {
    auto serializer = HTHTTPRequestSerializer::serializer();
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "https://127.0.0.1/x", {{"n", nullptr}, {"a", {{"b", "x"}}}}, nullptr);
    ASSERT_TRUE(request);
    auto body = std::dynamic_pointer_cast<HTMultipartBodyStream>(request->httpBodyStream);
    ASSERT_TRUE(body);
    const auto& parts = body->HTTPBodyParts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0]->headers.at("Content-Disposition"), "form-data; name=\"a[b]\"");
    EXPECT_EQ(parts[0]->bodyContentLength, 1u);
    EXPECT_EQ(parts[1]->headers.at("Content-Disposition"), "form-data; name=\"n\"");
    EXPECT_EQ(parts[1]->bodyContentLength, 0u);

    auto empty =
        serializer->multipartFormRequestWithMethod("POST", "https://127.0.0.1/x", nullptr, nullptr);
    ASSERT_TRUE(empty);
    EXPECT_FALSE(empty->httpBodyStream) << "a form without parts leaves the request as it was";
    EXPECT_EQ(empty->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(empty->valueForHTTPHeaderField("Content-Length"));
}

TEST(MultipartFormRequest, BodyWrittenToAFileLeavesARequestToUploadIt) {
    TempDir dir;
    auto serializer = HTHTTPRequestSerializer::serializer();
    auto request = serializer->multipartFormRequestWithMethod(
        "POST", "https://127.0.0.1/upload", {{"name", "x"}}, [](HTMultipartFormData& form) {
            form.appendPartWithFileData(toBytes("data"), "file", "d.txt", "text/plain");
        });
    ASSERT_TRUE(request);
    std::string expected = readAll(
        *std::static_pointer_cast<HTMultipartBodyStream>(request->httpBodyStream)->copy(), 4096);
    bool written = false;
    ErrorPtr error;
    UrlRequest upload = serializer->requestWithMultipartFormRequest(
        *request, Url::fileUrl(dir / "body"), [&](const ErrorPtr& e) {
            EXPECT_TRUE(isMainThread());
            written = true;
            error = e;
        });
    EXPECT_FALSE(upload.httpBodyStream);
    EXPECT_EQ(upload.headers, request->headers) << "Content-Type and Content-Length stay";
    ASSERT_TRUE(runMainUntil([&] { return written; }));
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(test::readFile(dir / "body"), expected);

    written = false;
    serializer->requestWithMultipartFormRequest(*request, Url::fileUrl(dir / "no" / "body"),
                                                [&](const ErrorPtr& e) {
                                                    written = true;
                                                    error = e;
                                                });
    ASSERT_TRUE(runMainUntil([&] { return written; }));
    ASSERT_TRUE(error) << "a body file that cannot be made is reported";
    EXPECT_EQ(error->code(), ENOENT);
}

// --- Independent parsers read our bodies -------------------------------------------------------

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << out;
    return out;
}

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes)
        out += {digits[c >> 4], digits[c & 15]};
    return out;
}

// Each parser prints one JSON object per part: name, filename, type and the body in hex.
const char* kPythonParser = R"(
import json, sys
from email import policy
from email.parser import BytesParser
body = open(sys.argv[2], 'rb').read()
head = ('Content-Type: ' + sys.argv[1] + '\r\n\r\n').encode()
message = BytesParser(policy=policy.HTTP).parsebytes(head + body)
assert message.is_multipart() and not message.defects, message.defects
for part in message.iter_parts():
    assert not part.defects, part.defects
    print(json.dumps({'name': part.get_param('name', header='content-disposition'),
                      'filename': part.get_filename(),
                      'type': part['content-type'],
                      'body': part.get_payload(decode=True).hex()}))
)";

const char* kNodeParser = R"(
const fs = require('fs');
(async () => {
  const request = new Request('http://127.0.0.1/', {method: 'POST',
      headers: {'content-type': process.argv[2]}, body: fs.readFileSync(process.argv[3])});
  for (const [name, value] of await request.formData()) {
    const isFile = typeof value !== 'string';
    const bytes = isFile ? Buffer.from(await value.arrayBuffer()) : Buffer.from(value, 'utf8');
    console.log(JSON.stringify({name, filename: isFile ? value.name : null,
                                type: isFile ? value.type : null, body: bytes.toString('hex')}));
  }
})().catch(e => { console.error(e); process.exit(1); });
)";

TEST(MultipartFormData, IndependentParsersReadTheSameParts) {
    TempDir dir;
    std::string binary;
    for (int i = 0; i < 4096; ++i)
        binary += static_cast<char>((i * 37 + 11) & 0xff);
    test::writeFile(dir / "photo.png", binary);
    test::writeFile(dir / "parse.py", kPythonParser);
    test::writeFile(dir / "parse.js", kNodeParser);

    HTStreamingMultipartFormData form(postRequest(), 4);
    form.appendPartWithFormData(toBytes("plain value"), "title");
    form.appendPartWithFormData(toBytes("Grüße, 東京"), "ünïcode");
    form.appendPartWithFormData({}, "empty");
    ASSERT_EQ(form.appendPartWithFileURL(Url::fileUrl(dir / "photo.png"), "file"), nullptr);
    form.appendPartWithFileData(toBytes("a,b\r\n1,2\r\n"), "sheet", "data.csv", "text/csv");
    UrlRequest request = form.requestByFinalizingMultipartFormData();
    auto body = std::static_pointer_cast<HTMultipartBodyStream>(request.httpBodyStream);
    ASSERT_EQ(body->writeToFile(dir / "body"), nullptr);
    ASSERT_EQ(std::filesystem::file_size(dir / "body"),
              std::stoull(*request.valueForHTTPHeaderField("Content-Length")));

    struct Expected {
        std::string name, filename, type, body;
    } expected[] = {
        {"title", "", "", "plain value"},
        {"ünïcode", "", "", "Grüße, 東京"},
        {"empty", "", "", ""},
        {"file", "photo.png", "image/png", binary},
        {"sheet", "data.csv", "text/csv", "a,b\r\n1,2\r\n"},
    };
    std::string contentType = *request.valueForHTTPHeaderField("Content-Type");
    std::string args = " '" + contentType + "' '" + (dir / "body").string() + "'";
    for (const std::string& command : {"/usr/bin/python3 " + (dir / "parse.py").string() + args,
                                       "node " + (dir / "parse.js").string() + args}) {
        std::istringstream lines(run(command));
        std::string line;
        std::size_t index = 0;
        while (std::getline(lines, line)) {
            ASSERT_LT(index, std::size(expected)) << line;
            const Expected& e = expected[index++];
            Json part = Json::parse(line);
            EXPECT_EQ(part["name"], e.name) << command;
            EXPECT_EQ(part["filename"].is_null() ? "" : part["filename"].get<std::string>(),
                      e.filename)
                << command;
            if (!e.type.empty()) {
                EXPECT_EQ(part["type"], e.type) << command;
            }
            EXPECT_EQ(part["body"], hex(e.body)) << command << " part " << e.name;
        }
        EXPECT_EQ(index, std::size(expected)) << command;
    }
}

TEST(MultipartFormData, IndependentParsersSeeEscapedNamesAsOneField) {
    TempDir dir;
    test::writeFile(dir / "parse.py", kPythonParser);
    test::writeFile(dir / "parse.js", kNodeParser);
    HTStreamingMultipartFormData form(postRequest(), 4);
    form.appendPartWithFileData(toBytes("x"), "a\"b\r\nX-Evil: 1", "c\"d.txt", "text/plain");
    UrlRequest request = form.requestByFinalizingMultipartFormData();
    auto body = std::static_pointer_cast<HTMultipartBodyStream>(request.httpBodyStream);
    ASSERT_EQ(body->writeToFile(dir / "body"), nullptr);
    std::string args = " '" + *request.valueForHTTPHeaderField("Content-Type") + "' '" +
                       (dir / "body").string() + "'";
    // Python keeps the escapes as they are; Node undoes them, as browsers' servers do.
    struct Parser {
        std::string command, name, filename;
    } parsers[] = {
        {"/usr/bin/python3 " + (dir / "parse.py").string() + args, "a%22b%0D%0AX-Evil: 1",
         "c%22d.txt"},
        {"node " + (dir / "parse.js").string() + args, "a\"b\r\nX-Evil: 1", "c\"d.txt"},
    };
    for (const auto& [command, name, filename] : parsers) {
        std::string out = run(command);
        std::istringstream lines(out);
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << command;
        Json part = Json::parse(line);
        EXPECT_EQ(part["name"], name) << command;
        EXPECT_EQ(part["filename"], filename) << command;
        EXPECT_EQ(part["body"], hex("x")) << command;
        EXPECT_FALSE(std::getline(lines, line)) << command << ": one part only";
    }
}

}  // namespace
}  // namespace quarra
