#pragma once
// A table of the encrypted cache database: its name and ordered columns, and every statement the
// caches send to it. The one definition of the cache database's table layout and SQL text.
//
// The descriptor holds no connection: each operation runs on the open, keyed connection its cache
// got inside its transaction, and commit or rollback is the caller's. Values are always bound to
// placeholders, never written into a statement; names are always quoted (TVKSqlName). A failed
// statement is TVKCacheErrorDomain -1 with the engine's reason and its error underneath, logged
// with the statement text. Bulk removals go in statements within the engine's bound-value limit.
//
// A descriptor is used by one operation at a time (a rebuild renames it while it runs).
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "storage/cache/TVKCacheTableColumn.h"
#include "quarra/TVKQuarraLocalQuery.h"
#include "storage/db/SQDatabase.h"
#include "storage/db/SQResultSet.h"

namespace quarra {

class TVKCacheTable {
  public:
    TVKCacheTable(std::string name, std::vector<TVKCacheTableColumnPtr> columns);

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    std::vector<TVKCacheTableColumnPtr> orderedColumns() const { return orderedColumns_; }
    void setOrderedColumns(std::vector<TVKCacheTableColumnPtr> c) {
        orderedColumns_ = std::move(c);
    }
    std::map<std::string, TVKCacheTableColumnPtr> columns() const;
    std::vector<TVKCacheTableColumnPtr> primaryKeys() const;

    // Tables are equal by name.
    bool isEqualToCacheTable(const TVKCacheTable& other) const { return name_ == other.name_; }
    // A new descriptor with the same name and the same (shared) column objects.
    std::shared_ptr<TVKCacheTable> copy() const;
    std::string description() const;

    // ---- Statement text

    static std::string columnsClauseForCreateAlterTable(
        const std::vector<TVKCacheTableColumnPtr>& columns);
    static std::string columnNamesClauseForInsertOrDeleteRow(const std::vector<std::string>& names);
    static std::string columnValuesClauseForInsertRow(std::size_t count);
    // "a=?, b=?"; nothing for no names.
    static std::optional<std::string> columnsClauseForUpdate(const std::vector<std::string>& names);
    std::string createTableSql() const;
    std::string insertOrReplaceSql(const SQDictionary& values) const;
    std::string existsSql() const;
    std::string dropTableSql() const;

    // ---- Operations: null on success, otherwise the error.

    // CREATE TABLE IF NOT EXISTS.
    [[nodiscard]] ErrorPtr createTableWithDatabase(SQDatabase& db);
    // Appends the column (no statement when the descriptor has one of that name): ALTER TABLE when
    // the table exists, otherwise CREATE with all columns. A failure leaves the column list as it
    // was.
    [[nodiscard]] ErrorPtr addColumn(const TVKCacheTableColumnPtr& column, SQDatabase& db);
    // INSERT OR REPLACE of one whole row. A row without every key column, or with NULL in one, is
    // -1 "Cache entry doesn't contain required field", before any statement.
    [[nodiscard]] ErrorPtr insertOrUpdateRecordWithValues(const SQDictionary& values,
                                                          SQDatabase& db);
    // UPDATE of the rows the query selects (every row without a query); nothing for no values.
    [[nodiscard]] ErrorPtr updateRecordsMatchingQuery(const TVKQuarraLocalQuery* query,
                                                      const SQDictionary& values, SQDatabase& db);
    // The query's SELECT on this table: the cursor before its first row.
    Result<std::shared_ptr<SQResultSet>> performQuery(const TVKQuarraLocalQuery& query,
                                                      SQDatabase& db);
    // The row whose key columns hold these values; nothing when none does. With two rows the first
    // is returned and the duplicate logged.
    Result<std::optional<SQDictionary>> recordWithPrimaryKeyValues(const SQDictionary& keyValues,
                                                                   SQDatabase& db);
    // By the first key column: IS NULL for a null value, "=" otherwise.
    [[nodiscard]] ErrorPtr deleteRecordWithPrimaryKeyEqualTo(const SQValue& value, SQDatabase& db);
    // By the first key column; an empty list deletes nothing. Any number of keys.
    [[nodiscard]] ErrorPtr deleteRecordsWithPrimaryKeysIn(const SQArguments& values,
                                                          SQDatabase& db);
    // Each tuple holds the key values in key-column order; an empty list deletes nothing. Any
    // number of tuples.
    [[nodiscard]] ErrorPtr deleteRecordsWithCompositePrimaryKeysIn(
        const std::vector<SQArguments>& tuples, SQDatabase& db);
    // Rebuilds the table with `columns` through a "<name>_temp" copy: kept columns keep their
    // values, new ones start NULL. The descriptor keeps its name, and takes the new columns only
    // when the rebuild succeeded. Partial work is left for the caller's rollback.
    [[nodiscard]] ErrorPtr alterTableWithColumns(const std::vector<TVKCacheTableColumnPtr>& columns,
                                                 SQDatabase& db);
    // DROP TABLE IF EXISTS.
    [[nodiscard]] ErrorPtr dropTableWithDatabase(SQDatabase& db);
    Result<bool> tableExistsInDatabase(SQDatabase& db);
    // Nothing when the table has no columns (is missing).
    Result<std::optional<std::vector<std::string>>> columnNamesInDatabase(SQDatabase& db);

    // The cache error for the statement `sql` that just failed on `db`, logged with the statement:
    // TVKCacheErrorDomain -1 described by the engine's reason, its error underneath.
    static ErrorPtr handleErrorForDatabase(SQDatabase& db, const std::string& sql);
    static ErrorPtr statementError(const ErrorPtr& underlying, const std::string& sql);

  private:
    [[nodiscard]] ErrorPtr execute(SQDatabase& db, const std::string& sql,
                                   const SQArguments& arguments = {});
    Result<std::shared_ptr<SQResultSet>> query(SQDatabase& db, const std::string& sql,
                                               const SQArguments& arguments);
    // Steps the cursor: true on a row, false at the end of the rows.
    static Result<bool> advance(SQResultSet& rows, SQDatabase& db, const std::string& sql);

    std::string name_;
    std::vector<TVKCacheTableColumnPtr> orderedColumns_;
};

using TVKCacheTablePtr = std::shared_ptr<TVKCacheTable>;

}  // namespace quarra
