// The local query language: the documented SQL text, and the bound form that the caches run.
#include "quarra/TVKQuarraLocalQuery.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quarra {
namespace {

using Criteria = TVKQuarraQueryCriteria;

TEST(LocalQuery, WritesCriteriaAndOperatorsLeftToRight) {
    struct Case {
        TVKQuarraExpression expression;
        std::string select;
        std::string bound;
        SQArguments arguments;
    };
    const Case cases[] = {
        {{}, "SELECT * FROM T", "SELECT * FROM `T`", {}},
        {{Criteria::criteriaWithFieldEqualTo("DocumentID", 12)},
         "SELECT * FROM T WHERE DocumentID = 12 ",
         "SELECT * FROM `T` WHERE `DocumentID` = ? ",
         {12}},
        {{Criteria::criteriaWithFieldEqualTo("DocumentID", 12), TVKQuarraLogicalOperatorAnd,
          Criteria::criteriaWithFieldLike("FileName", "report")},
         "SELECT * FROM T WHERE DocumentID = 12 AND FileName LIKE \"%report%\" ",
         "SELECT * FROM `T` WHERE `DocumentID` = ? AND `FileName` LIKE ? ",
         {12, "%report%"}},
        // Wildcards of the value stay wildcards, bound as they are written; a field is only ever a
        // name.
        {{Criteria::criteriaWithFieldLike("1=1 OR name", "50%_\\")},
         "SELECT * FROM T WHERE 1=1 OR name LIKE \"%50%_\\%\" ",
         "SELECT * FROM `T` WHERE `1=1 OR name` LIKE ? ",
         {"%50%_\\%"}},
        // A number compared with LIKE becomes text between percent signs.
        {{Criteria::criteriaWithFieldLike("title", 7), TVKQuarraLogicalOperatorOr,
          Criteria::criteriaWithFieldEqualTo("size", 1.5)},
         "SELECT * FROM T WHERE title LIKE \"%7%\" OR size = 1.5 ",
         "SELECT * FROM `T` WHERE `title` LIKE ? OR `size` = ? ",
         {"%7%", 1.5}},
    };
    for (const auto& c : cases) {
        auto query = TVKQuarraLocalQuery::createWithExpression(c.expression);
        ASSERT_TRUE(query);
        EXPECT_EQ(query->generateSqlForTableName("T"), c.select);
        auto bound = query->boundSqlForTableName("T");
        EXPECT_EQ(bound.sql, c.bound);
        EXPECT_EQ(bound.arguments, c.arguments);
    }
}

TEST(LocalQuery, LikeMatchesAnywhereOnlyWithTheExportedConstant) {
    const std::string equalText = "LIKE";
    // An equal text is the caller's own pattern, wildcards and all.
    Criteria own("title", equalText, "a%c");
    EXPECT_EQ(own.generateSQL(), "title LIKE \"a%c\" ");
    EXPECT_EQ(own.boundSQL().sql, "`title` LIKE ? ");
    EXPECT_EQ(own.boundSQL().arguments, SQArguments{"a%c"});
    Criteria exported("title", TVKQuarraComparisonOperatorLike, "abc");
    EXPECT_EQ(exported.generateSQL(), "title LIKE \"%abc%\" ");
    exported.setCOperator(equalText);
    EXPECT_EQ(exported.generateSQL(), "title LIKE \"abc\" ");
}

TEST(LocalQuery, RefusesMalformedExpressionLists) {
    const TVKQuarraExpression refused[] = {
        {std::monostate{}},
        {TVKQuarraQueryCriteriaPtr()},
        {TVKQuarraLogicalOperatorAnd},
        {Criteria::criteriaWithFieldEqualTo("a", 1), std::monostate{}},
        {Criteria::criteriaWithFieldEqualTo("a", 1), Criteria::criteriaWithFieldEqualTo("b", 1)},
        {Criteria::criteriaWithFieldEqualTo("a", 1), std::string("XOR"),
         Criteria::criteriaWithFieldEqualTo("b", 1)},
    };
    for (const auto& expression : refused) {
        EXPECT_FALSE(TVKQuarraLocalQuery::createWithExpression(expression));
    }
    // Ending with an operator passes the element checks and fails the count.
    EXPECT_THROW(TVKQuarraLocalQuery::createWithExpression(
                     {Criteria::criteriaWithFieldEqualTo("a", 1), TVKQuarraLogicalOperatorOr}),
                 std::invalid_argument);
    // Operators without criteria select everything.
    TVKQuarraLocalQuery everything({}, {TVKQuarraLogicalOperatorAnd});
    EXPECT_FALSE(everything.generateSqlWhereClause());
    EXPECT_EQ(everything.generateSqlForTableName("T"), "SELECT * FROM T");
}

TEST(LocalQuery, KindClassesMakeQueriesOfTheirOwnClass) {
    auto query = TVKDocumentRenditionQuery::createWithExpression(
        {Criteria::criteriaWithFieldEqualTo(TVKDocumentRenditionQuery::RENDITION_TYPE(), "pdf")});
    ASSERT_TRUE(query);
    EXPECT_STREQ(query->className(), "TVKDocumentRenditionQuery");
    EXPECT_EQ(TVKObjectRecordAttachmentQuery::OBJECT_RECORD_ID(), "ObjectRecordId");
    EXPECT_EQ(TVKDocumentVersionAttachmentQuery::ATTACHMENT_VERSION(), "AttachmentVersion");
}

}  // namespace
}  // namespace quarra
