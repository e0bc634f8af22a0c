#pragma once
// How every name -- table, column, criteria field -- enters the cache's SQL text. Always quoted,
// so a name that is a keyword ("order", "select"), holds a blank or a dash, or carries a whole
// statement is still only a name; backquotes because the engine may read an unknown
// double-quoted name as a text value instead of failing.
#include <string>
#include <string_view>

namespace quarra {

inline std::string TVKSqlName(std::string_view name) {
    std::string quoted = "`";
    for (char c : name) {
        quoted += c;
        if (c == '`') {
            quoted += c;
        }
    }
    return quoted + "`";
}

}  // namespace quarra
