#include "UdsJetSQL.h"

#include <gtest/gtest.h>

TEST(JetSQL, TrueAndFalseOutsideQuotedTextBecomeJetNumbers) {
    struct Case {
        const char* jet;
        const char* sqlite;
    } cases[] = {
        {"SELECT * FROM S_User WHERE FReserve=True", "SELECT * FROM S_User WHERE FReserve=-1"},
        {"UPDATE T SET FValid = False", "UPDATE T SET FValid = 0"},
        {"VALUES ('1', '0', TRUE, 'x'),(true,FaLsE)", "VALUES ('1', '0', -1, 'x'),(-1,0)"},
        // Quoted texts, bracketed and quoted names, qualified names and comments stay.
        {"VALUES('True', 'it''s False', \"True\", [True], `False`)",
         "VALUES('True', 'it''s False', \"True\", [True], `False`)"},
        {"SELECT H.True, H . False FROM H", "SELECT H.True, H . False FROM H"},
        {"SELECT 1 -- True\n, 2 /* False */", "SELECT 1 -- True\n, 2 /* False */"},
        // Only whole words.
        {"SELECT Trueish, IsFalse, True_1, 金额True FROM T",
         "SELECT Trueish, IsFalse, True_1, 金额True FROM T"},
        // After a minus the literal must not open a comment.
        {"SELECT -True, 1-True", "SELECT -(-1), 1-(-1)"},
        // An unterminated quote swallows the rest, as the engine would.
        {"SELECT 'True", "SELECT 'True"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TdsJetSQL::ToSQLite(c.jet), c.sqlite) << c.jet;
}

TEST(JetSQL, RowOperationsAreTheChangingStatements) {
    struct Case {
        const char* sql;
        bool rows;
    } cases[] = {
        {"INSERT INTO T VALUES(1)", true},
        {"  update T SET F = 1", true},
        {"\r\nDELETE FROM T", true},
        {"/* c */ Replace INTO T VALUES(1)", true},
        {"SELECT * FROM T", false},
        {"(SELECT 1)", false},
        {"CREATE TABLE T (F INTEGER)", false},
        {"DROP TABLE T", false},
        {"", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TdsJetSQL::IsRowOperation(c.sql), c.rows) << c.sql;
    EXPECT_TRUE(TdsJetSQL::IsBlank(" ;\r\n -- done\n /* x */ ;"));
    EXPECT_FALSE(TdsJetSQL::IsBlank("; DELETE FROM T"));
}
