#include <gtest/gtest.h>

#include "odbc/sql_text.h"

namespace {

TEST(SqlTokenSearch, FindsTokensOutsideLiteralsAndBrackets) {
    const auto npos = std::string::npos;
    struct Case {
        const char* sql;
        const char* token;
        std::string::size_type at;
    } cases[] = {
        {"SELECT a FROM t", " FROM ", 8},
        {"select a from t", " FROM ", 8},
        {"SELECT a,b FROM t", ",", 8},
        {"SELECT 'x FROM y' FROM t", " FROM ", 17},
        {"SELECT 'it''s FROM' FROM t", " FROM ", 19},
        {"SELECT '' FROM t", " FROM ", 9},
        {"SELECT [a FROM b] FROM t", " FROM ", 17},
        {"SELECT [a [[ FROM b] FROM t", " FROM ", 20},
        {"SELECT [a ]] FROM b] FROM t", " FROM ", 20},
        {"SELECT [[x FROM t", " FROM ", 10},
        {"SELECT 'never closed FROM t", " FROM ", npos},
        {"SELECT a FROMt", " FROM ", npos},
        {"", " FROM ", npos},
        {"SELECT a FROM t WHERE b=' WHERE '", " WHERE ", 15},
        {"SELECT a FROM t WHERE b='x' ORDER BY a", " ORDER BY ", 27},
        {"SELECT a FROM t1 JOIN t2 ON 1=1", " JOIN ", 16},
        {"select a from t", "FROM", 9},
        {"SELECT 'a,b','c' , d", ",", 12},
        {"SELECT ' FROM ' FROM t", " FROM ", 15},
        {"x FROM", " FROM", 1},
        {"x FRO", " FROM", npos},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindSQLToken(c.sql, c.token), c.at) << c.sql << " / " << c.token;
    EXPECT_EQ(FindSQLToken("SELECT a FROM t FROM u", " FROM ", 9), 15u);
    EXPECT_EQ(FindSQLToken("SELECT a FROM t", " FROM ", 16), npos);
    // A literal that opens before the starting point still hides what is in it.
    EXPECT_EQ(FindSQLToken("SELECT 'x FROM y' FROM t", " FROM ", 8), 17u);
}

TEST(SqlTokenSearch, PrefixesIgnoreCase) {
    EXPECT_TRUE(StartsWithNoCase("select a", "SELECT"));
    EXPECT_TRUE(StartsWithNoCase("{call p}", "{CALL"));
    EXPECT_FALSE(StartsWithNoCase(" SELECT a", "SELECT"));
    EXPECT_FALSE(StartsWithNoCase("SEL", "SELECT"));
}

TEST(SqlUpdatability, SingleTableStatementsOnly) {
    struct Case {
        const char* sql;
        bool updatable;
        const char* table;
        const char* warning;
    } cases[] = {
        {"SELECT a FROM t", true, "t", nullptr},
        {"SELECT a,b  FROM maildb WHERE user='bob'", true, "maildb", nullptr},
        {"SELECT a FROM t WHERE b=' FROM x'", true, "t", nullptr},
        {"SELECT a FROM t ORDER BY a", true, "t", nullptr},
        {"SELECT a FROM t ORDER BY a, b", true, "t", nullptr},
        {"SELECT a FROM t WHERE a IN (1,2)", true, "t", nullptr},
        {"SELECT a FROM [my,table]", true, "[my,table]", nullptr},
        {"SELECT a FROM t WHERE x=', JOIN '", true, "t", nullptr},
        {"SELECT a FROM a,b", false, "", "Warning: SQL contains join, recordset not updatable \n"},
        {"SELECT a FROM a , b WHERE 1=1", false, "",
         "Warning: SQL contains join, recordset not updatable \n"},
        {"SELECT a FROM a JOIN b ON a.x=b.x", false, "",
         "Warning: SQL contains join, recordset not updatable \n"},
        {"SELECT a FROM a inner join b on 1=1 ORDER BY a", false, "",
         "Warning: SQL contains join, recordset not updatable \n"},
        {"SELECT a FROM t GROUP BY a", false, "",
         "Warning: SQL contains ' GROUP BY ', recordset not updatable \n"},
        {"SELECT a FROM t UNION SELECT a FROM u", false, "",
         "Warning: SQL contains ' UNION ', recordset not updatable \n"},
        {"SELECT 1", false, "", "Warning: Missing ' FROM ', recordset not updatable \n"},
        {"SELECT 'a FROM b'", false, "", "Warning: Missing ' FROM ', recordset not updatable \n"},
        {"{CALL p}", false, "", nullptr},
        {"{? = call p}", false, "", nullptr},
        // A WHERE in the select list does not end the table list before it starts.
        {"SELECT (SELECT 1 WHERE 1=1) AS c FROM t", true, "t", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        SQLUpdatability u = AnalyseUpdatability(c.sql);
        EXPECT_EQ(u.updatable, c.updatable);
        EXPECT_EQ(u.tableName, c.table);
        if (c.warning)
            EXPECT_STREQ(u.warning, c.warning);
        else
            EXPECT_EQ(u.warning, nullptr);
    }
}

}  // namespace
