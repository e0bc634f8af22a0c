#pragma once
// The SDK's log line: the default timestamped line, redacted and made one physical line.
//
// Redaction shortens 128-character upper-case hex session ids to their first 15 characters,
// replaces e-mail addresses (also percent-encoded, or with a domain beyond ASCII) by their
// RSA-encrypted form (the signed-in user's own address by the stored encrypted user name), and
// blanks the values of secrets written as key and value (passwords, tokens, authorization codes
// and code verifiers, client secrets, Authorization headers), wherever they appear in the line:
// the context prefix, the caller's text, an error description carrying a server reply. A key is
// matched in any case and with a prefix ("new_password", "newPassword"), quoted in any way or
// percent-encoded; its value runs to its closing quote, or to the next key or "&" when it has
// none. All of it is one search over the line. A line that cannot be searched (the search fails on
// it) loses its whole text: it is never written unchecked.
//
// A record never holds more than MaximumRecordBytes: a longer text is cut, and the cut says how
// long the text was. Only the part that is written is searched, so a huge text costs no more than
// a record's worth of work.
//
// A line is then escaped: a backslash and every control character become an escape sequence, and
// bytes that are not UTF-8 become U+FFFD, so one logging call is one line in the file whatever its
// text holds, and a reader can undo the escaping (unescapedLogText).
//
// Used on the file logger's queue; safe on any thread.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "log/LDLogFileFormatterDefault.h"
#include "platform/Regex.h"

namespace quarra {

class TVKLogFileFormatter : public LDLogFileFormatterDefault {
  public:
    // What stands in a secret's place, and in place of a line that could not be checked.
    static constexpr const char* RedactedValue = "<redacted>";
    // The most one record takes in the file, timestamp and cut marker included.
    static constexpr size_t MaximumRecordBytes = 64 * 1024;

    TVKLogFileFormatter() = default;

    // The redacted, escaped line, without the final newline.
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

    // Every redaction at once; RedactedValue alone when the text cannot be searched.
    static std::string redactSecuredFieldsFromFormattedMessage(std::string message);
    // None when the text cannot be searched. Addresses are replaced until the result holds more
    // than `budget` bytes; the rest of the text is left out.
    static std::optional<std::string> redactedText(std::string_view text,
                                                   size_t budget = std::string::npos);
    static std::string redactSessionIdsFromFormattedMessage(std::string message);
    static std::string redactEmailAddressesFromFormattedMessage(std::string message);
    // Finds every match of `regex`, asks `replacement` once per match for its new text (a text
    // matched twice keeps the last answer), then replaces every plain occurrence of each matched
    // text in the whole string. A string that cannot be searched comes back as RedactedValue.
    static std::string replaceStringsMatchingRegex(
        const Regex& regex, std::string string,
        const std::function<std::string(const std::string& matched)>& replacement);

    // The replacement of one e-mail address, by the rules above; a fixed placeholder when neither
    // an encrypted form nor the device identifier is available. A foreign address is encrypted
    // once per process: the encryption pads at random, so its form is kept, not made again.
    static std::string replacementForEmailAddress(const std::string& address);

    // `text` appended to `out` with "\\" for a backslash, "\n", "\r", "\t" and "\xHH" for the other
    // control characters (DEL included), and U+FFFD for each byte that is not part of valid UTF-8.
    // Stops before `out` would grow beyond `limit` bytes; returns how much of `text` it took.
    static size_t appendEscapedLogText(std::string& out, std::string_view text,
                                       size_t limit = std::string::npos);
    // The text appendEscapedLogText made from it; an escape it does not make stays as it stands.
    static std::string unescapedLogText(std::string_view text);
};

}  // namespace quarra
