#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "odbc/database.h"
#include "odbc/db_exception.h"
#include "odbc/recordset.h"
#include "odbc_fakes.h"
#include "support/odbc_env.h"
#include "trace_capture.h"

namespace {

// How the driver manager's message tags are split off: the tags go to the
// state line, the rest is the error line.
TEST(CollectErrors, SplitsOriginTagsFromTheMessage) {
    struct row {
        fake_record record;
        const char* state_text;
        const char* error_text;
    } table[] = {
        {{"S1000", 1045, "[Vendor][Driver] Access denied"},
         "State:S1000,Native:1045,Origin:[Vendor][Driver]\n",
         "Access denied\n"},
        {{"42S02", 0, "no such table: users"},
         "State:42S02,Native:0,Origin:\n",
         "no such table: users\n"},
        {{"S1000", 7, "[A] [B]C"}, "State:S1000,Native:7,Origin:[A][B]\n", "C\n"},
        {{"S1000", 7, "[A]"}, "State:S1000,Native:7,Origin:[A]\n", "\n"},
        {{"S1000", 7, "[A] "}, "State:S1000,Native:7,Origin:[A]\n", "\n"},
        {{"S1000", 7, "[unclosed tag"}, "State:S1000,Native:7,Origin:\n", "[unclosed tag\n"},
        {{"S1000", 7, "[A][unclosed"}, "State:S1000,Native:7,Origin:[A]\n", "[unclosed\n"},
        {{"S1000", 7, "[A]  two spaces"}, "State:S1000,Native:7,Origin:[A]\n", " two spaces\n"},
        {{"HY000", -2147483647L - 1, "[X]neg"},
         "State:HY000,Native:-2147483648,Origin:[X]\n",
         "neg\n"},
        {{"08001", -1, "x [not a tag]"}, "State:08001,Native:-1,Origin:\n", "x [not a tag]\n"},
        {{"S1000", 0, ""}, "State:S1000,Native:0,Origin:\n", "\n"},
    };
    CDatabase db;
    for (const row& r : table) {
        SCOPED_TRACE(r.record.message);
        scripted_sql_error script({r.record});
        CDBException e(SQL_ERROR);
        e.CollectErrors(&db, SQL_NULL_HSTMT, false);
        EXPECT_EQ(e.m_strStateText, r.state_text);
        EXPECT_EQ(e.m_strErrorText, r.error_text);
        EXPECT_EQ(script.calls(), 2);
    }
}

TEST(CollectErrors, RecordsInOrderUntilSqlErrorStops) {
    struct row {
        std::vector<fake_record> records;
        SQLRETURN end;
        const char* state_text;
        const char* error_text;
    } table[] = {
        // Two records, in the order they were returned.
        {{{"01000", 1, "[A]first"}, {"S1000", 2, "[B]second"}},
         SQL_NO_DATA_FOUND,
         "State:01000,Native:1,Origin:[A]\nState:S1000,Native:2,Origin:[B]\n",
         "first\nsecond\n"},
        // SQLError failing part-way keeps what was collected so far.
        {{{"01000", 1, "kept"}}, SQL_ERROR, "State:01000,Native:1,Origin:\n", "kept\n"},
        {{}, SQL_INVALID_HANDLE, "", ""},
        // A "00000" state ends the walk like the end of the records.
        {{{"00000", 0, "nothing"}, {"S1000", 1, "never seen"}}, SQL_NO_DATA_FOUND, "", ""},
    };
    CDatabase db;
    for (const row& r : table) {
        scripted_sql_error script(r.records, r.end);
        CDBException e(SQL_ERROR);
        e.CollectErrors(&db, SQL_NULL_HSTMT, false);
        EXPECT_EQ(e.m_strStateText, r.state_text);
        EXPECT_EQ(e.m_strErrorText, r.error_text);
    }
}

TEST(CollectErrors, TracesMessageAndStateWrapped) {
    std::string long_message(100, 'm');
    scripted_sql_error script({{"S1000", 3, "[A] " + long_message}});
    trace_capture cap(0);
    CDatabase db;
    CDBException e(SQL_ERROR);
    e.CollectErrors(&db, SQL_NULL_HSTMT, true);
    EXPECT_EQ(cap.text(), std::string(80, 'm') + "\n" + std::string(20, 'm') + "\n" +
                              "State:S1000,Native:3,Origin:[A]\n\n");
}

TEST(CollectErrors, NullDatabaseChangesNothing) {
    scripted_sql_error script({{"S1000", 1, "x"}});
    CDBException e(SQL_ERROR);
    e.CollectErrors(nullptr, SQL_NULL_HSTMT, true);
    EXPECT_EQ(e.m_strStateText, "");
    EXPECT_EQ(e.m_strErrorText, "");
    EXPECT_EQ(script.calls(), 0);
}

// The real driver manager: a connection that failed leaves its record
// pending until it is collected once.
TEST(CollectErrors, RealRecordsAreConsumed) {
    odbc_env env;
    CDatabase db;
    db.AllocateConnection(0);
    SQLCHAR out[512];
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLDriverConnect(db.m_hdbc, nullptr, (SQLCHAR*)"DSN=qm_never_defined;", SQL_NTS,
                                    out, sizeof out, &len, SQL_DRIVER_NOPROMPT);
    ASSERT_EQ(rc, SQL_ERROR);
    CDBException first(rc);
    first.CollectErrors(&db, SQL_NULL_HSTMT, false);
    EXPECT_EQ(first.m_strStateText, "State:IM002,Native:0,Origin:[unixODBC][Driver Manager]\n");
    EXPECT_EQ(first.m_states, std::vector<std::string>{"IM002"});
    EXPECT_TRUE(first.HasState("IM002"));
    EXPECT_FALSE(first.HasState("IM00"));
    EXPECT_EQ(first.m_strErrorText, "Data source name not found and no default driver specified\n");
    CDBException second(rc);
    second.CollectErrors(&db, SQL_NULL_HSTMT, false);
    EXPECT_EQ(second.m_strStateText, "");
    EXPECT_TRUE(second.m_states.empty());
    EXPECT_EQ(second.m_strErrorText, "");
}

// A statement record from the real driver, with its negative native error.
TEST(CollectErrors, RealStatementRecordWithNegativeNativeError) {
    odbc_env env;
    CDatabase db;
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ASSERT_EQ(SQLAllocStmt(db.m_hdbc, &stmt), SQL_SUCCESS);
    ASSERT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT 'abcdef'", SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    char buf[3];
    SQLLEN ind = 0;
    ASSERT_EQ(SQLGetData(stmt, 1, SQL_C_CHAR, buf, sizeof buf, &ind), SQL_SUCCESS_WITH_INFO);
    CDBException e(SQL_SUCCESS_WITH_INFO);
    e.CollectErrors(&db, stmt, false);
    EXPECT_EQ(e.m_strStateText, "State:01004,Native:-1,Origin:[SQLite]\n");
    EXPECT_EQ(e.m_strErrorText, "data right truncated\n");
    SQLFreeStmt(stmt, SQL_DROP);
}

TEST(RaiseDBException, TextsAndTraceByCode) {
    struct row {
        SQLRETURN code;
        bool with_database;
        const char* trace;
    } table[] = {
        {SQL_ERROR, false, ""},  // no connection: nothing to collect
        {DBERR_FIELD_NOT_FOUND, true, "\n"},
        {DBERR_API_CONFORMANCE, false, "\n"},
        {1001, false, "\n"},
        {1028, false, "\n"},
        {1000, true, ""},
        {1029, true, ""},
        {SQL_INVALID_HANDLE, true, ""},
        {SQL_STILL_EXECUTING, true, ""},
        {SQL_NEED_DATA, true, ""},
        {SQL_NO_DATA_FOUND, true, ""},
        {SQL_SUCCESS_WITH_INFO, true, ""},
    };
    CDatabase db;
    for (const row& r : table) {
        // Records are pending, but only SQL_ERROR with a connection reads them.
        scripted_sql_error script({{"S1000", 1, "[A]pending"}});
        trace_capture cap(traceDatabase);
        try {
            RaiseDBException(r.code, r.with_database ? &db : nullptr, SQL_NULL_HSTMT);
            ADD_FAILURE() << "no exception for " << r.code;
        } catch (const CDBException& e) {
            EXPECT_EQ(e.m_nReturnCode, r.code);
            EXPECT_EQ(e.m_strErrorText, "") << r.code;
            EXPECT_EQ(e.m_strStateText, "") << r.code;
        }
        EXPECT_EQ(cap.text(), r.trace) << r.code;
        EXPECT_EQ(script.calls(), 0) << r.code;
    }
}

TEST(RaiseDBException, SqlErrorWithConnectionCollectsAndTraces) {
    scripted_sql_error script({{"S1000", 1045, "[Vendor][Driver] Access denied"}});
    trace_capture cap(0);
    CDatabase db;
    try {
        db.RaiseError(SQL_ERROR);
    } catch (const CDBException& e) {
        EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
        EXPECT_EQ(e.m_strStateText, "State:S1000,Native:1045,Origin:[Vendor][Driver]\n");
        EXPECT_EQ(e.m_strErrorText, "Access denied\n");
        EXPECT_STREQ(e.what(), "Access denied\n");
    }
    EXPECT_EQ(cap.text(), "Access denied\nState:S1000,Native:1045,Origin:[Vendor][Driver]\n\n");
}

// The connection and the recordset differ only in SQL_NEED_DATA, which a
// recordset takes as "go on".
TEST(CheckReturn, ConnectionAndRecordsetTablesOfReturnCodes) {
    struct row {
        SQLRETURN code;
        bool connection, recordset;
    } table[] = {
        {SQL_SUCCESS, true, true},
        {SQL_SUCCESS_WITH_INFO, true, true},
        {SQL_NO_DATA_FOUND, true, true},
        {SQL_NEED_DATA, false, true},
        {SQL_ERROR, false, false},
        {SQL_INVALID_HANDLE, false, false},
        {SQL_STILL_EXECUTING, false, false},
        {DBERR_NO_DATA, false, false},
        {-3, false, false},
    };
    CDatabase db;
    CRecordset rs(&db);
    for (const row& r : table) {
        trace_capture cap(0);  // category off: nothing is read or traced
        scripted_sql_error script({{"01000", 0, "info"}});
        EXPECT_EQ(CheckReturnOnStatement(&db, r.code, SQL_NULL_HSTMT), r.connection) << r.code;
        EXPECT_EQ(db.CheckReturn(r.code), r.connection) << r.code;
        EXPECT_EQ(rs.CheckReturn(r.code), r.recordset) << r.code;
        EXPECT_EQ(cap.text(), "");
        EXPECT_EQ(script.calls(), 0);
    }
}

// A real SUCCESS_WITH_INFO: SQLGetData into a buffer too small for the value
// truncates and leaves a 01004 record on the statement.
TEST(CheckReturn, SuccessWithInfoTracedOnlyInDatabaseCategory) {
    odbc_env env;
    CDatabase db;
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ASSERT_EQ(SQLAllocStmt(db.m_hdbc, &stmt), SQL_SUCCESS);
    ASSERT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT 'abcdef', 'ghijkl'", SQL_NTS), SQL_SUCCESS);
    ASSERT_EQ(SQLFetch(stmt), SQL_SUCCESS);
    char small[3];
    SQLLEN ind = 0;
    {
        trace_capture cap(traceDatabase);
        SQLRETURN rc = SQLGetData(stmt, 1, SQL_C_CHAR, small, sizeof small, &ind);
        ASSERT_EQ(rc, SQL_SUCCESS_WITH_INFO);
        EXPECT_TRUE(CheckReturnOnStatement(&db, rc, stmt));
        EXPECT_EQ(cap.text(),
                  "Warning: ODBC Success With Info, data right truncated\n"
                  "State:01004,Native:-1,Origin:[SQLite]\n\n");
    }
    {
        trace_capture cap(0);
        SQLRETURN rc = SQLGetData(stmt, 2, SQL_C_CHAR, small, sizeof small, &ind);
        ASSERT_EQ(rc, SQL_SUCCESS_WITH_INFO);
        EXPECT_TRUE(CheckReturnOnStatement(&db, rc, stmt));
        EXPECT_EQ(cap.text(), "");
        // Left pending for whoever asks next.
        CDBException e(rc);
        e.CollectErrors(&db, stmt, false);
        EXPECT_EQ(e.m_strStateText, "State:01004,Native:-1,Origin:[SQLite]\n");
    }
    SQLFreeStmt(stmt, SQL_DROP);
}

TEST(GetMessageText, CopiesAtMostSizeMinusTwoCharacters) {
    CDBException e(SQL_ERROR);
    e.m_strErrorText = "Access denied\n";
    struct row {
        unsigned size;
        const char* expected;
    } table[] = {
        {1, ""},
        {2, ""},
        {3, "A"},
        {5, "Acc"},
        {15, "Access denied"},
        {16, "Access denied\n"},
        {100, "Access denied\n"},
    };
    for (const row& r : table) {
        std::vector<char> buf(r.size + 4, '#');
        unsigned help = 77;
        EXPECT_TRUE(e.GetMessageText(buf.data(), r.size, &help));
        EXPECT_EQ(help, 0u);
        EXPECT_STREQ(buf.data(), r.expected) << r.size;
        EXPECT_EQ(buf[r.size - 1], '\0') << r.size;
        EXPECT_EQ(std::string(buf.data() + r.size, 4), "####") << "wrote past " << r.size;
    }
    // A zero-sized buffer is left untouched, and no help pointer is needed.
    char one = '#';
    EXPECT_TRUE(e.GetMessageText(&one, 0));
    EXPECT_EQ(one, '#');
}

}  // namespace
