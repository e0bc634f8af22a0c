#pragma once
// Small helpers shared by the database layer's sources.
#include <string>
#include <string_view>

namespace quarra::sqdb {

// The database layer reports its own failures on the developer console (stderr), not in the SDK's
// log file. The lines carry SQL text and engine messages; bound values only while tracing is
// switched on.
void log(std::string_view line);

// ASCII lower case, as column and table names are compared.
std::string lowercased(std::string_view text);

// `text` as the body of an SQL string literal: every "'" doubled.
std::string escapedLiteral(std::string_view text);

}  // namespace quarra::sqdb
