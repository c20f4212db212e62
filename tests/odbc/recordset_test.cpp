#include <gtest/gtest.h>

#include <sstream>

#include "call_counter.h"
#include "odbc/db_exception.h"
#include "odbc_fakes.h"
#include "recordset_fixture.h"
#include "trace_capture.h"

namespace {

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos;
         pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// What the recordset sends for a table name or a statement, with its filter
// and sort, and what that statement returns.
TEST_F(RecordsetTest, StatementBuiltFromTableNameOrTakenAsGiven) {
    env->exec(
        "CREATE TABLE t(a varchar(20), b varchar(20));"
        "INSERT INTO t VALUES('1','one'); INSERT INTO t VALUES('2','two')");
    struct Case {
        const char* sql;
        const char* where;
        const char* order;
        const char* sent;
        const char* firstA;
    } cases[] = {
        {"t", "a='2'", "", "SELECT a,b  FROM t WHERE a='2'", "2"},
        {"t", "", "a DESC", "SELECT a,b  FROM t ORDER BY a DESC", "2"},
        {"t", "b<>'x'", "b", "SELECT a,b  FROM t WHERE b<>'x' ORDER BY b", "1"},
        {"[t]", "", "", "SELECT a,b  FROM \"t\"", "1"},
        {"select a,b from t", "a='2'", "", "select a,b from t WHERE a='2'", "2"},
        {"SELECT b,a FROM t WHERE a='1'", "", "", "SELECT b,a FROM t WHERE a='1'", "one"},
        {"Select a,b From [t]", "", "", "Select a,b From \"t\"", "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        TestRecordset rs(db.get());
        rs.AddText("a");
        rs.AddText("b");
        rs.m_strWhere = c.where;
        rs.m_strOrderBy = c.order;
        ASSERT_TRUE(rs.Open(-1, c.sql));
        EXPECT_EQ(rs.m_strSQL, c.sent);
        EXPECT_EQ(rs.texts[0], c.firstA);
        rs.Close();
    }
}

// A leading blank makes the text a table name: the select list goes in front
// of it, and the driver rejects the result. The recordset ends closed.
TEST_F(RecordsetTest, LeadingBlankIsTakenForATableName) {
    env->exec("CREATE TABLE t(a varchar(20))");
    TestRecordset rs(db.get());
    rs.AddText("a");
    EXPECT_EQ(CodeOf([&] { rs.Open(-1, " SELECT a FROM t"); }), SQL_ERROR);
    EXPECT_EQ(rs.m_strSQL, "SELECT a  FROM  SELECT a FROM t");
    EXPECT_FALSE(rs.IsOpen());
    EXPECT_EQ(rs.closeCalls, 1);
    EXPECT_FALSE(rs.InConnectionList());
}

TEST_F(RecordsetTest, TableNameWithoutFieldsRaisesNoColumns) {
    env->exec("CREATE TABLE t(a varchar(20))");
    trace_capture trace(0);
    TestRecordset rs(db.get());
    EXPECT_EQ(CodeOf([&] { rs.Open(-1, "t"); }), DBERR_NO_COLUMNS);
    EXPECT_NE(trace.text().find("Error: no field names - at least 1 required.\n"),
              std::string::npos);
    EXPECT_FALSE(rs.IsOpen());
    EXPECT_EQ(rs.closeCalls, 1);
    EXPECT_TRUE(db->m_listRecordsets.empty());
}

// Every cursor type the driver offers opens; one it lacks raises its code.
// SQLite offers forward-only and static cursors.
TEST_F(RecordsetTest, CursorTypesTheDriverOffersOrLacks) {
    env->exec("CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('x')");
    struct Case {
        int type;
        SQLRETURN code;
        bool scrollable;
    } cases[] = {
        {CRecordset::staticCursor, SQL_SUCCESS, true},
        {CRecordset::forwardOnly, SQL_SUCCESS, false},
        {-1, SQL_SUCCESS, true},
        {CRecordset::keysetCursor, DBERR_KEYSET_UNSUPPORTED, false},
        {CRecordset::dynamicCursor, DBERR_DYNAMIC_CURSOR_UNSUPPORTED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        TestRecordset rs(db.get());
        rs.AddText("a");
        EXPECT_EQ(CodeOf([&] { rs.Open(c.type, "t"); }), c.code);
        EXPECT_EQ(rs.IsOpen(), c.code == SQL_SUCCESS);
        EXPECT_EQ(rs.InConnectionList(), c.code == SQL_SUCCESS);
        EXPECT_EQ(rs.closeCalls, c.code == SQL_SUCCESS ? 0 : 1);
        if (c.code == SQL_SUCCESS) {
            EXPECT_EQ(rs.AllowsScroll(), c.scrollable);
            EXPECT_EQ(rs.texts[0], "x");
        }
    }
}

// A driver that offers no static cursor: the static open raises 1013.
TEST_F(RecordsetTest, StaticCursorMissingFromDriverRaises1013) {
    env->exec("CREATE TABLE t(a varchar(20))");
    scripted_get_info forwardOnlyDriver({{SQL_SCROLL_OPTIONS, info_u32(SQL_SO_FORWARD_ONLY)}});
    for (int type :
         {CRecordset::staticCursor, CRecordset::keysetCursor, CRecordset::dynamicCursor}) {
        TestRecordset rs(db.get());
        rs.AddText("a");
        SQLRETURN expected = type == CRecordset::staticCursor   ? DBERR_STATIC_UNSUPPORTED
                             : type == CRecordset::keysetCursor ? DBERR_KEYSET_UNSUPPORTED
                                                                : DBERR_DYNAMIC_CURSOR_UNSUPPORTED;
        EXPECT_EQ(CodeOf([&] { rs.Open(type, "t"); }), expected);
        EXPECT_FALSE(rs.IsOpen());
    }
}

TEST_F(RecordsetTest, ForwardOnlyAcceptsOnlyMoveNext) {
    env->exec(
        "CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('x'); INSERT INTO t VALUES('y')");
    trace_capture trace(traceDatabase);
    TestRecordset rs(db.get());
    rs.AddText("a");
    ASSERT_TRUE(rs.Open(CRecordset::forwardOnly, "t"));
    EXPECT_NE(trace.text().find("Warning: Setting forwardOnly recordset readOnly.\n"),
              std::string::npos);
    EXPECT_TRUE(rs.m_dwOpenOptions & CRecordset::readOnly);
    EXPECT_EQ(CodeOf([&] { rs.MoveToRow(1); }), DBERR_FORWARD_ONLY);
    EXPECT_EQ(CodeOf([&] { rs.MoveBack(); }), DBERR_FORWARD_ONLY);
    EXPECT_EQ(CodeOf([&] { rs.MoveToFirst(); }), DBERR_FORWARD_ONLY);
    EXPECT_EQ(Count(trace.text(), "Error: forward-only recordsets only support MoveNext.\n"), 3u);
    EXPECT_TRUE(rs.IsOpen());  // a refused move leaves the recordset as it was
    EXPECT_EQ(rs.texts[0], "x");
    rs.MoveNext();
    EXPECT_EQ(rs.texts[0], "y");
    rs.MoveNext();
    EXPECT_TRUE(rs.AtEnd());
}

// The counters after Open and each move, for an empty result and for three rows.
TEST_F(RecordsetTest, CountersOverEmptyAndThreeRowResults) {
    env->exec(
        "CREATE TABLE t(a varchar(20));"
        "INSERT INTO t VALUES('1'); INSERT INTO t VALUES('2'); INSERT INTO t VALUES('3')");
    for (int type : {CRecordset::staticCursor, CRecordset::forwardOnly}) {
        SCOPED_TRACE(type);
        {
            TestRecordset rs(db.get());
            rs.AddText("a");
            rs.m_strWhere = "a='none'";
            ASSERT_TRUE(rs.Open(type, "t"));
            EXPECT_TRUE(rs.AtStart());
            EXPECT_TRUE(rs.AtEnd());
            EXPECT_EQ(rs.RecordsSeen(), 0);
            trace_capture trace(0);
            EXPECT_EQ(CodeOf([&] { rs.MoveNext(); }), DBERR_NO_DATA);
            EXPECT_EQ(trace.text(), "Error: attempted to position cursor on empty recordset.\n\n");
        }
        TestRecordset rs(db.get());
        rs.AddText("a");
        rs.m_strOrderBy = "a";
        ASSERT_TRUE(rs.Open(type, "t"));
        struct Step {
            const char* value;
            long seen;
            bool eof;
        } steps[] = {{"1", 1, false}, {"2", 2, false}, {"3", 3, false}, {"3", 3, true}};
        for (const Step& s : steps) {
            EXPECT_EQ(rs.texts[0], s.value);
            EXPECT_EQ(rs.RecordsSeen(), s.seen);
            EXPECT_EQ(rs.AtEnd(), s.eof);
            EXPECT_FALSE(rs.AtStart());
            if (!s.eof) rs.MoveNext();
        }
        EXPECT_TRUE(rs.m_bEndSeen);
        trace_capture trace(0);
        EXPECT_EQ(CodeOf([&] { rs.MoveNext(); }), DBERR_NO_DATA);
        EXPECT_EQ(trace.text(), "Error: attempted to move past EOF.\n\n");
        EXPECT_EQ(rs.RecordsSeen(), 3);
    }
}

TEST_F(RecordsetTest, MoveToRowFromEndOnStaticCursor) {
    env->exec(
        "CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1'); INSERT INTO t VALUES('2')");
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.m_strOrderBy = "a";
    ASSERT_TRUE(rs.Open(-1, "t"));
    rs.MoveNext();
    rs.MoveNext();
    ASSERT_TRUE(rs.AtEnd());
    rs.MoveToRow(1);
    EXPECT_FALSE(rs.AtEnd());
    EXPECT_FALSE(rs.AtStart());
    EXPECT_EQ(rs.texts[0], "1");
    EXPECT_EQ(rs.m_lCurrentRow, 0);
    EXPECT_EQ(rs.RecordsSeen(), 2);
    rs.MoveToRow(2);
    EXPECT_EQ(rs.texts[0], "2");
    rs.MoveBack();
    EXPECT_EQ(rs.texts[0], "1");
    rs.MoveBack();
    EXPECT_TRUE(rs.AtStart());
    EXPECT_FALSE(rs.AtEnd());
    {
        trace_capture trace(0);
        EXPECT_EQ(CodeOf([&] { rs.MoveBack(); }), DBERR_NO_DATA);
        EXPECT_EQ(trace.text(), "Error: attempted to move before BOF.\n\n");
    }
    rs.MoveToLast();
    EXPECT_EQ(rs.texts[0], "2");
    EXPECT_EQ(rs.m_lCurrentRow, 1);
    rs.MoveToRow(3);  // past the end
    EXPECT_TRUE(rs.AtEnd());
}

// A value longer than the bound buffer is an error of the fetch that meets
// it; the recordset stays open and keeps its counters.
TEST_F(RecordsetTest, TextLongerThanBoundBufferRaisesTruncation) {
    env->exec(
        "CREATE TABLE t(n integer, a varchar(20));"
        "INSERT INTO t VALUES(1, 'short'); INSERT INTO t VALUES(2, '" +
        std::string(300, 'x') + "')");
    trace_capture trace(0);
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.m_strOrderBy = "n";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(CodeOf([&] { rs.MoveNext(); }), DBERR_DATA_TRUNCATED);
    EXPECT_NE(trace.text().find("Error: field data truncated during data fetch.\n"),
              std::string::npos);
    EXPECT_TRUE(rs.IsOpen());
    EXPECT_EQ(rs.RecordsSeen(), 1);

    TestRecordset first(db.get());
    first.AddText("a");
    first.m_strWhere = "n=2";
    EXPECT_EQ(CodeOf([&] { first.Open(-1, "t"); }), DBERR_DATA_TRUNCATED);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_EQ(first.closeCalls, 1);

    TestRecordset wide(db.get());
    wide.AddText("a", 1000);
    wide.m_strWhere = "n=2";
    ASSERT_TRUE(wide.Open(-1, "t"));
    EXPECT_EQ(wide.texts[0], std::string(300, 'x'));
}

TEST_F(RecordsetTest, NullsGiveEmptyTextAndPseudoNullNumbers) {
    env->exec(
        "CREATE TABLE t(s varchar(20), i smallint, l integer);"
        "INSERT INTO t VALUES(NULL, NULL, NULL); INSERT INTO t VALUES('v', -7, -100000)");
    TestRecordset rs(db.get());
    rs.AddText("s");
    rs.AddInt("i");
    rs.AddLong("l");
    rs.m_strOrderBy = "s";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(rs.texts[0], "");
    EXPECT_EQ(rs.ints[0], 32484);
    EXPECT_EQ(rs.longs[0], 1246576928L);
    for (unsigned f = 0; f < 3; ++f) EXPECT_TRUE(rs.IsFieldNull(f)) << f;
    rs.MoveNext();
    EXPECT_EQ(rs.texts[0], "v");
    EXPECT_EQ(rs.ints[0], -7);
    EXPECT_EQ(rs.longs[0], -100000L);  // sign kept although the driver writes 32 bits
    for (unsigned f = 0; f < 3; ++f) EXPECT_FALSE(rs.IsFieldNull(f)) << f;
}

// Requery with the filter of Open executes the prepared statement again:
// no second prepare and no second binding reach the driver manager.
TEST_F(RecordsetTest, RequeryExecutesAgainWithoutPreparingOrBinding) {
    env->exec(
        "CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1'); INSERT INTO t VALUES('2')");
    call_counter calls;
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.AddParam("0");
    rs.m_strWhere = "a>?";
    rs.m_strOrderBy = "a";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(calls["SQLPrepare"], 1);
    EXPECT_EQ(calls["SQLExecute"], 1);
    EXPECT_EQ(calls["SQLBindCol"], 1);
    EXPECT_EQ(calls["SQLBindParameter"], 1);
    EXPECT_EQ(calls["SQLExtendedFetch"], 1);
    rs.MoveNext();

    calls.reset();
    rs.params[0] = "1";  // a new value of the same size travels in the same buffer
    ASSERT_TRUE(rs.Requery());
    EXPECT_EQ(rs.texts[0], "2");
    EXPECT_EQ(rs.RecordsSeen(), 1);
    EXPECT_FALSE(rs.AtEnd());
    EXPECT_EQ(calls["SQLPrepare"], 0);
    EXPECT_EQ(calls["SQLBindCol"], 0);
    EXPECT_EQ(calls["SQLBindParameter"], 0);
    EXPECT_EQ(calls["SQLFreeStmt(SQL_CLOSE)"], 1);
    EXPECT_EQ(calls["SQLExecute"], 1);
    EXPECT_EQ(calls["SQLExtendedFetch"], 1);

    calls.reset();
    rs.params[0] = std::string(300, '0');  // outgrows its buffer: bound again
    ASSERT_TRUE(rs.Requery());
    EXPECT_EQ(calls["SQLBindParameter"], 1);
    EXPECT_EQ(calls["SQLPrepare"], 0);
    EXPECT_EQ(rs.texts[0], "1");

    calls.reset();
    rs.MoveToRow(1);
    EXPECT_EQ(calls["SQLExtendedFetch"], 1);
    rs.Close();
    EXPECT_EQ(calls["SQLFreeStmt(SQL_DROP)"], 1);
}

TEST_F(RecordsetTest, RequeryWithChangedFilterOpensAgain) {
    env->exec(
        "CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1'); INSERT INTO t VALUES('2')");
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.m_strWhere = "a='1'";
    ASSERT_TRUE(rs.Open(-1, "t"));
    rs.m_strWhere = "a='2'";
    ASSERT_TRUE(rs.Requery());
    EXPECT_EQ(rs.closeCalls, 1);
    EXPECT_EQ(rs.m_strSQL, "SELECT a  FROM t WHERE a='2'");
    EXPECT_EQ(rs.texts[0], "2");
    EXPECT_EQ(rs.m_strRequeryWhere, "a='2'");
    EXPECT_TRUE(rs.InConnectionList());
    EXPECT_EQ(db->m_listRecordsets.size(), 1u);

    rs.m_strOrderBy = "a";
    ASSERT_TRUE(rs.Requery());
    EXPECT_EQ(rs.closeCalls, 2);
    EXPECT_EQ(rs.m_strSQL, "SELECT a  FROM t WHERE a='2' ORDER BY a");
}

TEST_F(RecordsetTest, RequeryAfterDirectExecuteAnswersFalse) {
    env->exec("CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1')");
    TestRecordset rs(db.get());
    rs.AddText("a");
    ASSERT_TRUE(rs.Open(-1, "t", CRecordset::directExecute));
    EXPECT_EQ(rs.texts[0], "1");
    EXPECT_FALSE(rs.AllowsRequery());
    rs.m_strWhere = "a='2'";
    EXPECT_FALSE(rs.Requery());
    EXPECT_TRUE(rs.IsOpen());
    EXPECT_EQ(rs.closeCalls, 0);
    EXPECT_EQ(rs.texts[0], "1");
}

// A failed Open or Requery leaves the recordset closed through the
// subclass's Close, out of the connection's list, and the error reaches the caller.
TEST_F(RecordsetTest, FailedOpenOrRequeryLeavesTheRecordsetClosed) {
    env->exec("CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1')");
    TestRecordset rs(db.get());
    rs.AddText("nosuchcolumn");
    try {
        rs.Open(-1, "t");
        FAIL() << "open of a missing column succeeded";
    } catch (const CDBException& e) {
        EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
        EXPECT_NE(e.m_strErrorText.find("nosuchcolumn"), std::string::npos) << e.m_strErrorText;
    }
    EXPECT_EQ(rs.closeCalls, 1);
    EXPECT_TRUE(rs.m_hstmt == SQL_NULL_HSTMT);
    EXPECT_TRUE(rs.AtEnd() && rs.AtStart());
    EXPECT_TRUE(db->m_listRecordsets.empty());

    // The same object opens once its fields are right.
    rs.fields.clear();
    rs.texts.clear();
    rs.m_nFields = 0;
    rs.AddText("a");
    ASSERT_TRUE(rs.Open(-1, "t"));
    rs.m_strWhere = "nosuchcolumn=1";
    EXPECT_EQ(CodeOf([&] { rs.Requery(); }), SQL_ERROR);
    EXPECT_FALSE(rs.IsOpen());
    EXPECT_GE(rs.closeCalls, 3);
    EXPECT_TRUE(db->m_listRecordsets.empty());
}

// The connection's list follows every path: construction on an open
// connection, Open, Close, destruction, and the connection's own Close.
TEST_F(RecordsetTest, ConnectionListOfRecordsets) {
    env->exec("CREATE TABLE t(a varchar(20)); INSERT INTO t VALUES('1')");
    {
        TestRecordset early(db.get());  // holds a statement from construction
        EXPECT_TRUE(early.m_hstmt != SQL_NULL_HSTMT);
        EXPECT_TRUE(early.InConnectionList());
        EXPECT_FALSE(early.IsOpen());
    }
    EXPECT_TRUE(db->m_listRecordsets.empty());

    CDatabase closed;
    TestRecordset late(&closed);  // no connection yet: no handle, no list entry
    EXPECT_TRUE(late.m_hstmt == SQL_NULL_HSTMT);
    EXPECT_TRUE(closed.m_listRecordsets.empty());

    auto a = std::make_unique<TestRecordset>(db.get());
    auto b = std::make_unique<TestRecordset>(db.get());
    a->AddText("a");
    b->AddText("a");
    ASSERT_TRUE(a->Open(-1, "t"));
    ASSERT_TRUE(b->Open(-1, "t"));
    EXPECT_EQ(db->m_listRecordsets.size(), 2u);
    a->Close();
    EXPECT_EQ(db->m_listRecordsets.size(), 1u);
    a->Close();  // harmless
    ASSERT_TRUE(a->Open(-1, "t"));
    b.reset();  // destruction closes
    EXPECT_EQ(db->m_listRecordsets.size(), 1u);
    db->Close();  // closes what is left and cuts the recordsets loose
    EXPECT_TRUE(db->m_listRecordsets.empty());
    EXPECT_FALSE(a->IsOpen());
    EXPECT_EQ(a->m_pDatabase, nullptr);
}

// Many open/requery/close cycles; the sanitizer build checks that nothing leaks.
TEST_F(RecordsetTest, ManyOpenRequeryCloseCycles) {
    env->exec("CREATE TABLE t(a varchar(20), n integer); INSERT INTO t VALUES('1', 1)");
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.AddLong("n");
    rs.AddParam("1");
    rs.m_strWhere = "a=?";
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(rs.Open(-1, "t"));
        ASSERT_TRUE(rs.Requery());
        ASSERT_EQ(rs.longs[0], 1);
        rs.Close();
    }
    EXPECT_TRUE(db->m_listRecordsets.empty());
}

// Parameters travel bound, never pasted: a value full of SQL syntax matches
// only the row that holds exactly that text.
TEST_F(RecordsetTest, BoundParameterMatchesOnlyTheExactText) {
    const std::vector<std::string> names = {
        "plain", "o'brien", "' OR ''='", "back\\slash", "a--b",     "x; DROP TABLE t",    "50%",
        "a_c",   "abc",     "%",         "_",           "quote\"d", std::string(400, 'L')};
    env->exec("CREATE TABLE t(name varchar(500), id integer)");
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::string literal;
        for (char c : names[i]) literal += c == '\'' ? std::string("''") : std::string(1, c);
        env->exec("INSERT INTO t VALUES('" + literal + "', " + std::to_string(i) + ")");
    }
    TestRecordset rs(db.get());
    rs.AddLong("id");
    rs.AddParam("");
    rs.m_strWhere = "name=?";
    bool open = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i].substr(0, 40));
        rs.params[0] = names[i];
        if (!open) {
            ASSERT_TRUE(rs.Open(-1, "t"));
            open = true;
        } else {
            ASSERT_TRUE(rs.Requery());  // the current value, same statement
        }
        EXPECT_EQ(rs.m_strSQL, "SELECT id  FROM t WHERE name=?");
        ASSERT_FALSE(rs.AtEnd());
        EXPECT_EQ(rs.longs[0], static_cast<long>(i));
        rs.MoveNext();
        EXPECT_TRUE(rs.AtEnd());
    }
    // A LIKE with wildcards in the value still sees them only as the value does.
    rs.Close();
    rs.m_strWhere = "name LIKE ?";
    rs.params[0] = "a_c";
    ASSERT_TRUE(rs.Open(-1, "t"));
    int rows = 0;
    while (!rs.AtEnd()) {
        ++rows;
        rs.MoveNext();
    }
    EXPECT_EQ(rows, 2);  // "a_c" and "abc": the driver's LIKE, not injection
    EXPECT_EQ(env->query("SELECT count(*) FROM t")[0][0].value(), std::to_string(names.size()));
}

// Close keeps the bound buffers for the next open: a shorter value after a
// longer one, and more columns and markers than before, still come out whole.
TEST_F(RecordsetTest, ReopenedRecordsetBindsItsKeptBuffersAfresh) {
    const std::string longText(400, 'L');
    env->exec(
        "CREATE TABLE t(a varchar(500), b varchar(20), n integer);"
        "INSERT INTO t VALUES('" +
        longText + "', 'x', 1); INSERT INTO t VALUES('s', 'y', 2)");
    TestRecordset rs(db.get());
    rs.AddText("a", 500);
    rs.AddLong("n");
    rs.AddParam(longText);
    rs.m_strWhere = "a=?";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(rs.texts[0], longText);
    EXPECT_EQ(rs.longs[0], 1);
    rs.Close();

    rs.params[0] = "s";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(rs.texts[0], "s");
    EXPECT_EQ(rs.longs[0], 2);
    rs.MoveNext();
    EXPECT_TRUE(rs.AtEnd());
    rs.Close();

    rs.AddText("b");
    rs.AddParam("y");
    rs.m_strWhere = "a=? AND b=?";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(rs.texts[0], "s");
    EXPECT_EQ(rs.texts[1], "y");
    EXPECT_EQ(rs.longs[0], 2);
    rs.Close();

    rs.params[0] = longText;
    rs.params[1] = "y";
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_TRUE(rs.AtEnd());  // the long text's row holds x
}

TEST_F(RecordsetTest, TwoParametersAndDirectExecute) {
    env->exec(
        "CREATE TABLE t(u varchar(20), p varchar(20), id integer);"
        "INSERT INTO t VALUES('bob','pw1',1); INSERT INTO t VALUES('bob','pw2',2)");
    TestRecordset rs(db.get());
    rs.AddLong("id");
    rs.AddParam("bob");
    rs.AddParam("pw2");
    rs.m_strWhere = "u=? AND p=?";
    ASSERT_TRUE(rs.Open(-1, "t", CRecordset::directExecute));
    EXPECT_EQ(rs.longs[0], 2);
    rs.Close();
    rs.params[1] = "pw1";
    ASSERT_TRUE(rs.Open(CRecordset::forwardOnly, "t"));
    EXPECT_EQ(rs.longs[0], 1);
    rs.params[1] = "wrong";
    ASSERT_TRUE(rs.Requery());
    EXPECT_TRUE(rs.AtEnd());
}

TEST_F(RecordsetTest, ParameterCountMustMatch) {
    env->exec("CREATE TABLE t(a varchar(20))");
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.AddParam("x");
    rs.m_nParams = 2;  // one more marker than ExchangeFields names
    rs.m_strWhere = "a=? OR a=?";
    EXPECT_THROW(rs.Open(-1, "t"), std::logic_error);
    EXPECT_FALSE(rs.IsOpen());
    EXPECT_TRUE(db->m_listRecordsets.empty());
}

TEST_F(RecordsetTest, BoundTextBufferSizes) {
    env->exec("CREATE TABLE t(a varchar(30), b varchar(300), c integer, d double)");
    struct Case {
        int maxLength;
        std::size_t a, b, c, d;
    } cases[] = {
        {255, 256, 256, 256, 256},
        {1000, 1001, 301, 1001, 1001},
    };
    for (const Case& c : cases) {
        TestRecordset rs(db.get());
        for (const char* name : {"a", "b", "c", "d"}) rs.AddText(name, c.maxLength);
        ASSERT_TRUE(rs.Open(-1, "t"));
        EXPECT_EQ(rs.m_fieldStates[0].m_proxy.size(), c.a);
        EXPECT_EQ(rs.m_fieldStates[1].m_proxy.size(), c.b);
        EXPECT_EQ(rs.m_fieldStates[2].m_proxy.size(), c.c);
        EXPECT_EQ(rs.m_fieldStates[3].m_proxy.size(), c.d);
        EXPECT_EQ(rs.m_fieldIndexMap.at(&rs.texts[2]), 3u);
    }
}

TEST_F(RecordsetTest, NumberBindingWarnings) {
    env->exec("CREATE TABLE t(s smallint, i integer, v varchar(10))");
    trace_capture trace(traceDatabase);
    TestRecordset rs(db.get());
    rs.AddInt("s");
    rs.AddInt("i");
    rs.AddLong("i");
    rs.AddLong("s");
    ASSERT_TRUE(rs.Open(-1, "SELECT s,i,i,s FROM t"));
    const std::string& t = trace.text();
    EXPECT_EQ(Count(t, "Warning: int converted from SQL type 4.\n"), 1u) << t;
    EXPECT_EQ(Count(t, "Warning: int converted from SQL type"), 1u);
    EXPECT_EQ(Count(t, "Warning: long converted from SQL type 5.\n"), 1u);
    EXPECT_EQ(Count(t, "Warning: long converted from SQL type"), 1u);
    EXPECT_EQ(rs.m_fieldStates[0].m_nCacheType, 3u);
    EXPECT_EQ(rs.m_fieldStates[2].m_nCacheType, 4u);
}

// The Name pass lists dirty fields only but counts them all.
TEST_F(RecordsetTest, NamePassListsDirtyFields) {
    env->exec("CREATE TABLE t(a varchar(10), b varchar(10), c varchar(10))");
    TestRecordset rs(db.get());
    for (const char* name : {"a", "b", "c"}) rs.AddText(name);
    ASSERT_TRUE(rs.Open(-1, "t"));
    EXPECT_EQ(rs.m_strSQL, "SELECT a,b,c  FROM t");
    std::string text;
    FieldExchange fx(FieldExchange::ListNames, &rs);
    fx.m_pText = &text;
    fx.m_pszSeparator = ",";
    rs.ExchangeFields(&fx);  // after the move no field is dirty
    EXPECT_EQ(text, "");
    EXPECT_EQ(fx.m_nFields, 3u);
    rs.m_fieldFlags[0] = rs.m_fieldFlags[2] = CRecordset::fieldDirty;
    FieldExchange again(FieldExchange::ListNames, &rs);
    again.m_pText = &text;
    again.m_pszSeparator = ",";
    rs.ExchangeFields(&again);
    EXPECT_EQ(text, "a,c,");
}

TEST_F(RecordsetTest, UpdatabilityAfterOpen) {
    env->exec("CREATE TABLE t(a varchar(10)); CREATE TABLE u(a varchar(10))");
    trace_capture trace(traceDatabase);
    struct Case {
        const char* sql;
        std::uint32_t options;
        bool updatable;
        const char* table;
    } cases[] = {
        {"t", CRecordset::none, true, "t"},
        {"t", CRecordset::readOnly, false, ""},
        {"SELECT a FROM t WHERE a=' FROM x'", CRecordset::none, true, "t"},
        {"SELECT t.a FROM t, u", CRecordset::none, false, ""},
        {"SELECT a FROM t GROUP BY a", CRecordset::none, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sql);
        TestRecordset rs(db.get());
        rs.AddText("a");
        ASSERT_TRUE(rs.Open(-1, c.sql, c.options));
        EXPECT_EQ(rs.AllowsUpdate(), c.updatable);
        EXPECT_EQ(rs.TableName(), c.table);
    }
    EXPECT_NE(trace.text().find("Warning: SQL contains join, recordset not updatable \n"),
              std::string::npos);
}

TEST_F(RecordsetTest, DumpShowsStateAndFieldValues) {
    env->exec("CREATE TABLE t(a varchar(10), n integer); INSERT INTO t VALUES('hello', 5)");
    TestRecordset rs(db.get());
    rs.AddText("a");
    rs.AddLong("n");
    ASSERT_TRUE(rs.Open(-1, "t"));
    std::ostringstream out;
    rs.Dump(out, 1);
    const std::string d = out.str();
    for (const char* label :
         {"m_nOpenType = 1", "\nm_strSQL = SELECT a,n  FROM t", "\nm_nFields = 2", "\nm_bEOF = 0",
          "\nDump values for each field in current record.", "\na = hello", "\nn = 5",
          "with database: ODBC;"})
        EXPECT_NE(d.find(label), std::string::npos) << label << "\n" << d;
}

TEST(RecordsetReturnCodes, CheckReturnAcceptsWhatTheRecordsetMayGoOnWith) {
    CRecordset rs(nullptr);
    struct Case {
        SQLRETURN code;
        bool ok;
    } cases[] = {{SQL_SUCCESS, true},         {SQL_SUCCESS_WITH_INFO, true},
                 {SQL_NEED_DATA, true},       {SQL_NO_DATA_FOUND, true},
                 {SQL_ERROR, false},          {SQL_INVALID_HANDLE, false},
                 {SQL_STILL_EXECUTING, false}};
    for (const Case& c : cases) EXPECT_EQ(rs.CheckReturn(c.code), c.ok) << c.code;
    EXPECT_FALSE(rs.IsOpen());
}

// The row counters of each fetch orientation, without a driver.
TEST(RecordsetCounters, UpdateRowStatusTable) {
    struct Case {
        long current, seen;
        bool endSeen, eof;
        SQLRETURN rc;
        SQLUSMALLINT type;
        long rows;
        long expCurrent, expSeen;
        bool expEnd, expBOF, expEOF;
    } cases[] = {
        {-1, 0, false, false, SQL_SUCCESS, SQL_FETCH_NEXT, 1, 0, 1, false, false, false},
        {2, 3, false, false, SQL_NO_DATA_FOUND, SQL_FETCH_NEXT, 1, 2, 3, true, false, true},
        {-1, 0, false, false, SQL_NO_DATA_FOUND, SQL_FETCH_NEXT, 1, -1, 0, true, false, true},
        {2, 3, true, true, SQL_SUCCESS, SQL_FETCH_FIRST, 1, 0, 3, true, false, false},
        {0, 3, true, false, SQL_NO_DATA_FOUND, SQL_FETCH_FIRST, 1, -2, 0, true, true, true},
        {0, 3, true, false, SQL_SUCCESS, SQL_FETCH_LAST, -1, 2, 3, true, false, false},
        {0, 1, false, false, SQL_SUCCESS, SQL_FETCH_LAST, -1, -2, 1, false, false, false},
        {2, 3, true, true, SQL_SUCCESS, SQL_FETCH_PRIOR, -1, 2, 3, true, false, false},
        {2, 3, true, false, SQL_SUCCESS, SQL_FETCH_PRIOR, -1, 1, 3, true, false, false},
        {0, 3, true, false, SQL_NO_DATA_FOUND, SQL_FETCH_PRIOR, -1, 0, 3, true, true, false},
        {2, 3, true, true, SQL_SUCCESS, SQL_FETCH_ABSOLUTE, 1, 0, 3, true, false, false},
        {0, 1, false, false, SQL_SUCCESS, SQL_FETCH_ABSOLUTE, 5, 4, 5, false, false, false},
        {0, 3, true, false, SQL_SUCCESS, SQL_FETCH_ABSOLUTE, -1, 2, 3, true, false, false},
        {0, 1, false, false, SQL_SUCCESS, SQL_FETCH_ABSOLUTE, -1, -2, 1, false, false, false},
        {0, 3, true, false, SQL_NO_DATA_FOUND, SQL_FETCH_ABSOLUTE, 9, -2, 3, true, false, true},
        {0, 1, false, false, SQL_SUCCESS, SQL_FETCH_RELATIVE, 2, 2, 3, false, false, false},
        {1, 3, true, false, SQL_NO_DATA_FOUND, SQL_FETCH_RELATIVE, -5, 1, 3, true, true, false},
        {1, 3, true, false, SQL_SUCCESS, SQL_FETCH_BOOKMARK, 0, -2, 3, true, false, false},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        CRecordset rs(nullptr);
        rs.m_lCurrentRow = c.current;
        rs.m_lRowsSeen = c.seen;
        rs.m_bEndSeen = c.endSeen;
        rs.m_bEOF = c.eof;
        rs.m_bBOF = false;
        rs.UpdateRowStatus(c.rc, c.type, c.rows, 1);
        EXPECT_EQ(rs.m_lCurrentRow, c.expCurrent);
        EXPECT_EQ(rs.m_lRowsSeen, c.expSeen);
        EXPECT_EQ(rs.m_bEndSeen, c.expEnd);
        EXPECT_EQ(rs.m_bBOF, c.expBOF);
        EXPECT_EQ(rs.m_bEOF, c.expEOF);
    }
}

}  // namespace
