// Single-value queries, schema and header questions, SQL validation and in-memory copies.
#include <sqlcipher/sqlite3.h>

#include "storage/db/SQDatabase.h"
#include "storage/db/SQSupport.h"

namespace quarra {
namespace {

// Copies every page of one database into another with the engine's online backup; the file side is
// never keyed. Answers the destination's result code.
int loadOrSaveDb(sqlite3* memory, const std::string& filePath, bool save) {
    sqlite3* file = nullptr;
    int result = sqlite3_open(filePath.c_str(), &file);
    if (result == SQLITE_OK) {
        sqlite3* destination = save ? file : memory;
        sqlite3* source = save ? memory : file;
        if (sqlite3_backup* backup = sqlite3_backup_init(destination, "main", source, "main")) {
            sqlite3_backup_step(backup, -1);
            sqlite3_backup_finish(backup);
        }
        result = sqlite3_errcode(destination);
    }
    sqlite3_close(file);
    return result;
}

}  // namespace

std::shared_ptr<SQResultSet> SQDatabase::firstRow(std::string_view sql, SQArguments arguments) {
    auto resultSet = queryWorker(sql, std::move(arguments), nullptr);
    // A cursor without a row has closed itself.
    return resultSet && resultSet->next() ? resultSet : nullptr;
}

bool SQDatabase::tableExists(std::string_view tableName) {
    auto resultSet =
        executeQuery("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?",
                     sqdb::lowercased(tableName));
    if (!resultSet) {
        return false;
    }
    bool found = resultSet->next();
    resultSet->close();
    return found;
}

std::shared_ptr<SQResultSet> SQDatabase::getSchema() {
    return executeQuery(
        "SELECT type, name, tbl_name, rootpage, sql FROM (SELECT * FROM sqlite_master UNION ALL "
        "SELECT * "
        "FROM sqlite_temp_master) WHERE type != 'meta' AND name NOT LIKE 'sqlite_%' ORDER BY "
        "tbl_name, "
        "type DESC, name");
}

std::shared_ptr<SQResultSet> SQDatabase::getTableSchema(std::string_view tableName) {
    // The name is a string literal here: a quote in it must not end the literal and splice SQL.
    return executeQuery("pragma table_info('" + sqdb::escapedLiteral(tableName) + "')");
}

bool SQDatabase::columnExists(std::string_view columnName, std::string_view tableName) {
    auto resultSet = getTableSchema(sqdb::lowercased(tableName));
    if (!resultSet) {
        return false;
    }
    std::string wanted = sqdb::lowercased(columnName);
    bool found = false;
    while (resultSet->next()) {
        if (sqdb::lowercased(resultSet->stringForColumn("name").value_or("")) == wanted) {
            found = true;
            break;
        }
    }
    resultSet->close();
    return found;
}

std::uint32_t SQDatabase::applicationID() {
    return static_cast<std::uint32_t>(longForQuery("pragma application_id"));
}

void SQDatabase::setApplicationID(std::uint32_t appID) {
    if (auto resultSet =
            executeQuery("pragma application_id=" + std::to_string(std::int32_t(appID)))) {
        resultSet->next();
        resultSet->close();
    }
}

std::uint32_t SQDatabase::userVersion() {
    return static_cast<std::uint32_t>(longForQuery("pragma user_version"));
}

void SQDatabase::setUserVersion(std::uint32_t version) {
    if (auto resultSet =
            executeQuery("pragma user_version = " + std::to_string(std::int32_t(version)))) {
        resultSet->next();
        resultSet->close();
    }
}

ErrorPtr SQDatabase::validateSQL(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    ErrorPtr error;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        error = Error::make("NSCocoaErrorDomain", lastErrorCode(),
                            std::string_view(lastErrorMessage()));
    }
    sqlite3_finalize(stmt);
    return error;
}

bool SQDatabase::copyInMemory(const std::string& filePath, bool save) {
    if (databasePath_) {
        sqdb::log("Database is not an in-memory representation.");
        return false;
    }
    if (!db_) {
        sqdb::log("Invalid database connection.");
        return false;
    }
    return loadOrSaveDb(db_, filePath, save) == SQLITE_OK;
}

bool SQDatabase::readFromFile(const std::string& filePath) {
    return copyInMemory(filePath, false);
}

bool SQDatabase::writeToFile(const std::string& filePath) {
    return copyInMemory(filePath, true);
}

}  // namespace quarra
