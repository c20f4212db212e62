// Taking statements apart, the blank helpers and the connect string.
#include <gtest/gtest.h>

#include "dbwrap/connect_string.h"
#include "dbwrap/query_text.h"

namespace {

TEST(BlankHelpers, StripAndTrimWalkTheirTable) {
    struct row {
        const char* input;
        const char* stripped;
        const char* trimmed;
    };
    const row rows[] = {
        {"", "", ""},
        {"maildb", "maildb", "maildb"},
        {" mail db ", "maildb", "mail db"},
        {"\t a\tb \t", "ab", "a\tb"},
        {" \t \t", "", ""},
        {"x", "x", "x"},
    };
    for (const row& r : rows) {
        std::string s = r.input, t = r.input;
        strip_blanks(&s);
        trim_blanks(&t);
        EXPECT_EQ(s, r.stripped) << "input [" << r.input << "]";
        EXPECT_EQ(t, r.trimmed) << "input [" << r.input << "]";
    }
    strip_blanks(nullptr);  // a null text is left alone
    trim_blanks(nullptr);
}

TEST(SplitQuery, TakesStatementsApart) {
    struct row {
        const char* statement;
        bool filter, table, select;
        const char* where;
        const char* key;
        const char* from;
        std::vector<std::string> names;
    };
    const row rows[] = {
        {"SELECT user,pass FROM maildb WHERE user='bob'",
         true,
         true,
         true,
         "user='bob'",
         "user",
         "maildb",
         {"user", "pass"}},
        {"SELECT user,pass FROM maildb WHERE user=? AND pass=?",
         true,
         true,
         true,
         "user=? AND pass=?",
         "user",
         "maildb",
         {"user", "pass"}},
        {"SELECT a , b FROM  mail db  WHERE  k =?",
         true,
         true,
         true,
         " k =?",
         "k",
         "maildb",
         {"a", "b"}},
        {"SELECT user,pass FROM maildb", false, true, true, "", "", "maildb", {"user", "pass"}},
        {"select user FROM t WHERE u=?", true, true, false, "u=?", "u", "t", {}},
        {"SELECT user from t WHERE u=?", true, false, true, "u=?", "u", "", {}},
        {"SELECT a,b, FROM t WHERE a=?", true, true, true, "a=?", "a", "t", {"a", "b", ""}},
        // Keywords at the very end of the text give empty parts, not a crash.
        {"SELECT a FROM t WHERE", true, true, true, "", "", "t", {"a"}},
        {"SELECT FROM", false, true, true, "", "", "", {""}},
        // A keyword inside a name is part of the name, wherever it stands.
        {"SELECTFROM", false, false, false, "", "", "", {}},
        {"SELECT WHERE_USER,pass,FWD_FROM,SELECTED FROM FROMmaildb WHERE WHERE_USER=?",
         true,
         true,
         true,
         "WHERE_USER=?",
         "WHERE_USER",
         "FROMmaildb",
         {"WHERE_USER", "pass", "FWD_FROM", "SELECTED"}},
        {"SELECT u,p,QUOTA_WHERE FROM SELECT_WHERE_FROM WHERE u=? AND p=?",
         true,
         true,
         true,
         "u=? AND p=?",
         "u",
         "SELECT_WHERE_FROM",
         {"u", "p", "QUOTA_WHERE"}},
    };
    for (const row& r : rows) {
        query_parts parts = split_query(r.statement);
        SCOPED_TRACE(r.statement);
        EXPECT_EQ(parts.has_filter, r.filter);
        EXPECT_EQ(parts.has_table, r.table);
        EXPECT_EQ(parts.has_select, r.select);
        EXPECT_EQ(parts.filter, r.where);
        EXPECT_EQ(parts.key_column, r.key);
        if (r.table) {
            EXPECT_EQ(parts.table, r.from);
        }
        EXPECT_EQ(parts.names, r.names);
    }
}

TEST(SplitQuery, TwentyFirstNameStaysInTheTwentieth) {
    std::string list;
    for (char c = 'a'; c <= 'u'; ++c)  // 21 names
        list += std::string(list.empty() ? "" : ",") + c;
    std::vector<std::string> names = split_column_list(list);
    ASSERT_EQ(names.size(), 20u);
    EXPECT_EQ(names[0], "a");
    EXPECT_EQ(names[18], "s");
    EXPECT_EQ(names[19], "t,u");
}

TEST(ConnectString, PiecesQuotingAndTheMaskedForm) {
    using opt = std::optional<std::string>;
    struct row {
        opt dsn, login, password;
        const char* sent;
        const char* shown;
    };
    const row rows[] = {
        {"quillmar", {}, {}, "DSN=quillmar;", "DSN=quillmar;"},
        {"quillmar", "joe", {}, "DSN=quillmar;UID=joe;", "DSN=quillmar;UID=joe;"},
        {"quillmar", {}, "s3cret", "DSN=quillmar;PWD=s3cret;", "DSN=quillmar;PWD=****;"},
        {"quillmar", "joe", "s3cret", "DSN=quillmar;UID=joe;PWD=s3cret;",
         "DSN=quillmar;UID=joe;PWD=****;"},
        {"my dsn", "a;b", "p}w{", "DSN=my dsn;UID={a;b};PWD={p}}w{};",
         "DSN=my dsn;UID={a;b};PWD=****;"},
        {" lead", "trail ", "", "DSN={ lead};UID={trail };PWD=;",
         "DSN={ lead};UID={trail };PWD=****;"},
    };
    for (const row& r : rows) {
        connect_strings s = build_connect_string(r.dsn, r.login, r.password);
        EXPECT_EQ(s.sent, r.sent);
        EXPECT_EQ(s.shown, r.shown);
        if (r.password && !r.password->empty()) {
            EXPECT_EQ(s.shown.find(*r.password), std::string::npos);
        }
    }
}

}  // namespace
