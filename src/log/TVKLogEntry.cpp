#include "log/TVKLogEntry.h"

#include "log/TVKLogFileFormatter.h"
#include "platform/Device.h"
#include "platform/Regex.h"
#include "platform/Utf8.h"

namespace quarra {
namespace {

const char* const kKeys[] = {"timestamp_str", "bundle_id", "session_id", "quarra_id", "username",
                             "file", "function_name", "line_num", "level", "message"};

// The first line of an entry. The function is matched up to the first " line:" so that a message
// cannot lend the prefix a level or a line of its choosing. Every run is possessive and the
// function's repetition takes a whole run of blanks or of other characters at a time, so a line
// is matched in time proportional to its length whatever its message holds.
const Regex& entryRegex() {
    // Never destroyed: a log upload may still read entries while the process exits.
    static const RegexPtr& regex = *new RegexPtr(
        Regex::make(
            "^(\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3})[ \\t]++\\[bundleID:(\\S++)"
            "[ \\t]++sessionId:(\\S++)[ \\t]++quarraId:(\\d++)[ \\t]++username:(\\S++)"
            "[ \\t]++file:(\\S++)[ \\t]++function:((?:[^ \\t\\n]++|[ \\t]++(?!line:))*?)"
            "[ \\t]++line:(\\d++)\\][ \\t]++(DEBUG|INFO|WARNING|ERROR|VERBOSE)[ \\t]++"
            "message:(?: |$)([^\\n]*+)\\n?$")
            .value());
    return *regex;
}

}  // namespace

TVKLogEntry::TVKLogEntry(std::string logString, Form form)
    : logString_(std::move(logString)), form_(form) {
    clientFields_ = parse(logString_, form_);
}

std::optional<Json> TVKLogEntry::parse(const std::string& text, Form form) {
    std::string_view first = text;
    std::string_view rest;
    if (form == Form::Raw) {
        // The prefix is on the first line; the lines after it are the message's.
        size_t lineEnd = text.find('\n');
        if (lineEnd != std::string::npos) {
            first = first.substr(0, lineEnd);
            rest = std::string_view(text).substr(lineEnd);
            if (rest.ends_with('\n'))
                rest.remove_suffix(1);
        }
    }
    auto match = entryRegex().firstMatch(first);
    if (!match.ok() || !*match)
        return std::nullopt;
    const Regex::Match& groups = **match;
    Json fields = Json::object();
    for (size_t i = 0; i < 10; ++i) {
        std::string_view value = groups[i + 1].in(first);
        fields[kKeys[i]] = form == Form::Escaped ? TVKLogFileFormatter::unescapedLogText(value)
                                                 : std::string(value);
    }
    if (!rest.empty())
        fields["message"] = fields["message"].get<std::string>() + std::string(rest);
    return fields;
}

const std::optional<Json>& TVKLogEntry::clientFields() {
    if (!clientFields_)
        clientFields_ = parse(logString_, form_);
    return clientFields_;
}

std::optional<Json> TVKLogEntry::serverFields() {
    const auto& fields = clientFields();
    if (!fields)
        return std::nullopt;
    // Whatever the file held, the record is valid JSON text.
    auto f = [&](const char* key) { return repairedUtf8((*fields)[key].get<std::string>()); };
    Json record = {{"Log Type", LogType},
                   {"Log Level", f("level")},
                   {"ClientID", f("bundle_id")},
                   {"ClientDateTime", f("timestamp_str")},
                   {"Username", f("username")},
                   {"ClientSessionID", f("session_id")},
                   {"quarraID", f("quarra_id")},
                   {"message", f("message")}};
    if (auto device = identifierForVendor())
        record["DeviceID"] = *device;
    return record;
}

std::string TVKLogEntry::description() {
    return "isValid:" + std::to_string(isValid() ? 1 : 0) + ";\nlogString:" + logString_;
}

}  // namespace quarra
