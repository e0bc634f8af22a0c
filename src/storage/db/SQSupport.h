#pragma once
// Small helpers shared by the database layer's sources.
#include <source_location>
#include <string>
#include <string_view>

namespace quarra::sqdb {

// The database layer's own failures and traces, as the platform's diagnostics at debug level: the
// lines carry SQL text and engine messages (bound values only while tracing is switched on), which
// belong in a developer's console rather than in a log the SDK uploads.
void log(std::string_view line,
         const std::source_location& where = std::source_location::current());

// ASCII lower case, as column and table names are compared.
std::string lowercased(std::string_view text);

// `text` as the body of an SQL string literal: every "'" doubled.
std::string escapedLiteral(std::string_view text);

}  // namespace quarra::sqdb
