#pragma once
// One entry read back from the log: a timestamped line with its continuation lines, split into the
// fields of the line format and turned into the record that the server's "client/log" takes.
//
// A log file is in one of two forms. This release writes one escaped line per entry (`Escaped`);
// the previous release wrote the text as it came (`Raw`): an entry runs on over the lines that
// follow it up to the next timestamped one, and nothing in it is escaped.
#include <optional>
#include <string>

#include "quarra/Json.h"

namespace quarra {

class TVKLogEntry {
  public:
    // Every record's "Log Type".
    static constexpr const char* LogType = "ClientLog";

    enum class Form { Escaped, Raw };

    explicit TVKLogEntry(std::string logString, Form form = Form::Escaped);

    const std::string& logString() const { return logString_; }
    void setLogString(std::string logString) { logString_ = std::move(logString); }
    // "timestamp_str", "bundle_id", "session_id", "quarra_id", "username", "file",
    // "function_name", "line_num", "level", "message"; none when the text does not parse (parsing
    // is then tried again at every call).
    const std::optional<Json>& clientFields();
    void setClientFields(std::optional<Json> fields) { clientFields_ = std::move(fields); }
    // The server record (all values strings), none for an invalid entry.
    std::optional<Json> serverFields();
    bool isValid() { return clientFields().has_value(); }
    std::string description();

    // The fields of `text`, none when it is not exactly one entry. The message is everything after
    // "message: " (leading spaces and an empty message included), without the final newline.
    static std::optional<Json> parse(const std::string& text, Form form = Form::Escaped);

  private:
    std::string logString_;
    Form form_;
    std::optional<Json> clientFields_;
};

}  // namespace quarra
