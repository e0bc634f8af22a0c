#include "log/TVKLogEntry.h"

#include "log/TVKLogFileFormatter.h"
#include "platform/Device.h"
#include "platform/Regex.h"

namespace quarra {
namespace {

const char* const kKeys[] = {"timestamp_str", "bundle_id", "session_id", "quarra_id", "username",
                             "file", "function_name", "line_num", "level", "message"};

// One line of the log file: the text was escaped when written, so an entry never spans lines and
// no message can hold a line that passes for an entry of its own. The function is matched up to
// the first " line:" so that a message cannot lend the prefix a level or a line of its choosing.
const Regex& entryRegex() {
    // Never destroyed: a log upload may still read entries while the process exits.
    static const RegexPtr& regex = *new RegexPtr(
        Regex::make(
            "^(\\d\\d\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d\\d\\d)[ \\t]+\\[bundleID:(\\S+)"
            "[ \\t]+sessionId:(\\S+)[ \\t]+quarraId:(\\d+)[ \\t]+username:(\\S+)[ \\t]+file:(\\S+)"
            "[ \\t]+function:(.+?)[ \\t]+line:(\\d+)\\][ \\t]+(DEBUG|INFO|WARNING|ERROR|VERBOSE)[ "
            "\\t]+"
            "message:[ \\t]+(\\S.*)$")
            .value());
    return *regex;
}

}  // namespace

TVKLogEntry::TVKLogEntry(std::string logString) : logString_(std::move(logString)) {
    clientFields_ = parse(logString_);
}

std::optional<Json> TVKLogEntry::parse(const std::string& text) {
    auto match = entryRegex().firstMatch(text);
    if (!match.ok() || !*match)
        return std::nullopt;
    const Regex::Match& groups = **match;
    Json fields = Json::object();
    for (size_t i = 0; i < 10; ++i)
        fields[kKeys[i]] = TVKLogFileFormatter::unescapedLogText(groups[i + 1].in(text));
    return fields;
}

const std::optional<Json>& TVKLogEntry::clientFields() {
    if (!clientFields_)
        clientFields_ = parse(logString_);
    return clientFields_;
}

std::optional<Json> TVKLogEntry::serverFields() {
    const auto& fields = clientFields();
    if (!fields)
        return std::nullopt;
    const Json& f = *fields;
    Json record = {{"Log Type", LogType},
                   {"Log Level", f["level"]},
                   {"ClientID", f["bundle_id"]},
                   {"ClientDateTime", f["timestamp_str"]},
                   {"Username", f["username"]},
                   {"ClientSessionID", f["session_id"]},
                   {"quarraID", f["quarra_id"]},
                   {"message", f["message"]}};
    if (auto device = identifierForVendor())
        record["DeviceID"] = *device;
    return record;
}

std::string TVKLogEntry::description() {
    return "isValid:" + std::to_string(isValid() ? 1 : 0) + ";\nlogString:" + logString_;
}

}  // namespace quarra
