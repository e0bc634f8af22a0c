#pragma once
// One column of a cache table: name, SQLite type and constraints. A column is a key column when one
// of its constraints is "PRIMARY KEY" (any case); that constraint is gathered into the table's key
// clause instead of the column's own schema text. Shared between table descriptors; not changed
// while an operation uses it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/SQValue.h"

namespace quarra {

class TVKCacheTableColumn {
  public:
    TVKCacheTableColumn(std::string name, std::string sqlType,
                        std::vector<std::string> constraints = {});

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    const std::string& sqlType() const { return sqlType_; }
    void setSqlType(std::string type) { sqlType_ = std::move(type); }
    const std::vector<std::string>& constraints() const { return constraints_; }
    void setConstraints(std::vector<std::string> c) { constraints_ = std::move(c); }

    bool isPrimaryKey() const;
    // "`name` TYPE CONSTRAINT ..." without "PRIMARY KEY".
    std::string sqlForColumnSchema() const;
    std::string description() const;

    // A value as an SQL literal: NULL, digits, 'text' (inner quotes as they are), seconds since
    // 1970 with six decimals for a date; nothing (after an error log) for bytes. The caches bind
    // their values instead of writing them in; this rendering is for texts shown to people.
    static std::optional<std::string> sqlForValue(const SQValue& value);
    // Each value's literal joined by ", "; nothing for an empty list or a value without literal.
    static std::optional<std::string> sqlForValues(const SQArguments& values);

  private:
    std::string name_;
    std::string sqlType_;
    std::vector<std::string> constraints_;
};

using TVKCacheTableColumnPtr = std::shared_ptr<TVKCacheTableColumn>;

}  // namespace quarra
