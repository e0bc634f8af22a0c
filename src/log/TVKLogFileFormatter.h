#pragma once
// The SDK's log line: the default timestamped line, redacted. Redaction shortens 128-character
// upper-case hex session ids to their first 15 characters, replaces e-mail addresses by their
// RSA-encrypted form (the signed-in user's own address by the stored encrypted user name), and
// blanks the values of secrets written as key and value (passwords, tokens, authorization codes and
// code verifiers, client secrets, Authorization headers), wherever they appear in the line: the
// context prefix, the caller's text, an error description carrying a server reply.
//
// Used on the file logger's queue; safe on any thread.
#include <functional>
#include <string>

#include "log/LDLogFileFormatterDefault.h"
#include "platform/Regex.h"

namespace quarra {

class TVKLogFileFormatter : public LDLogFileFormatterDefault {
  public:
    // What stands in a secret's place.
    static constexpr const char* RedactedValue = "<redacted>";

    TVKLogFileFormatter() = default;

    // The redacted line, without the final newline.
    std::optional<std::string> formatLogMessage(const LDLogMessage& message) override;

    static std::string redactSecuredFieldsFromFormattedMessage(std::string message);
    static std::string redactSessionIdsFromFormattedMessage(std::string message);
    static std::string redactEmailAddressesFromFormattedMessage(std::string message);
    static std::string redactKeyedSecretsFromFormattedMessage(std::string message);
    // Finds every match of `regex`, asks `replacement` once per match for its new text (a text
    // matched twice keeps the last answer), then replaces every plain occurrence of each matched
    // text in the whole string.
    static std::string replaceStringsMatchingRegex(
        const Regex& regex, std::string string,
        const std::function<std::string(const std::string& matched)>& replacement);

    // The replacement of one e-mail address, by the rules above; a fixed placeholder when neither
    // an encrypted form nor the device identifier is available.
    static std::string replacementForEmailAddress(const std::string& address);
};

}  // namespace quarra
