#include "quarra/TVKQuarraJSONCache.h"

#include <strings.h>

#include <regex>

#include "auth/TVKQuarraAuthManager.h"
#include "quarra/TVKErrors.h"
#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/TVKQuarraFileCache.h"
#include "storage/cache/TVKCacheTable.h"
#include "storage/db/SQDatabase.h"

namespace quarra {

namespace {

constexpr const char* kJsonColumn = "__json";
constexpr const char* kIdField = "id";

SQValue databaseValue(const std::optional<Json>& value) {
    if (!value || value->is_null()) {
        return SQNull{};
    }
    if (value->is_boolean()) {
        return SQValue(value->get<bool>() ? 1 : 0);
    }
    if (value->is_number_unsigned()) {
        return SQValue(value->get<std::uint64_t>());
    }
    if (value->is_number_integer()) {
        return SQValue(value->get<std::int64_t>());
    }
    if (value->is_number_float()) {
        return SQValue(value->get<double>());
    }
    if (value->is_string()) {
        return SQValue(value->get<std::string>());
    }
    return SQValue(value->dump());
}

Json jsonValue(const SQValue& value) {
    if (value.integer()) {
        return *value.integer();
    }
    if (value.real()) {
        return *value.real();
    }
    if (value.text()) {
        return *value.text();
    }
    if (value.blob()) {
        return std::string(value.blob()->begin(), value.blob()->end());
    }
    return nullptr;
}

ErrorPtr jsonError(const char* what, const std::exception& exception) {
    return Error::make(TVKCacheErrorDomain, TVKCacheStatementFailedErrorCode,
                       std::string(what) + exception.what());
}

}  // namespace

// ---- Fields and entries

std::optional<Json> TVKQuarraJSONField::parse(const Json& record) const {
    if (!record.is_object()) {
        return std::nullopt;
    }
    auto found = record.find(fieldName_);
    if (found == record.end()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<std::string> TVKQuarraJSONField::fieldTypeToSQLString() const {
    switch (type_) {
        case 0:
            return "INTEGER";
        case 1:
            return "TEXT";
        default:
            return std::nullopt;
    }
}

TVKCacheTableColumnPtr TVKQuarraJSONField::fieldToTableColumn() const {
    std::vector<std::string> constraints;
    if (fieldName_ == kIdField) {
        constraints = {"PRIMARY KEY", "NOT NULL"};
    }
    return std::make_shared<TVKCacheTableColumn>(fieldName_, fieldTypeToSQLString().value_or(""),
                                                 std::move(constraints));
}

std::string TVKQuarraJSONFieldValue::description() const {
    return field_.description() + ";\nValue:" + (value_ ? value_->dump() : std::string("(null)"));
}

std::optional<Json> TVKQuarraJSONCacheEntry::findValueForFieldName(const std::string& name) const {
    std::optional<Json> found;
    for (const auto& value : values_) {
        if (value.field().fieldName() == name) {
            found = value.value();
        }
    }
    return found;
}

std::string TVKQuarraJSONCacheEntry::description() const {
    std::string values = "(";
    for (std::size_t i = 0; i < values_.size(); ++i) {
        values += (i ? ",\n" : "") + values_[i].description();
    }
    return "Values:" + values + ");\nJSON:" + json_.dump();
}

// ---- The cache

bool TVKQuarraJSONCache::isValidCacheName(const std::string& name) {
    // Never destroyed: a cache may still be opened on another thread while the process exits.
    static const auto& identifier = *new std::regex("[A-Za-z_][A-Za-z0-9_]*");
    if (!std::regex_match(name, identifier) || strncasecmp(name.c_str(), "sqlite_", 7) == 0) {
        return false;
    }
    for (const auto& taken : TVKQuarraFileCache::tableNames()) {
        if (strcasecmp(taken.c_str(), name.c_str()) == 0) {
            return false;
        }
    }
    return true;
}

TVKQuarraJSONCache::TVKQuarraJSONCache(std::string name, TVKQuarraPtr quarra,
                                       std::vector<TVKQuarraJSONField> fields)
    : TVKQuarraCache(std::move(name), std::move(quarra)) {
    setFields(std::move(fields));
    jsonTable_ = std::make_shared<TVKCacheTable>(this->name(), allColumns());
}

std::shared_ptr<TVKQuarraJSONCache> TVKQuarraJSONCache::openCacheWithName(
    const std::string& name, TVKQuarraPtr quarra, std::vector<TVKQuarraJSONField> fields) {
    if (!TVKQuarraAuthManager::sharedInstance().currentUser()) {
        return nullptr;
    }
    if (!isValidCacheName(name)) {
        TVK_LOG_ERROR("Invalid JSON cache name:" + name);
        return nullptr;
    }
    return std::shared_ptr<TVKQuarraJSONCache>(
        new TVKQuarraJSONCache(name, std::move(quarra), std::move(fields)));
}

std::vector<TVKQuarraJSONField> TVKQuarraJSONCache::addRequiredFieldsIfNecessary(
    std::vector<TVKQuarraJSONField> fields) {
    for (const auto& field : fields) {
        if (field.fieldName() == kIdField) {
            return fields;
        }
    }
    fields.insert(fields.begin(), TVKQuarraJSONField(kIdField, 0));
    return fields;
}

void TVKQuarraJSONCache::setFields(std::vector<TVKQuarraJSONField> fields) {
    fields_ = addRequiredFieldsIfNecessary(std::move(fields));
}

std::vector<TVKCacheTableColumnPtr> TVKQuarraJSONCache::columnsForFields(
    const std::vector<TVKQuarraJSONField>& fields) {
    std::vector<TVKCacheTableColumnPtr> columns;
    for (const auto& field : fields) {
        columns.push_back(field.fieldToTableColumn());
    }
    columns.push_back(std::make_shared<TVKCacheTableColumn>(kJsonColumn, "TEXT"));
    return columns;
}

std::string TVKQuarraJSONCache::description() const {
    std::string fields = "(";
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        fields += (i ? ", " : "") + fields_[i].description();
    }
    return "name:" + name() +
           "; quarra:" + (quarra() ? quarra()->description() : std::string("(null)")) +
           "  fields:" + fields + ")";
}

ErrorPtr TVKQuarraJSONCache::setupTableIfNeededInDatabase(SQDatabase& db) {
    if (ErrorPtr error = jsonTable_->createTableWithDatabase(db)) {
        return error;
    }
    for (const auto& column : allColumns()) {
        if (ErrorPtr error = jsonTable_->addColumn(column, db)) {
            return error;
        }
    }
    return nullptr;
}

TVKQuarraJSONCacheEntryPtr TVKQuarraJSONCache::cacheEntryForResponse(
    const Json& record, const std::vector<TVKQuarraJSONField>& fields) const {
    std::vector<TVKQuarraJSONFieldValue> values;
    for (const auto& field : fields) {
        values.emplace_back(field, field.parse(record));
    }
    return std::make_shared<TVKQuarraJSONCacheEntry>(std::move(values), quarra(), record);
}

Result<SQDictionary> TVKQuarraJSONCache::databaseValuesForEntry(
    const TVKQuarraJSONCacheEntry& entry) {
    SQDictionary row;
    for (const auto& value : entry.values()) {
        row[value.field().fieldName()] = databaseValue(value.value());
    }
    try {
        std::string text = entry.json().dump();
        row[kJsonColumn] = Bytes(text.begin(), text.end());
    } catch (const Json::exception& exception) {
        return jsonError("The record cannot be stored as JSON: ", exception);
    }
    return row;
}

ErrorPtr TVKQuarraJSONCache::updateEntry(const TVKQuarraJSONCacheEntry& entry, SQDatabase& db) {
    auto idQuery =
        TVKQuarraLocalQuery::createWithExpression({TVKQuarraQueryCriteria::criteriaWithFieldEqualTo(
            kIdField, databaseValue(entry[kIdField]))});
    auto row = databaseValuesForEntry(entry);
    if (!row) {
        return row.error();
    }
    return jsonTable_->updateRecordsMatchingQuery(idQuery.get(), *row, db);
}

void TVKQuarraJSONCache::cache(const std::vector<Json>& records, const TVKQuarraPtr& quarra,
                               EntriesHandler handler) {
    std::vector<TVKQuarraJSONCacheEntryPtr> entries;
    openDatabaseForQuarra(
        quarra,
        [&](SQDatabase& db) -> ErrorPtr {
            if (ErrorPtr error = setupTableIfNeededInDatabase(db)) {
                return error;
            }
            for (const auto& record : records) {
                entries.push_back(cacheEntryForResponse(record, fields_));
            }
            for (const auto& entry : entries) {
                auto row = databaseValuesForEntry(*entry);
                if (!row) {
                    return row.error();
                }
                if (ErrorPtr error = jsonTable_->insertOrUpdateRecordWithValues(*row, db)) {
                    return error;
                }
            }
            return nullptr;
        },
        [&](const ErrorPtr& error) {
            if (error) {
                entries.clear();
            }
            callOnMain(handler, entries, error);
        });
}

void TVKQuarraJSONCache::query(const TVKQuarraLocalQuery& localQuery, EntriesHandler handler) {
    std::vector<TVKQuarraJSONCacheEntryPtr> entries;
    openDatabaseWithOpenHandler(
        [&](SQDatabase& db) -> ErrorPtr {
            auto found = jsonTable_->performQuery(localQuery, db);
            if (!found) {
                // A cache that has stored nothing yet (or was emptied) has no table: it finds
                // nothing. Every other failure is reported.
                if (jsonTable_->tableExistsInDatabase(db) == false) {
                    return nullptr;
                }
                return found.error();
            }
            const auto& rows = *found;
            for (;;) {
                auto step = rows->nextWithError();
                if (!step) {
                    return TVKCacheTable::handleErrorForDatabase(db, rows->query());
                }
                if (!*step) {
                    return nullptr;
                }
                std::vector<TVKQuarraJSONFieldValue> values;
                for (const auto& field : fields_) {
                    auto column = rows->objectForColumn(field.fieldName());
                    values.emplace_back(
                        field, column ? std::optional<Json>(jsonValue(*column)) : std::nullopt);
                }
                Json record;
                try {
                    auto bytes = rows->dataForColumn(kJsonColumn).value_or(Bytes{});
                    record = Json::parse(bytes.begin(), bytes.end());
                } catch (const Json::exception& exception) {
                    rows->close();
                    return jsonError("A stored record cannot be read: ", exception);
                }
                entries.push_back(
                    std::make_shared<TVKQuarraJSONCacheEntry>(std::move(values), quarra(), record));
            }
        },
        [&](const ErrorPtr& error) { callOnMain(handler, entries, error); });
}

void TVKQuarraJSONCache::removeEntries(const std::vector<TVKQuarraJSONCacheEntryPtr>& entries,
                                       ErrorHandler handler) {
    if (entries.empty()) {
        callOnMain(handler, ErrorPtr());
        return;
    }
    SQArguments ids;
    for (const auto& entry : entries) {
        ids.push_back(databaseValue(entry ? (*entry)[kIdField] : std::nullopt));
    }
    openDatabaseWithOpenHandler(
        [&](SQDatabase& db) { return jsonTable_->deleteRecordsWithPrimaryKeysIn(ids, db); },
        [&](const ErrorPtr& error) { callOnMain(handler, error); });
}

void TVKQuarraJSONCache::removeAllEntries(ErrorHandler handler) {
    openDatabaseWithOpenHandler(
        [&](SQDatabase& db) { return jsonTable_->dropTableWithDatabase(db); },
        [&](const ErrorPtr& error) { callOnMain(handler, error); });
}

void TVKQuarraJSONCache::reindexWithFields(std::vector<TVKQuarraJSONField> fields,
                                           ErrorHandler handler) {
    auto newFields = addRequiredFieldsIfNecessary(std::move(fields));
    // The field list and the table descriptor are read by every operation on the cache's queue,
    // so they are read and changed only there.
    std::vector<TVKCacheTableColumnPtr> oldColumns;
    openDatabaseForQuarra(
        nullptr,
        [&](SQDatabase& db) -> ErrorPtr {
            oldColumns = jsonTable_->orderedColumns();
            if (ErrorPtr error =
                    jsonTable_->alterTableWithColumns(columnsForFields(newFields), db)) {
                return error;
            }
            auto everything = TVKQuarraLocalQuery::createWithExpression({});
            auto found = jsonTable_->performQuery(*everything, db);
            if (!found) {
                return found.error();
            }
            const auto& rows = *found;
            ErrorPtr error;
            while (!error) {
                auto step = rows->nextWithError();
                if (!step) {
                    error = TVKCacheTable::handleErrorForDatabase(db, rows->query());
                    break;
                }
                if (!*step) {
                    break;
                }
                Json record;
                try {
                    auto bytes = rows->dataForColumn(kJsonColumn).value_or(Bytes{});
                    record = Json::parse(bytes.begin(), bytes.end());
                } catch (const Json::exception& exception) {
                    error = jsonError("A stored record cannot be read: ", exception);
                    break;
                }
                error = updateEntry(*cacheEntryForResponse(record, newFields), db);
            }
            rows->close();
            return error;
        },
        [&](const ErrorPtr& error) { callOnMain(handler, error); },
        [&](const ErrorPtr& error) {
            if (error) {
                // The rollback put the old table back; so must the descriptor.
                jsonTable_->setOrderedColumns(oldColumns);
            } else {
                fields_ = newFields;
            }
        });
}

}  // namespace quarra
