#include "log/TVKLogFileFormatter.h"

#include <openssl/sha.h>

#include <map>
#include <unordered_map>

#include "auth/TVKQuarraAuthManager.h"
#include "platform/Device.h"
#include "storage/crypt/TVKHexConversion.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {
namespace {

// The patterns are never destroyed: the logger may still format a line while the process exits.
const Regex& sessionIdRegex() {
    static const RegexPtr& regex = *new RegexPtr(Regex::make("[A-F\\d]{128}").value());
    return *regex;
}

const Regex& emailRegex() {
    static const RegexPtr& regex = *new RegexPtr(
        Regex::make("([A-Za-z0-9_\\-\\.\\+])+\\@([A-Za-z0-9_\\-\\.])+\\.([A-Za-z]+)").value());
    return *regex;
}

// Names under which a secret travels. "code" counts only as a form or JSON key: "error code: -2"
// is no secret.
#define TVK_SECRET_KEYS                                                                      \
    "password|passwd|passcode|pwd|access_?token|refresh_?token|id_?token|auth_?token|token|" \
    "code_?verifier|client_?secret|secret|assertion|session_?id|authorization"

// Group 2, 4, 6 or 8 of a match is the secret value.
const Regex& keyedSecretRegex() {
    static const RegexPtr& regex = *new RegexPtr(Regex::make(
        // JSON: "key": "value"
        "(?i)\"(" TVK_SECRET_KEYS "|code)\"\\s*:\\s*\"((?:[^\"\\\\]|\\\\.)*)\""
        // Form or query: key=value
        "|(?<![A-Za-z0-9_])(" TVK_SECRET_KEYS "|code)=([^&\\s\"',;]+)"
        // Text: key: value, key:value (an Authorization header's scheme stays)
        "|(?<![A-Za-z0-9_])(" TVK_SECRET_KEYS ")\\s*:\\s*(?:(?:Bearer|Basic)\\s+)?([^\\s\"',;\\]]+)"
        // A bearer token on its own.
        "|(Bearer)\\s+([A-Za-z0-9\\-._~+/]+=*)").value());
    return *regex;
}

bool isSessionKey(std::string_view key) {
    std::string lower;
    for (char c : key) {
        if (c != '_')
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "sessionid";
}

bool isLongUpperHex(std::string_view value) {
    if (value.size() < 128)
        return false;
    for (char c : value) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// A session id that the session-id pass does not shorten becomes a digest of itself: the server can
// still tell lines of one session apart from another's, nobody can use it.
std::string sessionIdStandIn(std::string_view value) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(value.data()), value.size(), digest);
    return hexString(ByteView(digest, 8)).substr(0, 15);
}

}  // namespace

std::optional<std::string> TVKLogFileFormatter::formatLogMessage(const LDLogMessage& message) {
    auto line = LDLogFileFormatterDefault::formatLogMessage(message);
    if (!line)
        return line;
    return redactSecuredFieldsFromFormattedMessage(std::move(*line));
}

std::string TVKLogFileFormatter::redactSecuredFieldsFromFormattedMessage(std::string message) {
    if (message.empty())
        return message;
    message = redactKeyedSecretsFromFormattedMessage(std::move(message));
    message = redactSessionIdsFromFormattedMessage(std::move(message));
    return redactEmailAddressesFromFormattedMessage(std::move(message));
}

std::string TVKLogFileFormatter::redactSessionIdsFromFormattedMessage(std::string message) {
    auto matches = sessionIdRegex().matches(message);
    // Back to front, so the earlier ranges stay where they were found.
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
        const auto& whole = (*it)[0];
        message.erase(whole.location + 15, whole.length - 15);
    }
    return message;
}

std::string TVKLogFileFormatter::redactKeyedSecretsFromFormattedMessage(std::string message) {
    const Regex& regex = keyedSecretRegex();
    if (message.find_first_of(":=") == std::string::npos &&
        message.find("earer") == std::string::npos)
        return message;
    auto matches = regex.matches(message);
    for (auto it = matches.rbegin(); it != matches.rend(); ++it) {
        const Regex::Match& match = *it;
        for (size_t group = 1; group + 1 < match.size(); group += 2) {
            const auto& key = match[group];
            const auto& value = match[group + 1];
            if (!key.found || !value.found)
                continue;
            std::string_view text = value.in(message);
            std::string standIn;
            if (isSessionKey(key.in(message))) {
                // "(null)" is no session; a long hex id is shortened by the session-id pass.
                if (text == "(null)" || isLongUpperHex(text) || text.empty())
                    break;
                standIn = sessionIdStandIn(text);
            } else {
                if (text == RedactedValue)
                    break;
                standIn = RedactedValue;
            }
            message.replace(value.location, value.length, standIn);
            break;
        }
    }
    return message;
}

std::string TVKLogFileFormatter::replacementForEmailAddress(const std::string& address) {
    std::optional<std::string> replacement;
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (user && user->username() == address) {
        replacement = user->encryptedUsername();
    } else {
        auto encrypted = TVKQuarraCryptManager::sharedInstance().RSAEncryptData(
            ByteView(reinterpret_cast<const std::uint8_t*>(address.data()), address.size()));
        if (encrypted)
            replacement = hexString(*encrypted);
    }
    if (!replacement || replacement->empty())
        replacement = identifierForVendor();
    // The line is written all the same; the address never is.
    return replacement && !replacement->empty() ? *replacement : std::string("<e-mail>");
}

std::string TVKLogFileFormatter::redactEmailAddressesFromFormattedMessage(std::string message) {
    if (message.find('@') == std::string::npos)
        return message;
    return replaceStringsMatchingRegex(emailRegex(), std::move(message), replacementForEmailAddress);
}

std::string TVKLogFileFormatter::replaceStringsMatchingRegex(
    const Regex& regex, std::string string,
    const std::function<std::string(const std::string& matched)>& replacement) {
    auto matches = regex.matches(string);
    if (matches.empty())
        return string;
    std::unordered_map<std::string, std::string> replacements(matches.size());
    for (const auto& match : matches) {
        std::string matched(match[0].in(string));
        replacements[matched] = replacement(matched);
    }
    for (const auto& [matched, with] : replacements) {
        if (matched.empty())
            continue;
        std::string out;
        out.reserve(string.size());
        size_t from = 0;
        for (size_t at; (at = string.find(matched, from)) != std::string::npos;
             from = at + matched.size()) {
            out.append(string, from, at - from);
            out += with;
        }
        out.append(string, from, std::string::npos);
        string = std::move(out);
    }
    return string;
}

}  // namespace quarra
