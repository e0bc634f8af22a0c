#include "quarra/TVKQuarraLocalQuery.h"

#include <charconv>
#include <stdexcept>

#include "log/TVKQuarraLoggerInternal.h"
#include "storage/cache/TVKSqlName.h"

namespace quarra {

const std::string& TVKQuarraComparisonOperatorEquals = *new std::string("=");
const std::string& TVKQuarraComparisonOperatorLike = *new std::string("LIKE");
const std::string& TVKQuarraLogicalOperatorAnd = *new std::string("AND");
const std::string& TVKQuarraLogicalOperatorOr = *new std::string("OR");

namespace {

std::string joinDescriptions(const std::vector<std::string>& items) {
    std::string text = "(";
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i ? ",\n    " : "\n    ") + items[i];
    }
    return text + (items.empty() ? ")" : "\n)");
}

}  // namespace

std::string TVKQuarraValueDescription(const SQValue& value) {
    struct Visitor {
        std::string operator()(const SQNull&) const { return "(null)"; }
        std::string operator()(std::int64_t v) const { return std::to_string(v); }
        std::string operator()(double v) const {
            char buffer[64];
            auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
            return std::string(buffer, result.ptr);
        }
        std::string operator()(const std::string& v) const { return v; }
        std::string operator()(const Bytes& v) const {
            static constexpr char digits[] = "0123456789abcdef";
            std::string text = "<";
            for (auto byte : v) {
                text += digits[byte >> 4];
                text += digits[byte & 0x0F];
            }
            return text + ">";
        }
        std::string operator()(const SQDate& v) const {
            return (*this)(v.time_since_epoch().count());
        }
    };
    return std::visit(Visitor{}, value.storage());
}

// ---- Operators

std::optional<std::string> TVKQuarraOperator::comparisonOperatorToSQLString(const std::string& op) {
    if (op == TVKQuarraComparisonOperatorEquals) {
        return "=";
    }
    if (op == TVKQuarraComparisonOperatorLike) {
        return "LIKE";
    }
    return std::nullopt;
}

std::optional<std::string> TVKQuarraOperator::logicalOperatorToSQLString(const std::string& op) {
    if (op == TVKQuarraLogicalOperatorAnd) {
        return "AND";
    }
    if (op == TVKQuarraLogicalOperatorOr) {
        return "OR";
    }
    return std::nullopt;
}

// ---- Criteria

TVKQuarraQueryCriteria::TVKQuarraQueryCriteria(std::string field, const std::string& cOperator,
                                               SQValue value)
    : field_(std::move(field)), value_(std::move(value)) {
    setCOperator(cOperator);
}

TVKQuarraQueryCriteriaPtr TVKQuarraQueryCriteria::criteriaWithFieldEqualTo(std::string field,
                                                                           SQValue value) {
    return std::make_shared<TVKQuarraQueryCriteria>(
        std::move(field), TVKQuarraComparisonOperatorEquals, std::move(value));
}

TVKQuarraQueryCriteriaPtr TVKQuarraQueryCriteria::criteriaWithFieldLike(std::string field,
                                                                        SQValue value) {
    return std::make_shared<TVKQuarraQueryCriteria>(
        std::move(field), TVKQuarraComparisonOperatorLike, std::move(value));
}

void TVKQuarraQueryCriteria::setCOperator(const std::string& cOperator) {
    cOperator_ = cOperator;
    likeAnywhere_ = &cOperator == &TVKQuarraComparisonOperatorLike;
}

SQValue TVKQuarraQueryCriteria::comparedValue() const {
    if (likeAnywhere_) {
        return SQValue("%" + TVKQuarraValueDescription(value_) + "%");
    }
    return value_;
}

std::string TVKQuarraQueryCriteria::sqlWord() const {
    return TVKQuarraOperator::comparisonOperatorToSQLString(cOperator_).value_or("(null)");
}

std::string TVKQuarraQueryCriteria::generateSQL() const {
    SQValue value = comparedValue();
    if (value.text()) {
        return field_ + " " + sqlWord() + " \"" + *value.text() + "\" ";
    }
    return field_ + " " + sqlWord() + " " + TVKQuarraValueDescription(value) + " ";
}

TVKBoundSql TVKQuarraQueryCriteria::boundSQL() const {
    // The value is bound, so its "%" and "_" stay the wildcards they are in the written form and
    // can do no more than widen the match.
    return {TVKSqlName(field_) + " " + sqlWord() + " ? ", {comparedValue()}};
}

std::string TVKQuarraQueryCriteria::description() const {
    return "field:" + field_ + "; operator:" + cOperator_ +
           "; value:" + TVKQuarraValueDescription(value_);
}

// ---- Queries

TVKQuarraLocalQuery::TVKQuarraLocalQuery(std::vector<TVKQuarraQueryCriteriaPtr> expressions,
                                         std::vector<std::string> operators)
    : expressions_(std::move(expressions)), operators_(std::move(operators)) {
    if (!expressions_.empty() && expressions_.size() != operators_.size() + 1) {
        throw std::invalid_argument("Invalid number of operators");
    }
}

TVKQuarraLocalQueryPtr TVKQuarraLocalQuery::createWithExpression(
    const TVKQuarraExpression& expression) {
    return create<TVKQuarraLocalQuery>(expression);
}

bool TVKQuarraLocalQuery::split(const TVKQuarraExpression& expression,
                                std::vector<TVKQuarraQueryCriteriaPtr>& criteria,
                                std::vector<std::string>& operators) {
    for (std::size_t i = 0; i < expression.size(); ++i) {
        const auto& element = expression[i];
        const char* refusal = nullptr;
        if (i % 2 == 0) {
            auto* criterion = std::get_if<TVKQuarraQueryCriteriaPtr>(&element);
            if (std::holds_alternative<std::monostate>(element) || (criterion && !*criterion)) {
                refusal = "Error creating expression, query criteria is nil";
            } else if (!criterion) {
                refusal = "Error creating expression, invalid class for query criteria";
            } else {
                criteria.push_back(*criterion);
            }
        } else {
            auto* op = std::get_if<std::string>(&element);
            auto* criterion = std::get_if<TVKQuarraQueryCriteriaPtr>(&element);
            if (std::holds_alternative<std::monostate>(element) || (criterion && !*criterion)) {
                refusal = "Error creating expression, operator nil";
            } else if (!op) {
                refusal = "Error creating expression, incorrect operator class";
            } else if (!TVKQuarraOperator::logicalOperatorToSQLString(*op)) {
                refusal = "Error creating expression, invalid logical operator";
            } else {
                operators.push_back(*op);
            }
        }
        if (refusal) {
            TVK_LOG_ERROR(std::string(refusal));
            return false;
        }
    }
    return true;
}

std::optional<std::string> TVKQuarraLocalQuery::generateSqlWhereClause() const {
    if (expressions_.empty()) {
        return std::nullopt;
    }
    std::string text = "WHERE ";
    for (std::size_t i = 0; i < expressions_.size(); ++i) {
        text += expressions_[i]->generateSQL();
        if (i < operators_.size()) {
            text +=
                TVKQuarraOperator::logicalOperatorToSQLString(operators_[i]).value_or("(null)") +
                " ";
        }
    }
    return text;
}

std::optional<TVKBoundSql> TVKQuarraLocalQuery::boundWhereClause() const {
    if (expressions_.empty()) {
        return std::nullopt;
    }
    TVKBoundSql bound{"WHERE ", {}};
    for (std::size_t i = 0; i < expressions_.size(); ++i) {
        auto criterion = expressions_[i]->boundSQL();
        bound.sql += criterion.sql;
        bound.arguments.insert(bound.arguments.end(), criterion.arguments.begin(),
                               criterion.arguments.end());
        if (i < operators_.size()) {
            bound.sql +=
                TVKQuarraOperator::logicalOperatorToSQLString(operators_[i]).value_or("(null)") +
                " ";
        }
    }
    return bound;
}

std::string TVKQuarraLocalQuery::generateSqlForTableName(const std::string& tableName) const {
    auto where = generateSqlWhereClause();
    return where ? "SELECT * FROM " + tableName + " " + *where : "SELECT * FROM " + tableName;
}

TVKBoundSql TVKQuarraLocalQuery::boundSqlForTableName(const std::string& tableName) const {
    auto where = boundWhereClause();
    if (!where) {
        return {"SELECT * FROM " + TVKSqlName(tableName), {}};
    }
    where->sql = "SELECT * FROM " + TVKSqlName(tableName) + " " + where->sql;
    return std::move(*where);
}

std::string TVKQuarraLocalQuery::description() const {
    std::vector<std::string> criteria;
    for (const auto& criterion : expressions_) {
        criteria.push_back(criterion ? criterion->description() : "(null)");
    }
    return "Expressions:" + joinDescriptions(criteria) +
           " Operators:" + joinDescriptions(operators_);
}

}  // namespace quarra
