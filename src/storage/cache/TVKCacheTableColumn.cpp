#include "storage/cache/TVKCacheTableColumn.h"

#include <strings.h>
#include <cstdio>

#include "log/TVKQuarraLoggerInternal.h"
#include "quarra/TVKQuarraLocalQuery.h"
#include "storage/cache/TVKSqlName.h"

namespace quarra {

TVKCacheTableColumn::TVKCacheTableColumn(std::string name, std::string sqlType,
                                         std::vector<std::string> constraints)
    : name_(std::move(name)), sqlType_(std::move(sqlType)), constraints_(std::move(constraints)) {}

namespace {

bool isPrimaryKeyConstraint(const std::string& constraint) {
    return strcasecmp(constraint.c_str(), "PRIMARY KEY") == 0;
}

}  // namespace

bool TVKCacheTableColumn::isPrimaryKey() const {
    for (const auto& constraint : constraints_) {
        if (isPrimaryKeyConstraint(constraint)) {
            return true;
        }
    }
    return false;
}

std::string TVKCacheTableColumn::sqlForColumnSchema() const {
    std::string text = TVKSqlName(name_) + " " + sqlType_;
    for (const auto& constraint : constraints_) {
        if (!isPrimaryKeyConstraint(constraint)) {
            text += " " + constraint;
        }
    }
    return text;
}

std::string TVKCacheTableColumn::description() const {
    std::string constraints = "(";
    for (std::size_t i = 0; i < constraints_.size(); ++i) {
        constraints += (i ? ", " : "") + constraints_[i];
    }
    return "name:" + name_ + "; sqlType:" + sqlType_ + "; constraints:" + constraints + ")";
}

std::optional<std::string> TVKCacheTableColumn::sqlForValue(const SQValue& value) {
    if (value.isNull()) {
        return "NULL";
    }
    if (value.text()) {
        return "'" + *value.text() + "'";
    }
    if (value.date()) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%f", value.date()->time_since_epoch().count());
        return std::string(buffer);
    }
    if (value.blob()) {
        TVK_LOG_ERROR("Could not convert object:" + TVKQuarraValueDescription(value) +
                      " with class:Bytes to sql");
        return std::nullopt;
    }
    return TVKQuarraValueDescription(value);
}

std::optional<std::string> TVKCacheTableColumn::sqlForValues(const SQArguments& values) {
    if (values.empty()) {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto literal = sqlForValue(values[i]);
        if (!literal) {
            return std::nullopt;
        }
        text += (i ? ", " : "") + *literal;
    }
    return text;
}

}  // namespace quarra
