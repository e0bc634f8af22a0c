#pragma once
// The host's local query language: comparison criteria (field, operator, value) joined by AND or
// OR, turned into the WHERE text of a SELECT on a cache table. There are no parentheses; SQLite's
// precedence applies (AND binds tighter than OR). One subclass per cached file kind names that
// kind's columns and, by its class, tells the file cache which table to search.
//
// generateSqlWhereClause() and generateSqlForTableName() give the documented text, with the values
// written in; the caches never run that text. They run boundWhereClause() / boundSqlForTableName(),
// the same statement with every value bound to a "?" placeholder and every name (table, field)
// quoted, so no value and no name (a quote, a keyword, "1=1 OR x", a second statement) can change
// the statement.
//
// Queries and criteria are values owned by one thread at a time.
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quarra/SQValue.h"

namespace quarra {

// The operator constants. Criteria made with TVKQuarraComparisonOperatorLike itself (not merely an
// equal text) match the value anywhere in the column, its "%" and "_" as plain characters; an
// equal "LIKE" text from elsewhere takes the value as the caller's own pattern. They are never
// destroyed, so queries may still be made on other threads while the process exits.
extern const std::string& TVKQuarraComparisonOperatorEquals;  // "="
extern const std::string& TVKQuarraComparisonOperatorLike;    // "LIKE"
extern const std::string& TVKQuarraLogicalOperatorAnd;        // "AND"
extern const std::string& TVKQuarraLogicalOperatorOr;         // "OR"

// A statement text with "?" placeholders and the values they take, in order.
struct TVKBoundSql {
    std::string sql;
    SQArguments arguments;
};

// The text a value stands for in a statement or a log line: integers as digits, reals in their
// shortest form, texts as they are, "(null)" for no value.
std::string TVKQuarraValueDescription(const SQValue& value);

class TVKQuarraOperator {
  public:
    TVKQuarraOperator() = delete;
    // "=" or "LIKE"; nothing for any other text.
    static std::optional<std::string> comparisonOperatorToSQLString(const std::string& op);
    // "AND" or "OR"; nothing for any other text.
    static std::optional<std::string> logicalOperatorToSQLString(const std::string& op);
};

class TVKQuarraQueryCriteria {
  public:
    // `cOperator` passed as the exported constant object TVKQuarraComparisonOperatorLike makes a
    // match anywhere in the column; an equal text from elsewhere compares the whole value.
    TVKQuarraQueryCriteria(std::string field, const std::string& cOperator, SQValue value);

    static std::shared_ptr<TVKQuarraQueryCriteria> criteriaWithFieldEqualTo(std::string field,
                                                                            SQValue value);
    static std::shared_ptr<TVKQuarraQueryCriteria> criteriaWithFieldLike(std::string field,
                                                                         SQValue value);

    const std::string& field() const { return field_; }
    const std::string& cOperator() const { return cOperator_; }
    void setCOperator(const std::string& cOperator);
    const SQValue& value() const { return value_; }

    // `field OP "text" ` or `field OP 12 ` (the value written in, a trailing blank).
    std::string generateSQL() const;
    // `field` OP ? with the compared value: for a match anywhere, the value wrapped in "%", its own
    // "%" and "_" left as wildcards.
    TVKBoundSql boundSQL() const;
    std::string description() const;

  private:
    // The value as compared: wrapped in percent signs for the LIKE constant.
    SQValue comparedValue() const;
    std::string sqlWord() const;

    std::string field_;
    std::string cOperator_;
    bool likeAnywhere_ = false;
    SQValue value_;
};

using TVKQuarraQueryCriteriaPtr = std::shared_ptr<TVKQuarraQueryCriteria>;

// One element of the mixed list of createWithExpression: a criterion at even positions, a logical
// operator at odd ones; std::monostate (or a null criterion) stands for a missing element.
using TVKQuarraExpressionElement =
    std::variant<std::monostate, TVKQuarraQueryCriteriaPtr, std::string>;
using TVKQuarraExpression = std::vector<TVKQuarraExpressionElement>;

class TVKQuarraLocalQuery {
  public:
    // Throws std::invalid_argument "Invalid number of operators" when there are criteria and not
    // exactly one operator fewer.
    TVKQuarraLocalQuery(std::vector<TVKQuarraQueryCriteriaPtr> expressions,
                        std::vector<std::string> operators);
    virtual ~TVKQuarraLocalQuery() = default;

    // Validates and splits the mixed list; nothing (after an error log naming the first invalid
    // element) when it is invalid. Each kind's class has its own, making a query of that kind.
    static std::shared_ptr<TVKQuarraLocalQuery> createWithExpression(
        const TVKQuarraExpression& expression);

    // The class a file cache looks the table up by.
    virtual const char* className() const { return "TVKQuarraLocalQuery"; }

    const std::vector<TVKQuarraQueryCriteriaPtr>& expressions() const { return expressions_; }
    void setExpressions(std::vector<TVKQuarraQueryCriteriaPtr> e) { expressions_ = std::move(e); }
    const std::vector<std::string>& operators() const { return operators_; }
    void setOperators(std::vector<std::string> o) { operators_ = std::move(o); }

    // "WHERE " and the criteria and operators; nothing without criteria.
    std::optional<std::string> generateSqlWhereClause() const;
    // "SELECT * FROM <table> <where>" or "SELECT * FROM <table>".
    std::string generateSqlForTableName(const std::string& tableName) const;
    // The same two with the values bound.
    std::optional<TVKBoundSql> boundWhereClause() const;
    TVKBoundSql boundSqlForTableName(const std::string& tableName) const;
    std::string description() const;

  protected:
    template <class Query>
    static std::shared_ptr<Query> create(const TVKQuarraExpression& expression) {
        std::vector<TVKQuarraQueryCriteriaPtr> criteria;
        std::vector<std::string> operators;
        if (!split(expression, criteria, operators)) {
            return nullptr;
        }
        return std::make_shared<Query>(std::move(criteria), std::move(operators));
    }

  private:
    static bool split(const TVKQuarraExpression& expression,
                      std::vector<TVKQuarraQueryCriteriaPtr>& criteria,
                      std::vector<std::string>& operators);

    std::vector<TVKQuarraQueryCriteriaPtr> expressions_;
    std::vector<std::string> operators_;
};

using TVKQuarraLocalQueryPtr = std::shared_ptr<TVKQuarraLocalQuery>;

// The file cache's kinds: each names its table's key columns.
#define TVK_KIND_QUERY_(Name)                                                         \
    using TVKQuarraLocalQuery::TVKQuarraLocalQuery;                                   \
    static std::shared_ptr<Name> createWithExpression(const TVKQuarraExpression& e) { \
        return create<Name>(e);                                                       \
    }                                                                                 \
    const char* className() const override {                                          \
        return #Name;                                                                 \
    }

class TVKDocumentQuery : public TVKQuarraLocalQuery {
  public:
    TVK_KIND_QUERY_(TVKDocumentQuery)
    static std::string DOCUMENT_ID() { return "DocumentID"; }
    static std::string MAJOR_VERSION() { return "MajorVersion"; }
    static std::string MINOR_VERSION() { return "MinorVersion"; }
};

class TVKDocumentRenditionQuery : public TVKQuarraLocalQuery {
  public:
    TVK_KIND_QUERY_(TVKDocumentRenditionQuery)
    static std::string DOCUMENT_ID() { return "DocumentID"; }
    static std::string MAJOR_VERSION() { return "MajorVersion"; }
    static std::string MINOR_VERSION() { return "MinorVersion"; }
    static std::string RENDITION_TYPE() { return "RenditionType"; }
};

class TVKDocumentAttachmentQuery : public TVKQuarraLocalQuery {
  public:
    TVK_KIND_QUERY_(TVKDocumentAttachmentQuery)
    static std::string DOCUMENT_ID() { return "DocumentID"; }
    static std::string ATTACHMENT_ID() { return "AttachmentID"; }
    static std::string ATTACHMENT_VERSION() { return "AttachmentVersion"; }
};

class TVKDocumentVersionAttachmentQuery : public TVKQuarraLocalQuery {
  public:
    TVK_KIND_QUERY_(TVKDocumentVersionAttachmentQuery)
    static std::string DOCUMENT_ID() { return "DocumentID"; }
    static std::string MAJOR_VERSION() { return "MajorVersion"; }
    static std::string MINOR_VERSION() { return "MinorVersion"; }
    static std::string ATTACHMENT_ID() { return "AttachmentID"; }
    static std::string ATTACHMENT_VERSION() { return "AttachmentVersion"; }
};

class TVKObjectRecordAttachmentQuery : public TVKQuarraLocalQuery {
  public:
    TVK_KIND_QUERY_(TVKObjectRecordAttachmentQuery)
    static std::string OBJECT_RECORD_NAME() { return "ObjectRecordName"; }
    static std::string OBJECT_RECORD_ID() { return "ObjectRecordId"; }
    static std::string ATTACHMENT_ID() { return "AttachmentID"; }
    static std::string ATTACHMENT_VERSION() { return "AttachmentVersion"; }
};

#undef TVK_KIND_QUERY_

}  // namespace quarra
