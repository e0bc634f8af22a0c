#include "storage/cache/TVKCacheTable.h"

#include <algorithm>
#include <set>

#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/Bundle.h"
#include "quarra/TVKErrors.h"

namespace quarra {

namespace {

std::string join(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i ? separator : "") + items[i];
    }
    return text;
}

std::vector<std::string> namesOf(const std::vector<TVKCacheTableColumnPtr>& columns) {
    std::vector<std::string> names;
    for (const auto& column : columns) {
        names.push_back(column->name());
    }
    return names;
}

std::string dictionaryDescription(const SQDictionary& values) {
    std::string text = "{";
    for (const auto& [key, value] : values) {
        text += (text.size() > 1 ? "; " : "") + key + " = " + TVKQuarraValueDescription(value);
    }
    return text + "}";
}

}  // namespace

TVKCacheTable::TVKCacheTable(std::string name, std::vector<TVKCacheTableColumnPtr> columns)
    : name_(std::move(name)), orderedColumns_(std::move(columns)) {}

std::map<std::string, TVKCacheTableColumnPtr> TVKCacheTable::columns() const {
    std::map<std::string, TVKCacheTableColumnPtr> byName;
    for (const auto& column : orderedColumns_) {
        byName[column->name()] = column;
    }
    return byName;
}

std::vector<TVKCacheTableColumnPtr> TVKCacheTable::primaryKeys() const {
    std::vector<TVKCacheTableColumnPtr> keys;
    std::copy_if(orderedColumns_.begin(), orderedColumns_.end(), std::back_inserter(keys),
                 [](const auto& column) { return column->isPrimaryKey(); });
    return keys;
}

std::shared_ptr<TVKCacheTable> TVKCacheTable::copy() const {
    return std::make_shared<TVKCacheTable>(std::string(name_), orderedColumns_);
}

std::string TVKCacheTable::description() const {
    std::vector<std::string> columns;
    for (const auto& column : orderedColumns_) {
        columns.push_back(column->description());
    }
    return "name:" + name_ + "; columns:(" + join(columns) + ")";
}

// ---- Statement text

std::string TVKCacheTable::columnsClauseForCreateAlterTable(
    const std::vector<TVKCacheTableColumnPtr>& columns) {
    std::string clause = "(";
    std::vector<std::string> keys;
    for (const auto& column : columns) {
        clause += column->sqlForColumnSchema() + ", ";
        if (column->isPrimaryKey()) {
            keys.push_back(column->name());
        }
    }
    if (!keys.empty()) {
        return clause + "PRIMARY KEY (" + join(keys) + "))";
    }
    // "a TEXT, b TEXT, " ends "a TEXT, b TEXT) ".
    if (clause.size() >= 2) {
        clause[clause.size() - 2] = ')';
    }
    return clause;
}

std::string TVKCacheTable::columnNamesClauseForInsertOrDeleteRow(
    const std::vector<std::string>& names) {
    return "(" + join(names) + ")";
}

std::string TVKCacheTable::columnValuesClauseForInsertRow(std::size_t count) {
    return "(" + join(std::vector<std::string>(count, "?")) + ")";
}

std::optional<std::string> TVKCacheTable::columnsClauseForUpdate(
    const std::vector<std::string>& names) {
    if (names.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> assignments;
    for (const auto& name : names) {
        assignments.push_back(name + "=?");
    }
    return join(assignments);
}

std::string TVKCacheTable::createTableSql() const {
    return "CREATE TABLE IF NOT EXISTS '" + name_ + "' " +
           columnsClauseForCreateAlterTable(orderedColumns_);
}

std::string TVKCacheTable::insertOrReplaceSql(const SQDictionary& values) const {
    std::vector<std::string> names;
    for (const auto& [name, value] : values) {
        names.push_back(name);
    }
    return "INSERT OR REPLACE INTO '" + name_ + "' " +
           columnNamesClauseForInsertOrDeleteRow(names) + " VALUES " +
           columnValuesClauseForInsertRow(names.size());
}

std::string TVKCacheTable::existsSql() const {
    return "SELECT name FROM sqlite_master WHERE type='table' AND name='" + name_ + "'";
}

std::string TVKCacheTable::dropTableSql() const {
    return "DROP TABLE IF EXISTS '" + name_ + "'";
}

// ---- Running statements

ErrorPtr TVKCacheTable::handleErrorForDatabase(SQDatabase& db, const std::string& sql) {
    ErrorPtr underlying = db.lastError();
    TVK_LOG_ERROR("Error executing sql:\n" + sql + "\n" + underlying->description());
    // A statement can fail without the engine recording a code (a connection that is busy with
    // another statement); that is still a failure.
    return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode, Json::object(),
                       underlying);
}

ErrorPtr TVKCacheTable::execute(SQDatabase& db, const std::string& sql,
                                const SQArguments& arguments) {
    if (!db.executeUpdate(sql, arguments)) {
        return handleErrorForDatabase(db, sql);
    }
    return nullptr;
}

Result<std::shared_ptr<SQResultSet>> TVKCacheTable::query(SQDatabase& db, const std::string& sql,
                                                          const SQArguments& arguments) {
    if (auto rows = db.executeQuery(sql, arguments)) {
        return rows;
    }
    return handleErrorForDatabase(db, sql);
}

Result<bool> TVKCacheTable::advance(SQResultSet& rows, SQDatabase& db, const std::string& sql) {
    auto step = rows.nextWithError();
    if (!step) {
        return handleErrorForDatabase(db, sql);
    }
    return step;
}

// ---- Operations

ErrorPtr TVKCacheTable::createTableWithDatabase(SQDatabase& db) {
    return execute(db, createTableSql());
}

ErrorPtr TVKCacheTable::addColumn(const TVKCacheTableColumnPtr& column, SQDatabase& db) {
    for (const auto& existing : orderedColumns_) {
        if (existing->name() == column->name()) {
            return nullptr;
        }
    }
    orderedColumns_.push_back(column);
    auto exists = tableExistsInDatabase(db);
    ErrorPtr error = exists.error();
    if (exists) {
        error = *exists ? execute(db, "ALTER TABLE '" + name_ + "' ADD COLUMN '" + column->name() +
                                          "' '" + column->sqlType() + "'")
                        : createTableWithDatabase(db);
    }
    if (error) {
        orderedColumns_.pop_back();
    }
    return error;
}

ErrorPtr TVKCacheTable::insertOrUpdateRecordWithValues(const SQDictionary& values, SQDatabase& db) {
    for (const auto& key : primaryKeys()) {
        auto found = values.find(key->name());
        if (found == values.end() || found->second.isNull()) {
            return Error::make(
                TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                Bundle::sdk().localizedString("Cache entry doesn't contain required field"));
        }
    }
    SQArguments arguments;
    for (const auto& [name, value] : values) {
        arguments.push_back(value);
    }
    return execute(db, insertOrReplaceSql(values), arguments);
}

ErrorPtr TVKCacheTable::updateRecordsMatchingQuery(const TVKQuarraLocalQuery* query,
                                                   const SQDictionary& values, SQDatabase& db) {
    std::vector<std::string> names;
    SQArguments arguments;
    for (const auto& [name, value] : values) {
        names.push_back(name);
        arguments.push_back(value);
    }
    auto assignments = columnsClauseForUpdate(names);
    if (!assignments) {
        return nullptr;
    }
    std::string sql = "UPDATE '" + name_ + "' SET " + *assignments + " ";
    if (query) {
        if (auto where = query->boundWhereClause()) {
            sql += where->sql;
            arguments.insert(arguments.end(), where->arguments.begin(), where->arguments.end());
        }
    }
    return execute(db, sql, arguments);
}

Result<std::shared_ptr<SQResultSet>> TVKCacheTable::performQuery(
    const TVKQuarraLocalQuery& localQuery, SQDatabase& db) {
    auto bound = localQuery.boundSqlForTableName(name_);
    return query(db, bound.sql, bound.arguments);
}

Result<std::optional<SQDictionary>> TVKCacheTable::recordWithPrimaryKeyValues(
    const SQDictionary& keyValues, SQDatabase& db) {
    TVKQuarraExpression expression;
    for (const auto& [name, value] : keyValues) {
        if (!expression.empty()) {
            expression.emplace_back(TVKQuarraLogicalOperatorAnd);
        }
        expression.emplace_back(TVKQuarraQueryCriteria::criteriaWithFieldEqualTo(name, value));
    }
    auto keyQuery = TVKQuarraLocalQuery::createWithExpression(expression);
    auto bound = keyQuery->boundSqlForTableName(name_);
    auto rows = query(db, bound.sql, bound.arguments);
    if (!rows) {
        return rows.error();
    }
    auto first = advance(**rows, db, bound.sql);
    if (!first) {
        return first.error();
    }
    if (!*first) {
        return std::optional<SQDictionary>();
    }
    auto record = (*rows)->resultDictionary();
    auto second = advance(**rows, db, bound.sql);
    if (!second) {
        return second.error();
    }
    if (*second) {
        TVK_LOG_ERROR("Multiple records found for primary key values:" +
                      dictionaryDescription(keyValues) + "\ntable:" + description());
        (*rows)->close();
    }
    return record;
}

ErrorPtr TVKCacheTable::deleteRecordWithPrimaryKeyEqualTo(const SQValue& value, SQDatabase& db) {
    const auto keys = primaryKeys();
    if (keys.empty()) {
        return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                           "The table has no key column");
    }
    if (value.isNull()) {
        return execute(db, "DELETE FROM '" + name_ + "' WHERE " + keys[0]->name() + " IS (NULL) ");
    }
    return execute(db, "DELETE FROM '" + name_ + "' WHERE " + keys[0]->name() + " = (?) ", {value});
}

ErrorPtr TVKCacheTable::deleteRecordsWithPrimaryKeysIn(const SQArguments& values, SQDatabase& db) {
    const auto keys = primaryKeys();
    if (keys.empty()) {
        return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                           "The table has no key column");
    }
    return execute(db,
                   "DELETE FROM '" + name_ + "' WHERE " + keys[0]->name() + " IN " +
                       columnValuesClauseForInsertRow(values.size()) + " ",
                   values);
}

ErrorPtr TVKCacheTable::deleteRecordsWithCompositePrimaryKeysIn(
    const std::vector<SQArguments>& tuples, SQDatabase& db) {
    const auto keys = primaryKeys();
    if (keys.empty()) {
        return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                           "The table has no key column");
    }
    if (tuples.empty()) {
        return nullptr;
    }
    std::vector<std::string> placeholders;
    SQArguments arguments;
    for (const auto& tuple : tuples) {
        if (tuple.size() != keys.size()) {
            return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                               "A key does not match the table's key");
        }
        placeholders.push_back(columnValuesClauseForInsertRow(tuple.size()));
        arguments.insert(arguments.end(), tuple.begin(), tuple.end());
    }
    // The engine takes a list of row values on the right of IN only as a subquery, hence VALUES.
    return execute(db,
                   "DELETE FROM '" + name_ + "' WHERE " +
                       columnNamesClauseForInsertOrDeleteRow(namesOf(keys)) + " IN (VALUES " +
                       join(placeholders) + ") ",
                   arguments);
}

ErrorPtr TVKCacheTable::alterTableWithColumns(const std::vector<TVKCacheTableColumnPtr>& columns,
                                              SQDatabase& db) {
    std::set<std::string> removed;
    for (const auto& column : orderedColumns_) {
        removed.insert(column->name());
    }
    for (const auto& column : columns) {
        removed.erase(column->name());
    }
    const std::string oldName = name_;
    const std::string readSql = "SELECT * FROM '" + oldName + "'";
    auto rows = query(db, readSql, {});
    if (!rows) {
        return rows.error();
    }
    const std::string tempName = oldName + "_temp";
    ErrorPtr error;
    if ((error = execute(
             db, "CREATE TABLE '" + tempName + "' " + columnsClauseForCreateAlterTable(columns)))) {
        return error;
    }
    name_ = tempName;
    while (!error) {
        auto step = advance(**rows, db, readSql);
        if (!step) {
            error = step.error();
            break;
        }
        if (!*step) {
            break;
        }
        auto row = (*rows)->resultDictionary().value_or(SQDictionary{});
        for (const auto& name : removed) {
            row.erase(name);
        }
        error = insertOrUpdateRecordWithValues(row, db);
    }
    name_ = oldName;
    if (error) {
        return error;
    }
    db.closeOpenResultSets();
    if ((error = execute(db, "DROP TABLE '" + oldName + "'"))) {
        return error;
    }
    if ((error = execute(db, "ALTER TABLE '" + tempName + "' RENAME TO '" + oldName + "'"))) {
        return error;
    }
    orderedColumns_ = columns;
    return nullptr;
}

ErrorPtr TVKCacheTable::dropTableWithDatabase(SQDatabase& db) {
    return execute(db, dropTableSql());
}

Result<bool> TVKCacheTable::tableExistsInDatabase(SQDatabase& db) {
    const std::string sql = existsSql();
    auto rows = query(db, sql, {});
    if (!rows) {
        return rows.error();
    }
    auto exists = advance(**rows, db, sql);
    (*rows)->close();
    return exists;
}

Result<std::optional<std::vector<std::string>>> TVKCacheTable::columnNamesInDatabase(
    SQDatabase& db) {
    const std::string sql = "PRAGMA table_info('" + name_ + "')";
    auto rows = query(db, sql, {});
    if (!rows) {
        return rows.error();
    }
    std::vector<std::string> names;
    for (;;) {
        auto step = advance(**rows, db, sql);
        if (!step) {
            return step.error();
        }
        if (!*step) {
            break;
        }
        names.push_back((*rows)->stringForColumn("name").value_or(""));
    }
    if (names.empty()) {
        return std::optional<std::vector<std::string>>();
    }
    return std::optional(std::move(names));
}

}  // namespace quarra
