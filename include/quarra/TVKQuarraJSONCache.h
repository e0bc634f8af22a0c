#pragma once
// JSON record caches: the host keeps server records (JSON objects with an "id") for one Quarra on
// the device, in a cache of its own naming, and finds them again by declared fields without the
// network. The cache's name is a table of the user's encrypted cache database for that Quarra; each
// field is a column and the whole record is stored beside them as JSON. Records are stored (insert
// or replace by id), queried with a local query, removed one by one or all at once, and the cache
// can be reindexed with a new field list.
//
// Every operation runs synchronously on the calling thread (the transaction on the cache's database
// queue) and then calls the host's handler asynchronously on the main queue; a handler may be
// empty. Operations of one object are serialised.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quarra/Json.h"
#include "quarra/TVKQuarraCache.h"
#include "quarra/TVKQuarraCacheEntry.h"
#include "quarra/TVKQuarraLocalQuery.h"

namespace quarra {

// The table layer beneath the caches, which the host never handles.
class TVKCacheTable;
class TVKCacheTableColumn;
using TVKCacheTablePtr = std::shared_ptr<TVKCacheTable>;
using TVKCacheTableColumnPtr = std::shared_ptr<TVKCacheTableColumn>;

// One searchable field: the record's key and the column name. Type 0 is stored as INTEGER, 1 as
// TEXT.
class TVKQuarraJSONField {
  public:
    TVKQuarraJSONField(std::string fieldName, std::int64_t type)
        : fieldName_(std::move(fieldName)), type_(type) {}

    const std::string& fieldName() const { return fieldName_; }
    std::int64_t type() const { return type_; }
    // The record's value under the field's name; nothing when the record has none.
    std::optional<Json> parse(const Json& record) const;
    std::string description() const { return "FieldName:" + fieldName_; }

    // "INTEGER" or "TEXT"; nothing for another type.
    std::optional<std::string> fieldTypeToSQLString() const;
    // The field's column; "id" is the NOT NULL primary key.
    TVKCacheTableColumnPtr fieldToTableColumn() const;

  private:
    std::string fieldName_;
    std::int64_t type_;
};

class TVKQuarraJSONFieldValue {
  public:
    TVKQuarraJSONFieldValue(TVKQuarraJSONField field, std::optional<Json> value)
        : field_(std::move(field)), value_(std::move(value)) {}
    const TVKQuarraJSONField& field() const { return field_; }
    // Nothing when the record has no such field; JSON null for a NULL column.
    const std::optional<Json>& value() const { return value_; }
    std::string description() const;

  private:
    TVKQuarraJSONField field_;
    std::optional<Json> value_;
};

class TVKQuarraJSONCacheEntry : public TVKQuarraCacheEntry {
  public:
    TVKQuarraJSONCacheEntry(std::vector<TVKQuarraJSONFieldValue> values, TVKQuarraPtr quarra,
                            Json json)
        : TVKQuarraCacheEntry(std::move(quarra)),
          values_(std::move(values)),
          json_(std::move(json)) {}

    // One per field of the cache, in field order.
    const std::vector<TVKQuarraJSONFieldValue>& values() const { return values_; }
    // The whole record.
    const Json& json() const { return json_; }
    // The value of the (last) field of that name; nothing when none.
    std::optional<Json> findValueForFieldName(const std::string& name) const;
    std::optional<Json> operator[](const std::string& name) const {
        return findValueForFieldName(name);
    }
    std::string description() const;

  private:
    std::vector<TVKQuarraJSONFieldValue> values_;
    Json json_;
};

using TVKQuarraJSONCacheEntryPtr = std::shared_ptr<TVKQuarraJSONCacheEntry>;

class TVKQuarraJSONCache : public TVKQuarraCache {
  public:
    using EntriesHandler = std::function<void(
        const std::vector<TVKQuarraJSONCacheEntryPtr>& entries, const ErrorPtr& error)>;
    using ErrorHandler = std::function<void(const ErrorPtr& error)>;

    // A new cache object; null when nobody is signed in, or (after an error log) when `name` is no
    // plain SQL identifier or is one of the file cache's tables. Touches no database.
    static std::shared_ptr<TVKQuarraJSONCache> openCacheWithName(
        const std::string& name, TVKQuarraPtr quarra, std::vector<TVKQuarraJSONField> fields);
    // Whether `name` may name a JSON cache.
    static bool isValidCacheName(const std::string& name);

    // Always holds a field "id" (type 0 is put in front when missing).
    const std::vector<TVKQuarraJSONField>& fields() const { return fields_; }
    void setFields(std::vector<TVKQuarraJSONField> fields);
    const TVKCacheTablePtr& jsonTable() const { return jsonTable_; }
    void setJsonTable(TVKCacheTablePtr table) { jsonTable_ = std::move(table); }

    // Stores the records (insert or replace by id): all or none. `quarra` must be the cache's own
    // object. The handler gets one entry per record, or no entries and the error; a record without
    // "id" is -1 "Cache entry doesn't contain required field".
    void cache(const std::vector<Json>& records, const TVKQuarraPtr& quarra,
               EntriesHandler handler);
    // The matching entries in database order (none: an empty list). A cache with no table yet finds
    // nothing; any other failure is an error, with the entries read before it.
    void query(const TVKQuarraLocalQuery& query, EntriesHandler handler);
    // Deletes the entries' rows by id; an empty list reports success at once.
    void removeEntries(const std::vector<TVKQuarraJSONCacheEntryPtr>& entries,
                       ErrorHandler handler);
    void removeAllEntries(ErrorHandler handler) override;
    // Rebuilds the table for the new fields, filling new columns from the stored records. On
    // failure nothing changes, in the database or in this object.
    void reindexWithFields(std::vector<TVKQuarraJSONField> fields, ErrorHandler handler);

    std::string description() const;

    static std::vector<TVKQuarraJSONField> addRequiredFieldsIfNecessary(
        std::vector<TVKQuarraJSONField> fields);

  protected:
    TVKQuarraJSONCache(std::string name, TVKQuarraPtr quarra,
                       std::vector<TVKQuarraJSONField> fields);

  private:
    static std::vector<TVKCacheTableColumnPtr> columnsForFields(
        const std::vector<TVKQuarraJSONField>& fields);
    std::vector<TVKCacheTableColumnPtr> allColumns() const { return columnsForFields(fields_); }
    [[nodiscard]] ErrorPtr setupTableIfNeededInDatabase(SQDatabase& db);
    TVKQuarraJSONCacheEntryPtr cacheEntryForResponse(
        const Json& record, const std::vector<TVKQuarraJSONField>& fields) const;
    static Result<SQDictionary> databaseValuesForEntry(const TVKQuarraJSONCacheEntry& entry);
    [[nodiscard]] ErrorPtr updateEntry(const TVKQuarraJSONCacheEntry& entry, SQDatabase& db);

    std::vector<TVKQuarraJSONField> fields_;
    TVKCacheTablePtr jsonTable_;
};

}  // namespace quarra
