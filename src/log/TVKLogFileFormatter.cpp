#include "log/TVKLogFileFormatter.h"

#include <openssl/sha.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "auth/TVKQuarraAuthManager.h"
#include "platform/Device.h"
#include "platform/Hex.h"
#include "platform/Utf8.h"
#include "quarra/Url.h"
#include "storage/crypt/TVKQuarraCryptManager.h"

namespace quarra {
namespace {

// Names under which a secret travels, spelled so that the first letter picks the branch:
// password, passwd, passcode, pwd, access_token, auth_token, authorization, assertion,
// refresh_token, id_token, token, code_verifier, client_secret, secret, session_id (each "_"
// optional).
#define TVK_SECRET_KEYS                                                                \
    "p(?:ass(?:word|wd|code)|wd)|a(?:ccess_?token|uth(?:_?token|orization)|ssertion)|" \
    "refresh_?token|id_?token|token|c(?:ode_?verifier|lient_?secret)|s(?:ecret|ession_?id)"
// A key that ends in one of those names ("new_password", "newPassword"). "code" counts only on its
// own and only as a form or quoted key: "error code: -2" is no secret.
#define TVK_PREFIXED_KEY "[A-Za-z0-9_\\-]*?(?:" TVK_SECRET_KEYS ")|code"
// A quote around a key or value: plain, escaped inside a JSON string, or percent-encoded.
#define TVK_QUOTE "(?:\\\\*+[\"']|%2[27])"
// A character of an unquoted value: it ends at a blank, a form's "&" (plain or encoded), a quote,
// or a closing bracket.
#define TVK_BARE "(?:[^\\s&\"',;\\]}\\\\%]++|\\\\(?!\\\\*+\")|%(?!2[67]))"

// The keyed secrets and session ids a line is searched for, in one expression, so that a line is
// scanned once. Each match is a key (group 1) and its secret value (group 2), a bearer token
// (group 2 without a key), or a session id (kSessionIdGroup). A value runs to its closing quote
// (to the end when it has none); an unquoted one goes on past a comma or a blank unless what
// follows is the next key. No repetition is nested in another and runs are possessive, so a
// search takes time and JIT stack in proportion to the line, however long a value is. Nothing is
// tried inside a word: a word that starts no match is skipped whole, which makes the search several
// times faster. E-mail addresses are found from their "@" (see appendRedactedAddresses): tried at
// every character, their expression cost more than everything else together.
constexpr int kKeyGroup = 1;
constexpr int kValueGroup = 2;
constexpr int kSessionIdGroup = 3;
const Regex& redactionRegex() {
    // Never destroyed: the logger may still format a line while the process exits.
    static const RegexPtr& regex = *new RegexPtr(
        Regex::make(
            "(?i)(?|(?|"
            // A quoted key: JSON, a dictionary's description, escaped JSON, percent-encoded.
            TVK_QUOTE "(" TVK_PREFIXED_KEY ")" TVK_QUOTE "\\s*+(?::|=|%3A|%3D)"
            // A form or query key (key=value, also with blanks or percent-encoded).
            "|(?<![A-Za-z0-9_])(" TVK_PREFIXED_KEY ")\\s*+(?:=|%3D)"
            // A key in text (key: value); an Authorization header's scheme stays.
            "|(?<![A-Za-z0-9_])(" TVK_SECRET_KEYS ")\\s*+:(?!:))"
            "\\s*+(?:(?:Bearer|Basic)\\s++)?"
            "(?|\"((?:[^\"\\\\]++|\\\\.)*+)\"?"
            "|\\\\++\"((?:[^\\\\]++|\\\\++(?!\"))*+)(?:\\\\++\")?"
            "|'([^']*+)'?"
            "|%2[27]((?:[^%]++|%(?!2[27]))*+)(?:%2[27])?"
            "|(" TVK_BARE "++(?:[\\s,]++(?![A-Za-z0-9_\\-]*+\\s*+(?:[=:]|%3[AD]))" TVK_BARE
            "++)*+))"
            // A bearer token on its own.
            "|()Bearer\\s++([A-Za-z0-9\\-._~+/]++=*+))"
            // A session id of the server: 128 upper-case hex digits.
            "|(?-i:([A-F0-9]{128}))"
            // Any other word is passed over whole: nothing starts inside it.
            "|[A-Za-z0-9_]++(*SKIP)(*FAIL)")
            .value());
    return *regex;
}

// Whether `key` names a session id ("sessionId", "session_id", "ClientSessionID").
bool isSessionKey(std::string_view key) {
    static constexpr std::string_view name = "sessionid";
    size_t matched = 0;
    for (size_t i = key.size(); i-- > 0 && matched < name.size();) {
        if (key[i] == '_')
            continue;
        if ((key[i] | 0x20) != name[name.size() - 1 - matched])
            return false;
        ++matched;
    }
    return matched == name.size();
}

bool isUpperHex(char c) {
    return static_cast<unsigned char>(c - '0') < 10 || static_cast<unsigned char>(c - 'A') < 6;
}

// The session-id rule on a run: each whole 128 characters of upper-case hex keep their first 15.
void appendShortenedSessionIds(std::string& out, std::string_view text) {
    size_t copied = 0;
    size_t run = 0;  // where the current run of upper-case hex began
    for (size_t i = 0; i < text.size(); ++i) {
        if (!isUpperHex(text[i])) {
            run = i + 1;
        } else if (i + 1 - run == 128) {
            out.append(text, copied, run + 15 - copied);
            copied = run = i + 1;
        }
    }
    out.append(text, copied);
}

// A session id that is not the server's long hex id becomes a digest of itself: the server can
// still tell lines of one session apart from another's, nobody can use it.
std::string sessionIdStandIn(std::string_view value) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(value.data()), value.size(), digest);
    return hexString(std::span<const std::uint8_t>(digest, 8)).substr(0, 15);
}

// What replaces the keyed value `value` of `key`, appended to `out`.
void appendKeyedStandIn(std::string& out, std::string_view key, std::string_view value) {
    if (isSessionKey(key)) {
        // "(null)" is no session; the server's hex id keeps its first 15 characters.
        if (value == "(null)" || value.empty()) {
            out += value;
        } else if (value.size() >= 128 && std::all_of(value.begin(), value.end(), isUpperHex)) {
            // All one run: each whole 128 characters keep their first 15.
            for (size_t at = 0; at < value.size(); at += 128)
                out.append(value, at, value.size() - at >= 128 ? 15 : 128);
        } else {
            out += sessionIdStandIn(value);
        }
        return;
    }
    out += TVKLogFileFormatter::RedactedValue;
}

// Foreign addresses and their encrypted form, for the process: the encryption pads at random and
// costs an RSA operation. Bounded, so a log full of distinct addresses does not grow it for good.
struct AddressCache {
    static constexpr size_t kMaxEntries = 1024;
    std::mutex mutex;
    std::unordered_map<std::string, std::string> forms;

    static AddressCache& shared() {
        static AddressCache& cache = *new AddressCache();
        return cache;
    }
};

std::optional<std::string> encryptedAddress(const std::string& address) {
    auto& cache = AddressCache::shared();
    {
        std::lock_guard lock(cache.mutex);
        auto found = cache.forms.find(address);
        if (found != cache.forms.end())
            return found->second;
    }
    auto encrypted = TVKQuarraCryptManager::sharedInstance().RSAEncryptData(
        ByteView(reinterpret_cast<const std::uint8_t*>(address.data()), address.size()));
    if (!encrypted || encrypted->empty())
        return std::nullopt;
    std::string form = hexString(*encrypted);
    std::lock_guard lock(cache.mutex);
    if (cache.forms.size() >= AddressCache::kMaxEntries)
        cache.forms.clear();
    return cache.forms.emplace(address, std::move(form)).first->second;
}

bool isNonAscii(char c) {
    return static_cast<unsigned char>(c) >= 0x80;
}

// "%" lets a percent-encoded address ("bob%2Bx%40example.com") count whole; bytes above ASCII let
// an internationalised one.
bool isLocalPartChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '+' ||
           c == '-' || c == '%' || isNonAscii(c);
}

bool isDomainChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '-' ||
           isNonAscii(c);
}

bool isTopLevelChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isNonAscii(c);
}

// The length of the at sign at `at`: "@", or "%40" in percent-encoded text; 0 for none.
size_t atSignLength(std::string_view text, size_t at) {
    if (text[at] == '@')
        return 1;
    return text.compare(at, 3, "%40") == 0 ? 3 : 0;
}

// `text` with every e-mail address ("local@domain.tld": letters, digits and "_.+-" before the
// "@", letters, digits and "_.-" after it, ending in "." and letters) replaced, appended to `out`.
// Stops once `out` holds more than `budget` bytes (an address becomes hundreds of characters) and
// returns how much of `text` it took.
size_t appendRedactedAddresses(std::string& out, std::string_view text,
                               size_t budget = std::string::npos) {
    size_t copied = 0;
    for (size_t at = text.find_first_of("@%"); at != std::string_view::npos;
         at = text.find_first_of("@%", at + 1)) {
        size_t sign = atSignLength(text, at);
        if (at < copied || sign == 0)
            continue;
        size_t begin = at;
        while (begin > copied && isLocalPartChar(text[begin - 1]))
            --begin;
        size_t domainEnd = at + sign;
        while (domainEnd < text.size() && isDomainChar(text[domainEnd]))
            ++domainEnd;
        // The last "." inside the domain with a letter after it, and at least one character
        // before it, ends the address with the letters that follow.
        size_t end = std::string_view::npos;
        for (size_t dot = domainEnd; dot-- > at + sign + 1;) {
            if (text[dot] == '.' && dot + 1 < domainEnd && isTopLevelChar(text[dot + 1])) {
                end = dot + 1;
                while (end < domainEnd && isTopLevelChar(text[end]))
                    ++end;
                break;
            }
        }
        if (begin == at || end == std::string_view::npos)
            continue;
        out.append(text, copied, begin - copied);
        std::string address(text.substr(begin, end - begin));
        if (sign == 3)
            address = Url::percentDecode(address);
        out += TVKLogFileFormatter::replacementForEmailAddress(address);
        copied = end;
        at = end - 1;
        if (out.size() > budget)
            return copied;
    }
    out.append(text, copied);
    return text.size();
}

}  // namespace

std::optional<std::string> TVKLogFileFormatter::formatLogMessage(const LDLogMessage& message) {
    auto line = LDLogFileFormatterDefault::formatLogMessage(message);
    if (!line)
        return line;
    // The timestamp and its two spaces hold no secret and no control character.
    constexpr size_t kTimestamp = 25;
    std::string_view text = std::string_view(*line).substr(std::min(kTimestamp, line->size()));
    const size_t textSize = text.size();
    // Room for the cut's marker, so that the record stays within its bound with it.
    constexpr size_t kMarkerRoom = 64;
    const size_t budget = MaximumRecordBytes - std::min(MaximumRecordBytes / 2,
                                                        line->size() - text.size() + kMarkerRoom);
    // Only what can be written is searched: the text is taken up to the budget, less the word that
    // the cut goes through. A part of an address or a session id would be no match and be written
    // as it stands; a key or a value cut short is still found.
    bool cut = false;
    if (text.size() > budget) {
        size_t end = budget;
        while (end > 0 && (isLocalPartChar(text[end - 1]) || text[end - 1] == '@'))
            --end;
        text = text.substr(0, end);
        cut = true;
    }
    std::optional<std::string> redacted = redactedText(text, budget);
    std::string_view written = redacted ? std::string_view(*redacted) : RedactedValue;
    line->resize(line->size() - textSize);
    line->reserve(line->size() + std::min(written.size(), budget) + kMarkerRoom);
    if (appendEscapedLogText(*line, written, line->size() + budget) < written.size())
        cut = true;
    if (cut) {
        *line += " [cut: the text had " + std::to_string(textSize) + " bytes, " +
                 std::to_string(line->size() - kTimestamp) + " are written]";
    }
    return line;
}

std::optional<std::string> TVKLogFileFormatter::redactedText(std::string_view text,
                                                             size_t budget) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    ErrorPtr error = redactionRegex().forEachMatch(text, [&](const Regex::Match& match) {
        const Regex::Range& whole = match[0];
        out.append(text, copied, whole.location - copied);
        copied = whole.location + whole.length;
        const Regex::Range& value = match[kValueGroup];
        if (value.found) {
            out.append(text, whole.location, value.location - whole.location);
            appendKeyedStandIn(out, match[kKeyGroup].in(text), value.in(text));
            out.append(text, value.location + value.length,
                       whole.location + whole.length - value.location - value.length);
            return;
        }
        out.append(text, whole.location, match[kSessionIdGroup].found ? 15 : whole.length);
    });
    if (error)
        return std::nullopt;
    out.append(text, copied);
    if (out.find('@') == std::string::npos && out.find("%40") == std::string::npos)
        return out;
    std::string addressesRedacted;
    addressesRedacted.reserve(std::min(out.size(), budget));
    appendRedactedAddresses(addressesRedacted, out, budget);
    return addressesRedacted;
}

std::string TVKLogFileFormatter::redactSecuredFieldsFromFormattedMessage(std::string message) {
    if (message.empty())
        return message;
    auto redacted = redactedText(message);
    return redacted ? std::move(*redacted) : std::string(RedactedValue);
}

std::string TVKLogFileFormatter::redactSessionIdsFromFormattedMessage(std::string message) {
    std::string out;
    out.reserve(message.size());
    appendShortenedSessionIds(out, message);
    return out;
}

std::string TVKLogFileFormatter::redactEmailAddressesFromFormattedMessage(std::string message) {
    if (message.find('@') == std::string::npos && message.find("%40") == std::string::npos)
        return message;
    std::string out;
    out.reserve(message.size());
    appendRedactedAddresses(out, message);
    return out;
}

std::string TVKLogFileFormatter::replacementForEmailAddress(const std::string& address) {
    std::optional<std::string> replacement;
    auto user = TVKQuarraAuthManager::sharedInstance().currentUser();
    if (user && user->username() == address)
        replacement = user->encryptedUsername();
    else
        replacement = encryptedAddress(address);
    if (!replacement || replacement->empty())
        replacement = identifierForVendor();
    // The line is written all the same; the address never is.
    return replacement && !replacement->empty() ? *replacement : std::string("<e-mail>");
}

std::string TVKLogFileFormatter::replaceStringsMatchingRegex(
    const Regex& regex, std::string string,
    const std::function<std::string(const std::string& matched)>& replacement) {
    std::unordered_map<std::string, std::string> replacements;
    ErrorPtr error = regex.forEachMatch(string, [&](const Regex::Match& match) {
        std::string matched(match[0].in(string));
        replacements[matched] = replacement(matched);
    });
    if (error)
        return RedactedValue;
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

size_t TVKLogFileFormatter::appendEscapedLogText(std::string& out, std::string_view text,
                                                size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    // A cut at the limit falls between characters and escapes, never inside one.
    size_t plain = 0;  // start of the run copied as it stands
    size_t i = 0;
    auto fits = [&](size_t more) {
        return limit == std::string::npos || out.size() + (i - plain) + more <= limit;
    };
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            if (!fits(1))
                break;
            ++i;
            continue;
        }
        size_t length = c >= 0x80 ? utf8SequenceLength(text, i) : 0;
        if (length) {
            if (!fits(length))
                break;
            i += length;
            continue;
        }
        size_t escaped = c >= 0x80 ? 3 : (c == '\\' || c == '\n' || c == '\r' || c == '\t') ? 2 : 4;
        if (!fits(escaped))
            break;
        out.append(text, plain, i - plain);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x80) {
                    out += "\xEF\xBF\xBD";
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
        }
        plain = ++i;
    }
    out.append(text, plain, i - plain);
    return i;
}

std::string TVKLogFileFormatter::unescapedLogText(std::string_view text) {
    auto hexValue = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[i + 1];
        if (next == '\\' || next == 'n' || next == 'r' || next == 't') {
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : '\\';
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 2]) < 8 && hexValue(text[i + 3]) >= 0) {
            // Only control characters are written so; "\x80" to "\xFF" are text as they stand
            // (they would make bytes that are not UTF-8).
            out += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace quarra
