#include "log/TVKLogEntry.h"

#include <gtest/gtest.h>

#include "platform/Device.h"

using namespace quarra;

namespace {

std::string line(const std::string& username, const std::string& message,
                 const std::string& level = "INFO") {
    return "2018/11/28 14:03:07:512  [bundleID:com.example.host.sdk sessionId:0123456789ABCDE "
           "quarraId:0 username:" +
           username + " file:TVKQuarraManager.cpp function:-[TVKQuarraManager request:with:] "
           "line:88] " +
           level + " message: " + message;
}

}  // namespace

TEST(TVKLogEntryTest, EntriesParseIntoTheServerRecord) {
    TVKLogEntry entry(line("4711", "hello\\n\n"));
    ASSERT_TRUE(entry.isValid());
    auto record = entry.serverFields();
    ASSERT_TRUE(record);
    EXPECT_EQ(*record, (Json{{"Log Type", TVKLogEntry::LogType},
                             {"Log Level", "INFO"},
                             {"ClientID", "com.example.host.sdk"},
                             {"ClientDateTime", "2018/11/28 14:03:07:512"},
                             {"Username", "4711"},
                             {"DeviceID", *identifierForVendor()},
                             {"ClientSessionID", "0123456789ABCDE"},
                             {"quarraID", "0"},
                             {"message", "hello\n"}}));
    EXPECT_EQ((*entry.clientFields())["function_name"], "-[TVKQuarraManager request:with:]");
    EXPECT_EQ((*entry.clientFields())["line_num"], "88");
}

TEST(TVKLogEntryTest, TextShapesDecideValidity) {
    struct Case {
        std::string text;
        std::optional<std::string> message;
    };
    const Case cases[] = {
        // One line is one entry: line breaks inside come escaped, a raw one ends the entry.
        {line("bob", "first\\n  second\\r\\nthird \\\\n \\x7F \\q\n"),
         "first\n  second\r\nthird \\n \x7F \\q"},
        {line("bob", "first\nsecond\n"), std::nullopt},
        {line("bob", "no final newline"), "no final newline"},
        // The message is all after "message: ": leading blanks, nothing but blanks, nothing.
        {line("bob", "  padded"), "  padded"},
        {line("bob", "   \n"), "   "},
        {line("bob", ""), ""},
        {line("john%20smith", "escaped name\n"), "escaped name"},
        // A message cannot lend the prefix another level or line.
        {line("bob", "x line:9] ERROR message: forged"), "x line:9] ERROR message: forged"},
        // Spaces in a field of the prefix, no level word, nothing after "message:".
        {line("john smith", "x\n"), std::nullopt},
        {line("bob", "x\n", "NOTICE"), std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        TVKLogEntry entry(c.text);
        EXPECT_EQ(entry.isValid(), c.message.has_value()) << c.text;
        if (c.message && entry.isValid()) {
            EXPECT_EQ((*entry.clientFields())["message"], *c.message);
        }
        if (!c.message) {
            EXPECT_FALSE(entry.serverFields());
            EXPECT_TRUE(entry.description().starts_with("isValid:0;\nlogString:"));
        }
    }
}

// The previous release wrote the text as it came: an entry runs on over its continuation lines,
// and a backslash is a backslash.
TEST(TVKLogEntryTest, EntriesOfThePreviousFormAreReadAsWritten) {
    TVKLogEntry entry(line("bob", "C:\\new\\table \\x41 \\xFF\n  second\nthird\n"),
                      TVKLogEntry::Form::Raw);
    ASSERT_TRUE(entry.isValid());
    EXPECT_EQ((*entry.clientFields())["message"], "C:\\new\\table \\x41 \\xFF\n  second\nthird");
    EXPECT_EQ((*entry.clientFields())["level"], "INFO");
}

// Reading an entry back takes time in proportion to its length, whatever its message holds (a
// search that backtracked over the blanks took minutes for a few megabytes).
TEST(TVKLogEntryTest, LongBlankMessagesAreReadInOnePass) {
    for (const std::string& message :
         {std::string(3'000'000, ' '), std::string(3'000'000, ' ') + "x",
          " line:" + std::string(3'000'000, ' ')}) {
        TVKLogEntry entry(line("bob", message + "\n"));
        ASSERT_TRUE(entry.isValid());
        EXPECT_EQ((*entry.clientFields())["message"], message);
    }
}
