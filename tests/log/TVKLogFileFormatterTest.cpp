#include "log/TVKLogFileFormatter.h"

#include <gtest/gtest.h>

#include "auth/TVKQuarraAuthManager.h"
#include "log/TVKLogEntry.h"
#include "platform/Regex.h"
#include "platform/Utf8.h"
#include "quarra/Bundle.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

using namespace quarra;

namespace {

std::string redact(const std::string& text) {
    return TVKLogFileFormatter::redactSecuredFieldsFromFormattedMessage(text);
}

std::string hexRun(size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string run;
    for (size_t i = 0; i < length; ++i)
        run += digits[(i * 7) % 16];
    return run;
}

bool isUpperHex(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

}  // namespace

TEST(TVKLogFileFormatterTest, LineIsLocalTimestampTwoSpacesAndTheTextAndParsesBack) {
    setenv("TZ", "Asia/Kolkata", 1);
    Bundle::setMainBundle("com.example.host");
    // 2023-11-14 22:13:20.250 UTC is 03:43:20.250 the next day in Kolkata.
    LDLogTimestamp at{std::chrono::milliseconds(1700000000250)};
    std::string text =
        "[bundleID:com.example.host.sdk sessionId:(null) quarraId:0 username:(null) file:A.cpp "
        "function:-[A b:c:] line:12] DEBUG message: hello";
    LDLogMessage message(text, LDLogLevelDebug, LDLogFlagDebug, 0, "A.cpp", "fn", 12, nullptr, 0,
                         at);
    TVKLogFileFormatter formatter;
    auto line = formatter.formatLogMessage(message);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "2023/11/15 03:43:20:250  " + text);

    // What the file gets back parses into the fields the server takes.
    TVKLogEntry entry(*line + "\n");
    ASSERT_TRUE(entry.isValid());
    const Json& fields = *entry.clientFields();
    EXPECT_EQ(fields["timestamp_str"], "2023/11/15 03:43:20:250");
    EXPECT_EQ(fields["function_name"], "-[A b:c:]");
    EXPECT_EQ(fields["message"], "hello");
}

TEST(TVKLogFileFormatterTest, SessionIdsAreShortenedAndSecretsBlanked) {
    const std::string id128 = hexRun(128);
    const std::string tail = hexRun(130).substr(128);
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        // 128 upper-case hex characters keep their first 15, in place.
        {"x sessionId:" + id128 + " quarraId:1", "x sessionId:" + id128.substr(0, 15) + " quarraId:1"},
        {"a" + hexRun(127) + "b", "a" + hexRun(127) + "b"},
        {"[" + hexRun(130) + "]", "[" + hexRun(15) + tail + "]"},
        {"two " + hexRun(256), "two " + hexRun(15) + hexRun(256).substr(128, 15)},
        // Lower-case hex is no session id of the server's.
        {"id " + std::string(128, 'a'), "id " + std::string(128, 'a')},
        // Secrets written as key and value, in the forms lines carry them.
        {"body:{\"password\":\"hunter2\",\"user\":\"bob\"}",
         "body:{\"password\":\"<redacted>\",\"user\":\"bob\"}"},
        {"{\"access_token\" : \"eyJ.a\\\"b\", \"refresh_token\":\"r1\"}",
         "{\"access_token\" : \"<redacted>\", \"refresh_token\":\"<redacted>\"}"},
        {"redirect ?code=SplxlOBeZQQYbYS6WxSbIA&state=xyz", "redirect ?code=<redacted>&state=xyz"},
        {"code_verifier=dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk grant_type=authorization_code",
         "code_verifier=<redacted> grant_type=authorization_code"},
        {"Authorization: Bearer abc.def-ghi", "Authorization: Bearer <redacted>"},
        {"sent Bearer abc.def", "sent Bearer <redacted>"},
        {"client_secret=s3cr3t&id_token=t", "client_secret=<redacted>&id_token=<redacted>"},
        // Other ids of a session become a digest: still told apart, never usable.
        {"{\"sessionid\":\"session-1-42\"}", "{\"sessionid\":\"" +
                                                 redact("sessionId:session-1-42").substr(10) +
                                                 "\"}"},
        // No secret: left alone.
        {"error code: -2 quarraId:5 line:7", "error code: -2 quarraId:5 line:7"},
        {"sessionId:(null) username:bob", "sessionId:(null) username:bob"},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(redact(c.in), c.out) << c.in;
    }
    std::string digest = redact("sessionId:session-1-42").substr(10);
    EXPECT_EQ(digest.size(), 15u);
    EXPECT_TRUE(isUpperHex(digest)) << digest;
    EXPECT_EQ(redact("sessionId:session-1-43").substr(10) == digest, false);
}

TEST(TVKLogFileFormatterTest, AddressesBecomeEncryptedText) {
    Bundle::setMainBundle("com.example.host");
    auto& auth = TVKQuarraAuthManager::sharedInstance();
    // Nobody signed in: the RSA encryption of the address, never the address. The encryption pads
    // at random; its form is made once and kept, so every line names the address alike.
    std::string first = redact("mail bob@example.com here");
    std::string second = redact("mail bob@example.com here");
    EXPECT_EQ(first.find("bob@"), std::string::npos);
    ASSERT_TRUE(first.starts_with("mail ") && first.ends_with(" here"));
    std::string replaced = first.substr(5, first.size() - 10);
    EXPECT_TRUE(isUpperHex(replaced)) << replaced;
    EXPECT_GE(replaced.size(), 256u);
    EXPECT_EQ(first, second);
    EXPECT_NE(redact("mail carol@example.com here"), first);

    // The signed-in user's own address: the stored encrypted user name, the same at every place.
    auto user = std::make_shared<TVKUserInternal>("alice@example.com", std::vector<TVKQuarraPtr>{},
                                                  nullptr, 1);
    auth.setCurrentUser(user);
    auto stored = user->encryptedUsername();
    ASSERT_TRUE(stored);
    EXPECT_EQ(redact("alice@example.com, again alice@example.com"), *stored + ", again " + *stored);
    EXPECT_EQ(user->encryptedUsername(), stored);
}

TEST(TVKLogFileFormatterTest, ReplacementCoversPlainOccurrencesOfEachMatchedText) {
    auto regex = Regex::make("b+").value();
    int calls = 0;
    std::string out = TVKLogFileFormatter::replaceStringsMatchingRegex(
        *regex, "abb-bb-cbbd", [&](const std::string& matched) {
            ++calls;
            return "<" + std::to_string(matched.size()) + ">";
        });
    EXPECT_EQ(out, "a<2>-<2>-c<2>d");
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(TVKLogFileFormatter::replaceStringsMatchingRegex(*regex, "none", nullptr), "none");
}

// Long values are what redaction is for (tokens are often kilobytes): each kind of secret, at each
// length, is gone from the written line, and so is a keyed secret after it on the same line.
TEST(TVKLogFileFormatterTest, LongSecretsOfEveryKindAreRedacted) {
    Bundle::setMainBundle("com.example.host");
    struct Kind {
        const char* name;
        std::function<std::string(const std::string& secret)> text;
    };
    const Kind kinds[] = {
        {"JSON value", [](const std::string& v) { return "{\"password\":\"" + v + "\"}"; }},
        {"JSON value with escapes",
         [](const std::string& v) { return "{\"id_token\" : \"" + v + "\\\"" + v + "\\\\\"}"; }},
        {"JSON value cut off", [](const std::string& v) { return "{\"access_token\":\"" + v; }},
        {"form value", [](const std::string& v) { return "grant=x&code=" + v + "&state=s"; }},
        {"text value", [](const std::string& v) { return "refresh_token: " + v + " next"; }},
        {"Authorization header",
         [](const std::string& v) { return "Authorization: Bearer " + v + "\r\nHost: q"; }},
        {"bearer token", [](const std::string& v) { return "sent Bearer " + v + " ok"; }},
        {"e-mail local part", [](const std::string& v) { return "to " + v + "@example.com ok"; }},
        {"session id", [](const std::string& v) { return "sessionId:" + v + " quarraId:1"; }},
    };
    for (size_t size : {1024, 1536, 16 * 1024, 1000 * 1024}) {
        // A JWT's alphabet, and nothing hex-only, so no pass shortens it by accident.
        std::string secret = "eyJ";
        while (secret.size() < size)
            secret += "hbGciOiJSUzI1NiJ9.x_y-z";
        secret.resize(size);
        const std::string tail = "password=tail-" + secret.substr(0, 12);
        for (const Kind& kind : kinds) {
            std::string text = "[prefix] INFO message: " + kind.text(secret) + " " + tail;
            LDLogMessage message(text, LDLogLevelInfo, LDLogFlagInfo, 0, "A.cpp", "fn", 1, nullptr,
                                 0);
            auto line = TVKLogFileFormatter().formatLogMessage(message);
            ASSERT_TRUE(line);
            EXPECT_EQ(line->find(secret.substr(0, 64)), std::string::npos)
                << kind.name << " at " << size;
            EXPECT_EQ(line->find("tail-"), std::string::npos) << kind.name << " at " << size;
        }
    }
}

// A search that fails is no "no match": a caller is told, and a line that cannot be searched is
// not written as it came.
TEST(TVKLogFileFormatterTest, ASearchThatFailsRedactsTheWholeText) {
    // Nested repetition that backtracks without end on a long subject runs into PCRE2's limits.
    auto regex = Regex::make("(a+)+$").value();
    std::string subject(20000, 'a');
    subject += 'b';
    auto matches = regex->matches(subject);
    ASSERT_FALSE(matches.ok());
    EXPECT_EQ(matches.error()->domain(), RegexErrorDomain);
    EXPECT_FALSE(regex->firstMatch(subject).ok());
    EXPECT_EQ(TVKLogFileFormatter::replaceStringsMatchingRegex(
                  *regex, subject, [](const std::string&) { return std::string("x"); }),
              TVKLogFileFormatter::RedactedValue);
}

// One logging call is one line in the file, whatever its text holds, and a reader gets the text
// back as it was (invalid UTF-8 repaired).
TEST(TVKLogFileFormatterTest, ControlCharactersAreEscapedReversiblyAndUtf8Repaired) {
    struct Case {
        std::string text;
        std::string written;
        std::string readBack;
    };
    const Case cases[] = {
        {"plain ✓ text", "plain ✓ text", "plain ✓ text"},
        {"two\nlines\r\n", "two\\nlines\\r\\n", "two\nlines\r\n"},
        {"tab\there", "tab\\there", "tab\there"},
        {"back\\slash \\n", "back\\\\slash \\\\n", "back\\slash \\n"},
        {std::string("nul\0bell\x07 esc\x1b[31m del\x7f", 23),
         "nul\\x00bell\\x07 esc\\x1B[31m del\\x7F",
         std::string("nul\0bell\x07 esc\x1b[31m del\x7f", 23)},
        {"bad \xff\xfe utf8 \xe2\x9c", "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8 \xEF\xBF\xBD\xEF\xBF\xBD",
         "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8 \xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Case& c : cases) {
        std::string written;
        TVKLogFileFormatter::appendEscapedLogText(written, c.text);
        EXPECT_EQ(written, c.written);
        EXPECT_EQ(written.find_first_of(std::string("\n\r\0", 3)), std::string::npos);
        EXPECT_EQ(TVKLogFileFormatter::unescapedLogText(written), c.readBack);
    }
    // An escape this writer never makes stays as it stands: "\xFF" read as a byte would be no
    // UTF-8 (a damaged file or another writer's line holds such text).
    EXPECT_EQ(TVKLogFileFormatter::unescapedLogText("a\\x80 \\xFF \\x7F"), "a\\x80 \\xFF \x7F");
}
// A value made of escapes repeats the inner group of the JSON value once per escape: a megabyte of
// them is still searched (and redacted), not given up on.
TEST(TVKLogFileFormatterTest, AMegabyteOfEscapesIsSearchedToTheEnd) {
    std::string v;
    while (v.size() < 1000 * 1024)
        v += "\\\"a";
    auto out = TVKLogFileFormatter::redactedText("{\"password\":\"" + v + "\"} tail");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(*out, "{\"password\":\"<redacted>\"} tail");
}

// The shapes in which hosts and servers write secrets, each at the start, in the middle and at the
// end of a line: the secret is gone, and what follows its value (the next key) is kept.
TEST(TVKLogFileFormatterTest, SecretsInAnyQuotingCaseOrEncodingAreRedacted) {
    Bundle::setMainBundle("com.example.host");
    struct Shape {
        std::string text;
        std::vector<std::string> secrets;
    };
    const Shape shapes[] = {
        {"password=hunter2x&user=bob", {"hunter2x"}},
        {"username%3Dbob%26password%3Dhunter2x%26client_id%3Dq", {"hunter2x"}},
        {"password: \"hunter2x\"", {"hunter2x"}},
        {"password='hunter2x'", {"hunter2x"}},
        {"{'password': 'hunter2x'}", {"hunter2x"}},
        {"password = hunter2x", {"hunter2x"}},
        {"PassWord=hunter2x", {"hunter2x"}},
        {"{\"password\": 90817263}", {"90817263"}},
        {"new_password=hunter2x", {"hunter2x"}},
        {"{\"newPassword\":\"hunter2x\",\"oldPassword\":\"older2x\"}", {"hunter2x", "older2x"}},
        {"password=hunter2x,and2x", {"hunter2x", "and2x"}},
        {"password: hunter2x more2x", {"hunter2x", "more2x"}},
        {"{\"body\":\"{\\\"password\\\":\\\"hunter2x\\\"}\"}", {"hunter2x"}},
        {"{\\\"access_token\\\": \\\"hunter2x\\\", \\\"n\\\": 1}", {"hunter2x"}},
        {"%22password%22%3A%22hunter2x%22", {"hunter2x"}},
        {"Authorization: Basic aHVudGVyMng=", {"aHVudGVyMng"}},
        {"mail carol%40example.com", {"carol", "example.com"}},
        {"mail carol@ex\xC3\xA4mple.com", {"carol", "mple.com"}},
        {"mail j\xC3\xB6rg@\xD0\xBF\xD1\x80\xD0\xB8.\xD1\x80\xD1\x84", {"rg@", "j\xC3\xB6"}},
    };
    for (const Shape& shape : shapes) {
        const std::string lines[] = {shape.text + " user=bob",
                                     "[ctx] INFO message: go " + shape.text + " user=bob",
                                     "[ctx] INFO message: go " + shape.text};
        for (const std::string& line : lines) {
            std::string out = redact(line);
            for (const std::string& secret : shape.secrets) {
                EXPECT_EQ(out.find(secret), std::string::npos) << line << "\n -> " << out;
            }
            if (line.ends_with(" user=bob")) {
                EXPECT_TRUE(out.ends_with(" user=bob")) << line << "\n -> " << out;
            }
            EXPECT_NE(out, TVKLogFileFormatter::RedactedValue) << line;
        }
    }
    // No secret: left alone.
    for (std::string plain : {"error code: -2 done", "function:-[A setPassword:] line:3]",
                              "TVKQuarraAuth::password(x) line:4", "user=bob&state=ok"}) {
        EXPECT_EQ(redact(plain), plain);
    }
}

// However large a text and however much redaction makes of it (an address becomes hundreds of
// characters), a record stays within its bound, ends at a whole character, never shows a part
// of what the cut went through, and says that and how much was cut.
TEST(TVKLogFileFormatterTest, ARecordIsBoundedWhateverItsTextBecomes) {
    Bundle::setMainBundle("com.example.host");
    auto format = [](const std::string& text) {
        LDLogMessage message(text, LDLogLevelInfo, LDLogFlagInfo, 0, "A.cpp", "fn", 1, nullptr, 0);
        return TVKLogFileFormatter().formatLogMessage(message).value();
    };
    std::string same;
    while (same.size() < 4 * 1024 * 1024)
        same += "a@b.co ";
    std::string distinct;
    for (int i = 0; distinct.size() < 1024 * 1024; ++i)
        distinct += "user" + std::to_string(i) + "@example.com ";
    std::string controls(512 * 1024, '\x01');
    for (const std::string* text : {&same, &distinct, &controls}) {
        std::string line = format(*text);
        RecordProperty("written" + std::to_string(text->size()), std::to_string(line.size()));
        EXPECT_LE(line.size(), TVKLogFileFormatter::MaximumRecordBytes);
        EXPECT_NE(line.find("[cut: the text had " + std::to_string(text->size()) + " bytes, "),
                  std::string::npos);
        EXPECT_TRUE(isValidUtf8(line));
        EXPECT_EQ(line.find("@"), std::string::npos);
        // The escapes are whole: the text before the marker ends at a whole one.
        std::string kept = line.substr(0, line.find(" [cut:"));
        EXPECT_FALSE(kept.ends_with("\\") || kept.ends_with("\\x") || kept.ends_with("\\x0"));
    }
    // A cut through an address leaves none of it; a cut through a value keeps it redacted.
    for (size_t shift = 0; shift < 40; shift += 7) {
        std::string text(TVKLogFileFormatter::MaximumRecordBytes - 120 + shift, 'y');
        text += " somebody.private@example.com password=hunter2hunter2hunter2hunter2 and more";
        text += std::string(100, ' ');
        std::string line = format(text);
        EXPECT_LE(line.size(), TVKLogFileFormatter::MaximumRecordBytes);
        EXPECT_EQ(line.find("somebody"), std::string::npos) << shift;
        EXPECT_EQ(line.find("private"), std::string::npos) << shift;
        EXPECT_EQ(line.find("hunter2"), std::string::npos) << shift;
    }
    // A text within the bound is written whole, with no marker; what addresses make of a short
    // text is recorded, the growth being the most there.
    EXPECT_EQ(format("short").find("[cut:"), std::string::npos);
    for (size_t size : {7, 70, 700, 7000}) {
        std::string line = format(same.substr(0, size));
        EXPECT_LE(line.size(), TVKLogFileFormatter::MaximumRecordBytes);
        RecordProperty("written" + std::to_string(size), std::to_string(line.size()));
    }
}
