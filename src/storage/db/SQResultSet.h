#pragma once
// The forward-only cursor a query returns: steps its statement row by row, reads columns by index
// or by case-insensitive name, and gives the statement back (reset) when closed. Closing happens by
// itself at the end of the rows, on an error, or when the cursor is destroyed.
//
// Thread safety: belongs to the thread that runs its connection; step and close it inside the queue
// block that created it. While open it keeps its connection alive.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quarra/Error.h"
#include "quarra/Result.h"
#include "storage/db/SQStatement.h"
#include "storage/db/SQTextOffsets.h"
#include "quarra/SQValue.h"

namespace quarra {

class SQDatabase;

class SQResultSet {
  public:
    // Marks the statement in use, so the statement cache does not hand it out while this cursor
    // lives.
    static std::shared_ptr<SQResultSet> resultSetWithStatement(
        std::shared_ptr<SQStatement> statement, std::shared_ptr<SQDatabase> parentDB);
    ~SQResultSet();
    SQResultSet(const SQResultSet&) = delete;
    SQResultSet& operator=(const SQResultSet&) = delete;

    // True when a row is current, false at the end of the rows. Any other outcome closes the
    // cursor; a failure is the error (a closed cursor reports code 21, "parentDB does not exist").
    // next() tells the end and a failure apart only through the connection's lastError().
    bool next() { return nextWithError().valueOr(false); }
    Result<bool> nextWithError();
    // The connection's last result was a row.
    bool hasAnotherRow() const;
    // Safe to call more than once.
    void close();

    const std::shared_ptr<SQDatabase>& parentDB() const { return parentDB_; }
    void setParentDB(std::shared_ptr<SQDatabase> db) { parentDB_ = std::move(db); }
    const std::string& query() const { return query_; }
    void setQuery(std::string query) { query_ = std::move(query); }
    const std::shared_ptr<SQStatement>& statement() const { return statement_; }
    void setStatement(std::shared_ptr<SQStatement> statement) { statement_ = std::move(statement); }
    // Lower-cased column name to index; a later column wins over an earlier one of the same name.
    const std::map<std::string, int, std::less<>>& columnNameToIndexMap();

    int columnCount() const;
    // -1 (with a warning) for a name no column has. Case-insensitive.
    int columnIndexForName(std::string_view name);
    std::optional<std::string> columnNameForIndex(int index) const;

    // Getters by index answer 0, false or null for a NULL column, a bad index or a closed cursor.
    int intForColumnIndex(int index) const;
    std::int64_t longForColumnIndex(int index) const;
    std::int64_t longLongIntForColumnIndex(int index) const { return longForColumnIndex(index); }
    std::uint64_t unsignedLongLongIntForColumnIndex(int index) const;
    bool boolForColumnIndex(int index) const { return intForColumnIndex(index) != 0; }
    double doubleForColumnIndex(int index) const;
    std::optional<std::string> stringForColumnIndex(int index) const;
    // Text through the connection's date formatter when it has one, else seconds since 1970.
    std::optional<SQDate> dateForColumnIndex(int index) const;
    // A zero-length blob is null here (the engine hands out no pointer for it).
    std::optional<Bytes> dataForColumnIndex(int index) const;
    // The engine's own bytes, valid until the next step, reset or close; a zero-length blob is
    // empty.
    std::optional<std::span<const std::uint8_t>> dataNoCopyForColumnIndex(int index) const;
    // The engine's own zero-terminated text, valid until the next step, reset or close; or null.
    const char* UTF8StringForColumnIndex(int index) const;
    bool columnIndexIsNull(int index) const;
    // Integer, double, blob or text by the column's type; SQNull for NULL (and a zero-length blob);
    // nullopt for an index outside the columns.
    std::optional<SQValue> objectForColumnIndex(int index) const;

    int intForColumn(std::string_view name) { return intForColumnIndex(columnIndexForName(name)); }
    std::int64_t longForColumn(std::string_view name) {
        return longForColumnIndex(columnIndexForName(name));
    }
    std::int64_t longLongIntForColumn(std::string_view name) { return longForColumn(name); }
    std::uint64_t unsignedLongLongIntForColumn(std::string_view name) {
        return unsignedLongLongIntForColumnIndex(columnIndexForName(name));
    }
    bool boolForColumn(std::string_view name) {
        return boolForColumnIndex(columnIndexForName(name));
    }
    double doubleForColumn(std::string_view name) {
        return doubleForColumnIndex(columnIndexForName(name));
    }
    std::optional<std::string> stringForColumn(std::string_view name) {
        return stringForColumnIndex(columnIndexForName(name));
    }
    std::optional<SQDate> dateForColumn(std::string_view name) {
        return dateForColumnIndex(columnIndexForName(name));
    }
    std::optional<Bytes> dataForColumn(std::string_view name) {
        return dataForColumnIndex(columnIndexForName(name));
    }
    std::optional<std::span<const std::uint8_t>> dataNoCopyForColumn(std::string_view name) {
        return dataNoCopyForColumnIndex(columnIndexForName(name));
    }
    const char* UTF8StringForColumn(std::string_view name) {
        return UTF8StringForColumnIndex(columnIndexForName(name));
    }
    const char* UTF8StringForColumnName(std::string_view name) { return UTF8StringForColumn(name); }
    bool columnIsNull(std::string_view name) { return columnIndexIsNull(columnIndexForName(name)); }
    std::optional<SQValue> objectForColumn(std::string_view name) {
        return objectForColumnIndex(columnIndexForName(name));
    }
    std::optional<SQValue> objectForColumnName(std::string_view name) {
        return objectForColumn(name);
    }
    std::optional<SQValue> operator[](int index) const { return objectForColumnIndex(index); }
    std::optional<SQValue> operator[](std::string_view name) { return objectForColumn(name); }

    // The current row by the engine's column names (a later duplicate name wins); null, with a
    // warning, when no row is current.
    std::optional<SQDictionary> resultDictionary() const;
    // The older form, keyed by lower-cased names.
    std::optional<SQDictionary> resultDict();
    // Calls `setter` with each column's name and text, skipping NULL columns.
    void kvcMagic(
        const std::function<void(const std::string& column, const std::string& text)>& setter);

    // The parsed offsets() text of a full-text match in column `index`.
    SQTextOffsets offsetsForColumnIndex(int index) const;

  private:
    SQResultSet(std::shared_ptr<SQStatement> statement, std::shared_ptr<SQDatabase> parentDB);
    friend class SQDatabase;
    ::sqlite3_stmt* stmt() const;

    std::map<std::string, int, std::less<>> columnNameToIndexMap_;
    bool columnMapBuilt_ = false;
    std::shared_ptr<SQDatabase> parentDB_;
    std::string query_;
    std::shared_ptr<SQStatement> statement_;
};

}  // namespace quarra
