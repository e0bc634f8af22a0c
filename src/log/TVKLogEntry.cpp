#include "log/TVKLogEntry.h"

#include "platform/Device.h"
#include "platform/Regex.h"

namespace quarra {
namespace {

const char* const kKeys[] = {"timestamp_str", "bundle_id", "session_id", "quarra_id", "username",
                             "file", "function_name", "line_num", "level", "message"};

const Regex& entryRegex() {
    // Never destroyed: a log upload may still read entries while the process exits.
    static const RegexPtr& regex = *new RegexPtr(
        Regex::make(
            "(\\d\\d\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d\\d\\d)\\s+\\[bundleID:(\\S+)\\s+"
            "sessionId:(\\S+)\\s+quarraId:(\\d+)\\s+username:(\\S+)\\s+file:(\\S+)\\s+function:(.+)"
            "\\s+line:(\\d+)\\]\\s+(DEBUG|INFO|WARNING|ERROR|VERBOSE)\\s+message:\\s+(\\S+.*)$",
            Regex::DotMatchesLineSeparators)
            .value());
    return *regex;
}

}  // namespace

TVKLogEntry::TVKLogEntry(std::string logString) : logString_(std::move(logString)) {
    clientFields_ = parse(logString_);
}

std::optional<Json> TVKLogEntry::parse(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    auto matches = entryRegex().matches(text);
    if (matches.size() != 1 || matches[0].size() != 11)
        return std::nullopt;
    Json fields = Json::object();
    for (size_t i = 0; i < 10; ++i)
        fields[kKeys[i]] = std::string(matches[0][i + 1].in(text));
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
