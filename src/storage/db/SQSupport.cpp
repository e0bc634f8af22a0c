#include "storage/db/SQSupport.h"

#include "platform/Diagnostics.h"

namespace quarra::sqdb {

void log(std::string_view line, const std::source_location& where) {
    reportDiagnostic(DiagnosticLevel::Debug, line, where);
}

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string escapedLiteral(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out;
}

}  // namespace quarra::sqdb
