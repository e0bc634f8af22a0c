#include "storage/db/SQResultSet.h"

#include <sqlcipher/sqlite3.h>

#include <algorithm>
#include <cctype>

#include "storage/db/SQDatabase.h"
#include "storage/db/SQSupport.h"

namespace quarra {
SQResultSet::SQResultSet(std::shared_ptr<SQStatement> statement,
                         std::shared_ptr<SQDatabase> parentDB)
    : parentDB_(std::move(parentDB)), statement_(std::move(statement)) {}

std::shared_ptr<SQResultSet> SQResultSet::resultSetWithStatement(
    std::shared_ptr<SQStatement> statement, std::shared_ptr<SQDatabase> parentDB) {
    statement->setInUse(true);
    return std::shared_ptr<SQResultSet>(new SQResultSet(std::move(statement), std::move(parentDB)));
}

SQResultSet::~SQResultSet() {
    close();
}

sqlite3_stmt* SQResultSet::stmt() const {
    return statement_ ? statement_->statement() : nullptr;
}

void SQResultSet::close() {
    if (statement_) {
        statement_->reset();
        statement_.reset();
    }
    if (parentDB_) {
        // Moved out first: this may be the last reference to the connection.
        auto parent = std::move(parentDB_);
        parent->resultSetDidClose(this);
    }
}

Result<bool> SQResultSet::nextWithError() {
    int result = sqlite3_step(stmt());
    auto engineMessage = [this] {
        return parentDB_ ? parentDB_->lastErrorMessage()
                         : std::string(sqlite3_errstr(SQLITE_MISUSE));
    };
    // Without a connection there is no engine error to read: the cursor is closed.
    auto failure = [this] {
        return parentDB_ ? parentDB_->lastError()
                         : Error::make(SQDatabaseErrorDomain, SQLITE_MISUSE,
                                       std::string_view("parentDB does not exist"));
    };
    if (result == SQLITE_ROW) {
        return true;
    }
    ErrorPtr error;
    if (result == SQLITE_DONE) {
        // the end of the rows
    } else if (result == SQLITE_BUSY || result == SQLITE_LOCKED) {
        sqdb::log("SQResultSet::nextWithError Database busy (" +
                  (parentDB_ && parentDB_->databasePath() ? *parentDB_->databasePath() : "(null)") +
                  ")");
        sqdb::log("Database busy");
        error = failure();
    } else if (result == SQLITE_ERROR || result == SQLITE_MISUSE) {
        sqdb::log("Error calling sqlite3_step (" + std::to_string(result) + ": " + engineMessage() +
                  ") rs");
        error = failure();
    } else {
        sqdb::log("Unknown error calling sqlite3_step (" + std::to_string(result) + ": " +
                  engineMessage() + ") rs");
        error = failure();
    }
    close();
    if (error) {
        return error;
    }
    return false;
}

bool SQResultSet::hasAnotherRow() const {
    return parentDB_ && sqlite3_errcode(parentDB_->sqliteHandle()) == SQLITE_ROW;
}

int SQResultSet::columnCount() const {
    return sqlite3_column_count(stmt());
}

const std::map<std::string, int, std::less<>>& SQResultSet::columnNameToIndexMap() {
    if (!columnMapBuilt_) {
        int count = columnCount();
        for (int i = 0; i < count; ++i) {
            if (const char* name = sqlite3_column_name(stmt(), i)) {
                columnNameToIndexMap_[sqdb::lowercased(name)] = i;
            }
        }
        columnMapBuilt_ = count > 0;
    }
    return columnNameToIndexMap_;
}

int SQResultSet::columnIndexForName(std::string_view name) {
    std::string key = sqdb::lowercased(name);
    const auto& map = columnNameToIndexMap();
    auto it = map.find(key);
    if (it == map.end()) {
        sqdb::log("Warning: I could not find the column named '" + key + "'.");
        return -1;
    }
    return it->second;
}

std::optional<std::string> SQResultSet::columnNameForIndex(int index) const {
    const char* name = sqlite3_column_name(stmt(), index);
    return name ? std::optional<std::string>(name) : std::nullopt;
}

int SQResultSet::intForColumnIndex(int index) const {
    return sqlite3_column_int(stmt(), index);
}

std::int64_t SQResultSet::longForColumnIndex(int index) const {
    return sqlite3_column_int64(stmt(), index);
}

std::uint64_t SQResultSet::unsignedLongLongIntForColumnIndex(int index) const {
    return static_cast<std::uint64_t>(longForColumnIndex(index));
}

double SQResultSet::doubleForColumnIndex(int index) const {
    return sqlite3_column_double(stmt(), index);
}

bool SQResultSet::columnIndexIsNull(int index) const {
    return sqlite3_column_type(stmt(), index) == SQLITE_NULL;
}

const char* SQResultSet::UTF8StringForColumnIndex(int index) const {
    if (columnIndexIsNull(index) || index < 0 || index >= columnCount()) {
        return nullptr;
    }
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt(), index));
}

std::optional<std::string> SQResultSet::stringForColumnIndex(int index) const {
    const char* text = UTF8StringForColumnIndex(index);
    if (!text) {
        return std::nullopt;
    }
    return std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt(), index)));
}

std::optional<SQDate> SQResultSet::dateForColumnIndex(int index) const {
    if (columnIndexIsNull(index) || index < 0 || index >= columnCount()) {
        return std::nullopt;
    }
    if (parentDB_ && parentDB_->hasDateFormatter()) {
        auto text = stringForColumnIndex(index);
        return text ? parentDB_->dateFromString(*text) : std::nullopt;
    }
    return SQDate(std::chrono::duration<double>(doubleForColumnIndex(index)));
}

std::optional<Bytes> SQResultSet::dataForColumnIndex(int index) const {
    auto view = dataNoCopyForColumnIndex(index);
    if (!view || view->empty()) {
        return std::nullopt;
    }
    return Bytes(view->begin(), view->end());
}

std::optional<std::span<const std::uint8_t>> SQResultSet::dataNoCopyForColumnIndex(
    int index) const {
    if (columnIndexIsNull(index) || index < 0 || index >= columnCount()) {
        return std::nullopt;
    }
    const void* bytes = sqlite3_column_blob(stmt(), index);
    int size = sqlite3_column_bytes(stmt(), index);
    if (!bytes) {
        return std::span<const std::uint8_t>();
    }
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(bytes),
                                         static_cast<size_t>(size));
}

std::optional<SQValue> SQResultSet::objectForColumnIndex(int index) const {
    if (index < 0 || index >= columnCount()) {
        return std::nullopt;
    }
    std::optional<SQValue> value;
    switch (sqlite3_column_type(stmt(), index)) {
        case SQLITE_INTEGER:
            value = longForColumnIndex(index);
            break;
        case SQLITE_FLOAT:
            value = doubleForColumnIndex(index);
            break;
        case SQLITE_BLOB:
            if (auto data = dataForColumnIndex(index))
                value = std::move(*data);
            break;
        default:
            if (auto text = stringForColumnIndex(index))
                value = std::move(*text);
            break;
    }
    return value ? std::move(*value) : SQValue(SQNull{});
}

std::optional<SQDictionary> SQResultSet::resultDictionary() const {
    if (sqlite3_data_count(stmt()) == 0) {
        sqdb::log("Warning: There seem to be no columns in this set.");
        return std::nullopt;
    }
    SQDictionary row;
    int count = columnCount();
    for (int i = 0; i < count; ++i) {
        row[sqlite3_column_name(stmt(), i)] = *objectForColumnIndex(i);
    }
    return row;
}

std::optional<SQDictionary> SQResultSet::resultDict() {
    if (sqlite3_data_count(stmt()) == 0) {
        sqdb::log("Warning: There seem to be no columns in this set.");
        return std::nullopt;
    }
    SQDictionary row;
    for (const auto& [name, index] : columnNameToIndexMap()) {
        row[name] = *objectForColumnIndex(index);
    }
    return row;
}

void SQResultSet::kvcMagic(
    const std::function<void(const std::string& column, const std::string& text)>& setter) {
    int count = sqlite3_data_count(stmt());
    for (int i = 0; i < count; ++i) {
        if (auto text = stringForColumnIndex(i)) {
            setter(sqlite3_column_name(stmt(), i), *text);
        }
    }
}

SQTextOffsets SQResultSet::offsetsForColumnIndex(int index) const {
    return SQTextOffsets(stringForColumnIndex(index).value_or(""));
}

}  // namespace quarra
