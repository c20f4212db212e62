#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "odbc/database.h"
#include "odbc/recordset.h"
#include "odbc_fakes.h"
#include "support/odbc_env.h"
#include "trace_capture.h"

namespace {

using option_list = std::vector<std::pair<SQLUSMALLINT, SQLULEN>>;

size_t open_descriptors() {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd")) (void)e, ++n;
    return n;
}

void expect_no_connection_left(const CDatabase& db) {
    EXPECT_FALSE(db.IsOpen());
    EXPECT_EQ(db.m_hdbc, nullptr);
    std::lock_guard<std::recursive_mutex> lock(odbc_lock());
    EXPECT_EQ(db_state().nAllocated, 0);
    EXPECT_EQ(db_state().henvAllConnections, nullptr);
}

template <typename T>
T info(SQLHDBC hdbc, SQLUSMALLINT type) {
    T value{};
    EXPECT_TRUE(SQL_SUCCEEDED(SQLGetInfo(hdbc, type, &value, sizeof value, nullptr)));
    return value;
}

std::string info_string(SQLHDBC hdbc, SQLUSMALLINT type) {
    char buf[256] = {0};
    EXPECT_TRUE(SQL_SUCCEEDED(SQLGetInfo(hdbc, type, buf, sizeof buf, nullptr)));
    return buf;
}

// The authenticator's own open: connect string without "ODBC;", options 0.
TEST(DatabaseOpen, AuthenticatorOpenAgainstSqliteDriver) {
    odbc_env env;
    trace_capture cap(0);
    connect_recorder rec;
    CDatabase db;
    EXPECT_FALSE(db.IsOpen());
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    EXPECT_TRUE(db.IsOpen());
    EXPECT_EQ(db.m_strConnect.rfind("ODBC;DSN=" + env.dsn() + ";", 0), 0u) << db.m_strConnect;
    EXPECT_NE(db.m_strConnect.find("Database=" + env.db_path()), std::string::npos);
    EXPECT_EQ(rec.options(), (option_list{{SQL_LOGIN_TIMEOUT, 15}}));
    EXPECT_EQ(rec.prompts(), std::vector<SQLUSMALLINT>{SQL_DRIVER_COMPLETE});
    EXPECT_FALSE(rec.any_window());
    EXPECT_FALSE(db.m_bCursorLibrary);
    EXPECT_EQ(cap.text(), "");  // a clean open traces nothing outside the database category

    // What ReadConnectInfo recorded is what the driver reports.
    SQLHDBC h = db.m_hdbc;
    uint32_t caps = 0;
    uint32_t pos = info<SQLUINTEGER>(h, SQL_POS_OPERATIONS);
    if ((pos & 0x1C) == 0x1C) caps |= 0x1;
    if ((info<SQLUINTEGER>(h, SQL_POSITIONED_STATEMENTS) & 0x3) == 0x3) caps |= 0x2;
    if (info<SQLUINTEGER>(h, SQL_GETDATA_EXTENSIONS) & SQL_GD_BOUND) caps |= 0x4;
    EXPECT_EQ(db.m_dwUpdateCaps, caps);
    EXPECT_EQ(db.m_bTransactions, info<SQLUSMALLINT>(h, SQL_TXN_CAPABLE) != 0);
    EXPECT_EQ(db.CanTransact(), db.m_bTransactions);
    EXPECT_EQ(db.m_nCursorCommitMode, info<SQLSMALLINT>(h, SQL_CURSOR_COMMIT_BEHAVIOR));
    EXPECT_EQ(db.m_nCursorRollbackMode, info<SQLSMALLINT>(h, SQL_CURSOR_ROLLBACK_BEHAVIOR));
    EXPECT_EQ(db.m_dwBookmarkPersistence, info<SQLUINTEGER>(h, SQL_BOOKMARK_PERSISTENCE));
    EXPECT_EQ(info_string(h, SQL_DATA_SOURCE_READ_ONLY), "N");
    EXPECT_TRUE(db.m_bUpdatable);
    EXPECT_TRUE(db.IsUpdatable());
    EXPECT_EQ(std::string(1, db.m_chIdentifierQuote), info_string(h, SQL_IDENTIFIER_QUOTE_CHAR));

    // The connection works.
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ASSERT_EQ(SQLAllocStmt(db.m_hdbc, &stmt), SQL_SUCCESS);
    EXPECT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"CREATE TABLE t (a TEXT)", SQL_NTS), SQL_SUCCESS);
    SQLFreeStmt(stmt, SQL_DROP);
    EXPECT_EQ(env.query("SELECT name FROM sqlite_master").size(), 1u);
}

TEST(DatabaseOpen, OptionBitsReachTheDriverManager) {
    struct row {
        uint32_t options;
        option_list set;
        SQLUSMALLINT prompt;
        bool updatable, cursor_library;
    } table[] = {
        {0, {{SQL_LOGIN_TIMEOUT, 15}}, SQL_DRIVER_COMPLETE, true, false},
        {CDatabase::optNoPrompt, {{SQL_LOGIN_TIMEOUT, 15}}, SQL_DRIVER_NOPROMPT, true, false},
        {CDatabase::optReadOnly,
         {{SQL_LOGIN_TIMEOUT, 15},
          {SQL_ACCESS_MODE, SQL_MODE_READ_ONLY},
          {SQL_ACCESS_MODE, SQL_MODE_READ_ONLY}},
         SQL_DRIVER_COMPLETE,
         false,
         false},
        {CDatabase::optCursorLibrary | CDatabase::optNoPrompt,
         {{SQL_LOGIN_TIMEOUT, 15}, {SQL_ODBC_CURSORS, SQL_CUR_USE_ODBC}},
         SQL_DRIVER_NOPROMPT,
         true,
         true},
    };
    odbc_env env;
    for (const row& r : table) {
        SCOPED_TRACE(r.options);
        connect_recorder rec;
        CDatabase db;
        ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), r.options));
        EXPECT_EQ(rec.options(), r.set);
        EXPECT_EQ(rec.prompts(), std::vector<SQLUSMALLINT>{r.prompt});
        EXPECT_EQ(db.m_bUpdatable, r.updatable);
        EXPECT_EQ(db.m_bCursorLibrary, r.cursor_library);
    }
    // A changed login timeout is what the next open sends.
    connect_recorder rec;
    CDatabase db;
    db.SetLoginTimeout(3);
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    EXPECT_EQ(rec.options(), (option_list{{SQL_LOGIN_TIMEOUT, 3}}));
}

TEST(DatabaseOpen, DatabaseCategoryTracesTheDbms) {
    odbc_env env;
    trace_capture cap(traceDatabase);
    CDatabase db;
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    EXPECT_EQ(cap.text(), "DBMS: " + info_string(db.m_hdbc, SQL_DBMS_NAME) +
                              "\n, Version: " + info_string(db.m_hdbc, SQL_DBMS_VER) + "\n");
}

// What the wrapper asks of a connection beyond the queries: whether it
// lives, what it is, and a setting of the session.
TEST(DatabaseQuestions, DeadInfoAndASessionSetting) {
    odbc_env env;
    CDatabase db;
    EXPECT_EQ(db.ConnectionDead(), 1);  // not connected
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    EXPECT_EQ(db.ConnectionDead(), 0);
    EXPECT_EQ(db.GetInfoText(SQL_DBMS_NAME), "SQLite");
    EXPECT_EQ(db.GetInfoText(SQL_DATABASE_NAME), env.db_path());
    db.ExecuteSQL("PRAGMA busy_timeout = 50");
    try {
        db.ExecuteSQL("SELEKT 1");
        ADD_FAILURE() << "a wrong statement ran";
    } catch (const CDBException& e) {
        EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
        EXPECT_NE(e.m_strErrorText.find("syntax error"), std::string::npos) << e.m_strErrorText;
    }
}

TEST(DatabaseClose, CloseAndOpenAgain) {
    odbc_env env;
    CDatabase db;
    db.Close();  // closed already: nothing happens
    EXPECT_FALSE(db.IsOpen());
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
        EXPECT_TRUE(db.IsOpen());
        {
            std::lock_guard<std::recursive_mutex> lock(odbc_lock());
            EXPECT_EQ(db_state().nAllocated, 1);
        }
        db.Close();
        EXPECT_FALSE(db.IsOpen());
        std::lock_guard<std::recursive_mutex> lock(odbc_lock());
        EXPECT_EQ(db_state().nAllocated, 0);
        // Close keeps the environment for the next open; only Free drops it.
        EXPECT_NE(db_state().henvAllConnections, nullptr);
    }
    db.Close();
    db.Free();
    expect_no_connection_left(db);
}

// Close takes the recordsets still running on the connection with it, so
// that no statement is left on a disconnected handle.
TEST(DatabaseClose, ClosesItsOpenRecordsets) {
    odbc_env env;
    env.exec("CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('x'), ('y');");
    CDatabase db;
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    CRecordset first(&db), second(&db);
    ASSERT_TRUE(first.Open(CRecordset::forwardOnly, "SELECT a FROM t", CRecordset::readOnly));
    ASSERT_TRUE(second.Open(CRecordset::forwardOnly, "SELECT a FROM t", CRecordset::readOnly));
    EXPECT_EQ(db.m_listRecordsets.size(), 2u);

    db.Close();
    EXPECT_TRUE(db.m_listRecordsets.empty());
    EXPECT_FALSE(db.IsOpen());
    for (CRecordset* rs : {&first, &second}) {
        EXPECT_FALSE(rs->IsOpen());
        EXPECT_EQ(rs->m_hstmt, nullptr);
        EXPECT_EQ(rs->m_pDatabase, nullptr);
    }
    // The connection opens again and serves a new recordset.
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    CRecordset third(&db);
    EXPECT_TRUE(third.Open(CRecordset::forwardOnly, "SELECT a FROM t", CRecordset::readOnly));
    EXPECT_EQ(db.m_listRecordsets.size(), 1u);
}

TEST(DatabaseOpen, OpenTakesTheOdbcPrefixInAnyCase) {
    odbc_env env;
    const std::string dsn = env.dsn();
    const std::string pieces = "DSN=" + dsn + ";";
    struct row {
        const char* dsn;
        std::string connect;
        bool opened;
    } table[] = {
        {nullptr, "ODBC;" + pieces, true},  {nullptr, "odbc;" + pieces, true},
        {"", "OdBc;" + pieces, true},       {dsn.c_str(), "ODBC;", true},
        {dsn.c_str(), "oDbC;", true},       {nullptr, pieces, false},
        {dsn.c_str(), "", false},           {nullptr, "ODBC", false},
        {nullptr, "ODBC:" + pieces, false},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.connect);
        trace_capture cap(0);
        CDatabase db;
        EXPECT_EQ(db.Open(r.dsn, false, false, r.connect.c_str(), false), r.opened);
        EXPECT_EQ(db.IsOpen(), r.opened);
        if (r.opened) {
            EXPECT_EQ(db.m_strConnect.rfind("ODBC;", 0), 0u);
            EXPECT_NE(db.m_strConnect.find("Database=" + env.db_path()), std::string::npos);
            EXPECT_EQ(cap.text(), "");
        } else {
            EXPECT_EQ(cap.text(), "Error: Missing 'ODBC' prefix on connect string.\n");
        }
    }
    trace_capture cap(0);
    CDatabase db;
    EXPECT_FALSE(db.Open(nullptr, false, false, nullptr, false));
    EXPECT_EQ(cap.text(), "Error: Missing 'ODBC' prefix on connect string.\n");

    // The read-only flag travels as optReadOnly.
    connect_recorder rec;
    ASSERT_TRUE(db.Open(dsn.c_str(), false, true, "ODBC;", false));
    EXPECT_FALSE(db.m_bUpdatable);
    ASSERT_GE(rec.options().size(), 2u);
    EXPECT_EQ(rec.options()[1],
              (std::pair<SQLUSMALLINT, SQLULEN>{SQL_ACCESS_MODE, SQL_MODE_READ_ONLY}));
}

TEST(DatabaseState, TwoConnectionsShareOneEnvironment) {
    odbc_env env;
    auto a = std::make_unique<CDatabase>();
    auto b = std::make_unique<CDatabase>();
    ASSERT_TRUE(a->OpenConnection(env.connect_string().c_str(), 0));
    SQLHENV shared = db_state().henvAllConnections;
    ASSERT_NE(shared, nullptr);
    ASSERT_TRUE(b->OpenConnection(env.connect_string().c_str(), 0));
    EXPECT_EQ(db_state().henvAllConnections, shared);
    EXPECT_EQ(db_state().nAllocated, 2);

    a->Free();  // b still holds a connection: the environment stays
    EXPECT_FALSE(a->IsOpen());
    EXPECT_EQ(db_state().nAllocated, 1);
    EXPECT_EQ(db_state().henvAllConnections, shared);
    a.reset();
    EXPECT_EQ(db_state().henvAllConnections, shared);
    EXPECT_TRUE(b->IsOpen());

    b->Close();  // no connection left, but Close alone keeps it
    EXPECT_EQ(db_state().nAllocated, 0);
    EXPECT_EQ(db_state().henvAllConnections, shared);
    b.reset();  // the destructor's Free drops it
    EXPECT_EQ(db_state().henvAllConnections, nullptr);
}

// A data source that does not exist, one whose driver library cannot be
// loaded and one whose driver is not installed: the exception carries the
// driver manager's record, and nothing of the connection is left.
TEST(DatabaseOpen, FailedConnectThrowsWithTheDriverManagerRecord) {
    odbc_env env;
    env.add_dsn("qm_missing_lib", "/nonexistent/libqm_nothing.so", env.db_path());
    env.add_dsn("qm_unknown_driver", "QM No Such Driver", env.db_path());
    struct row {
        std::string connect;
        const char* state;
        std::string error;
    } table[] = {
        {"DSN=qm_no_such_source;", "State:IM002,Native:0,Origin:[unixODBC][Driver Manager]\n",
         "Data source name not found and no default driver specified\n"},
        {"DSN=qm_missing_lib;", "State:01000,Native:0,Origin:[unixODBC][Driver Manager]\n",
         "Can't open lib '/nonexistent/libqm_nothing.so' : file not found\n"},
        // The driver manager reports a driver name it cannot find like a
        // missing data source.
        {"DSN=qm_unknown_driver;", "State:IM002,Native:0,Origin:[unixODBC][Driver Manager]\n",
         "Data source name not found and no default driver specified\n"},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.connect);
        trace_capture cap(0);
        CDatabase db;
        try {
            db.OpenConnection(r.connect.c_str(), 0);
            ADD_FAILURE() << "opened";
        } catch (const CDBException& e) {
            EXPECT_EQ(e.m_nReturnCode, SQL_ERROR);
            EXPECT_EQ(e.m_strStateText, r.state);
            EXPECT_EQ(e.m_strErrorText, r.error);
        }
        expect_no_connection_left(db);
        EXPECT_EQ(cap.text(),
                  "Error: No default window (application main window) for SQLDriverConnect.\n" +
                      r.error + r.state + "\n");
    }
}

TEST(DatabaseOpen, ConformanceChecks) {
    odbc_env env;
    struct row {
        std::map<SQLUSMALLINT, fake_info> answers;
        SQLRETURN code;
        const char* state;
    } table[] = {
        {{{SQL_ODBC_API_CONFORMANCE, info_u16(SQL_OAC_NONE)}}, DBERR_API_CONFORMANCE, ""},
        {{{SQL_ODBC_SQL_CONFORMANCE, info_u16(static_cast<uint16_t>(-1))}},
         DBERR_SQL_CONFORMANCE,
         ""},
        {{{SQL_ODBC_API_CONFORMANCE, info_u16(1, SQL_ERROR)}}, SQL_ERROR, nullptr},
        {{{SQL_ODBC_SQL_CONFORMANCE, info_u16(0, SQL_INVALID_HANDLE)}}, SQL_INVALID_HANDLE, ""},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.code);
        scripted_get_info fake(r.answers);
        trace_capture cap(0);
        CDatabase db;
        try {
            db.OpenConnection(env.connect_string().c_str(), 0);
            ADD_FAILURE() << "opened";
        } catch (const CDBException& e) {
            EXPECT_EQ(e.m_nReturnCode, r.code);
            EXPECT_EQ(e.m_strErrorText, "");
            if (r.state) {
                EXPECT_EQ(e.m_strStateText, r.state);
            }
        }
        expect_no_connection_left(db);
        if (r.code > 1000) {
            EXPECT_EQ(cap.text(), "\n");  // the layer's code: one blank line
        }
    }
    // Levels at the minimum pass.
    scripted_get_info fake({{SQL_ODBC_API_CONFORMANCE, info_u16(SQL_OAC_LEVEL1)},
                            {SQL_ODBC_SQL_CONFORMANCE, info_u16(SQL_OSC_MINIMUM)}});
    CDatabase db;
    EXPECT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
}

TEST(DatabaseOpen, ConnectInfoFromDriverAnswers) {
    odbc_env env;
    const fake_info fail16 = info_u16(0, SQL_ERROR);
    struct row {
        const char* name;
        std::map<SQLUSMALLINT, fake_info> answers;
        bool updatable;
        char quote;
        uint32_t caps;
        int16_t commit, rollback;
        bool transactions;
        const char* trace;
    } table[] = {
        {"read-only N",
         {{SQL_DATA_SOURCE_READ_ONLY, info_text("N")},
          {SQL_IDENTIFIER_QUOTE_CHAR, info_text("`")},
          {SQL_POS_OPERATIONS, info_u32(0x1C)},
          {SQL_POSITIONED_STATEMENTS, info_u32(0x03)},
          {SQL_GETDATA_EXTENSIONS, info_u32(SQL_GD_BOUND)},
          {SQL_TXN_CAPABLE, info_u16(1)},
          {SQL_CURSOR_COMMIT_BEHAVIOR, info_u16(2)},
          {SQL_CURSOR_ROLLBACK_BEHAVIOR, info_u16(1)}},
         true,
         '`',
         0x7,
         2,
         1,
         true,
         ""},
        {"read-only Y",
         {{SQL_DATA_SOURCE_READ_ONLY, info_text("Y")},
          {SQL_POS_OPERATIONS, info_u32(0x0C)},
          {SQL_POSITIONED_STATEMENTS, info_u32(0x01)},
          {SQL_GETDATA_EXTENSIONS, info_u32(SQL_GD_BOUND, SQL_ERROR)},
          {SQL_TXN_CAPABLE, info_u16(0)},
          {SQL_CURSOR_COMMIT_BEHAVIOR, fail16},
          {SQL_CURSOR_ROLLBACK_BEHAVIOR, fail16}},
         false,
         '"',
         0,
         -1,
         -1,
         false,
         "Warning: data source is readonly.\n"},
        {"read-only fails",
         {{SQL_DATA_SOURCE_READ_ONLY, info_text("N", SQL_ERROR)},
          {SQL_IDENTIFIER_QUOTE_CHAR, info_text(" ")}},
         false,
         ' ',
         0xFF,
         0,
         0,
         false,
         "Warning: data source is readonly.\n"},
        {"read-only NN",
         {{SQL_DATA_SOURCE_READ_ONLY, info_text("NN")}, {SQL_IDENTIFIER_QUOTE_CHAR, info_text("")}},
         false,
         ' ',
         0xFF,
         0,
         0,
         false,
         "Warning: data source is readonly.\n"},
        {"quote fails",
         {{SQL_IDENTIFIER_QUOTE_CHAR, info_text("'", SQL_ERROR)}},
         true,
         ' ',
         0xFF,
         0,
         0,
         false,
         ""},
        // A two-character quote does not fit; its first half is no quote.
        {"quote too long",
         {{SQL_IDENTIFIER_QUOTE_CHAR, info_text("<>", SQL_SUCCESS_WITH_INFO)}},
         true,
         ' ',
         0xFF,
         0,
         0,
         false,
         "Warning: ODBC Success With Info, "},
    };
    for (const row& r : table) {
        SCOPED_TRACE(r.name);
        scripted_get_info fake(r.answers);
        trace_capture cap(traceDatabase);
        CDatabase db;
        ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
        EXPECT_EQ(db.m_bUpdatable, r.updatable);
        EXPECT_EQ(db.m_chIdentifierQuote, r.quote);
        if (r.caps != 0xFF) {  // 0xFF: the rest is whatever SQLite says
            EXPECT_EQ(db.m_dwUpdateCaps, r.caps);
            EXPECT_EQ(db.m_nCursorCommitMode, r.commit);
            EXPECT_EQ(db.m_nCursorRollbackMode, r.rollback);
            EXPECT_EQ(db.m_bTransactions, r.transactions);
        }
        // The DBMS lines follow; only the warning is of interest here.
        EXPECT_EQ(cap.text().substr(0, cap.text().find("DBMS: ")), r.trace);
    }
}

TEST(DatabaseOpen, NoEnvironmentIsOutOfMemory) {
    odbc_env env;
    failing_alloc_env fail;
    CDatabase db;
    EXPECT_THROW(db.OpenConnection(env.connect_string().c_str(), 0), CMemoryException);
    expect_no_connection_left(db);
}

TEST(DatabaseStatements, QueryTimeoutAppliedUntilTheDriverRejectsIt) {
    odbc_env env;
    CDatabase db;
    ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0));
    auto new_statement = [&] {
        SQLHSTMT s = SQL_NULL_HSTMT;
        EXPECT_EQ(SQLAllocStmt(db.m_hdbc, &s), SQL_SUCCESS);
        return s;
    };

    {
        failing_query_timeout accept(SQL_SUCCESS);  // passes the call to the driver
        SQLHSTMT s1 = new_statement();
        db.ApplyStatementOptions(s1);
        EXPECT_EQ(accept.values(), std::vector<SQLULEN>{15});
        EXPECT_EQ(db.m_dwQueryTimeout, 15u);
        SQLFreeStmt(s1, SQL_DROP);
    }

    failing_query_timeout reject(SQL_ERROR);
    SQLHSTMT s2 = new_statement();
    db.ApplyStatementOptions(s2);
    EXPECT_EQ(reject.values().size(), 1u);
    EXPECT_EQ(db.m_dwQueryTimeout, CDatabase::kNoQueryTimeout);
    SQLHSTMT s3 = new_statement();
    db.ApplyStatementOptions(s3);  // not tried again
    EXPECT_EQ(reject.values().size(), 1u);
    SQLFreeStmt(s2, SQL_DROP);
    SQLFreeStmt(s3, SQL_DROP);
}

TEST(ReplaceQuoteBrackets, RewritesIdentifiersOutsideLiterals) {
    struct row {
        char quote;
        const char* in;
        const char* out;
    } table[] = {
        {'"', "SELECT * FROM [maildb]", "SELECT * FROM \"maildb\""},
        {'"', "WHERE a='a[b]'", "WHERE a='a[b]'"},
        {'"', "[[x]]", "[x]"},
        {' ', "[t]", " t "},
        {'`', "[a] = 'it''s [x]' AND [b]", "`a` = 'it''s [x]' AND `b`"},
        {'"', "'unterminated [x]", "'unterminated [x]"},
        {'"', "'' [x] ''", "'' \"x\" ''"},
        {'"', "[[[x]]]", "[\"x]\""},  // one pass, left to right
        {'"', "]", "\""},
        {'"', "", ""},
        {'"', "plain text", "plain text"},
    };
    CDatabase db;
    for (const row& r : table) {
        db.m_chIdentifierQuote = r.quote;
        std::string text = r.in;
        db.ReplaceQuoteBrackets(text);
        EXPECT_EQ(text, r.out) << r.in;
    }
}

// Every open/close cycle gives back its connection handle; run under
// AddressSanitizer this also shows that no byte is lost.
TEST(DatabaseState, ThousandOpenCloseCyclesLeakNothing) {
    odbc_env env;
    env.add_dsn("qm_cycle_missing_lib", "/nonexistent/libqm_cycle.so", env.db_path());
    {
        CDatabase warm;  // the driver library stays loaded after the first use
        ASSERT_TRUE(warm.OpenConnection(env.connect_string().c_str(), 0));
    }
    size_t fds = open_descriptors();
    CDatabase db;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(db.OpenConnection(env.connect_string().c_str(), 0)) << i;
        db.Close();
        if (i % 10 == 0) {
            EXPECT_THROW(db.OpenConnection("DSN=qm_cycle_missing_lib;", 0), CDBException);
        }
    }
    db.Free();
    expect_no_connection_left(db);
    EXPECT_EQ(open_descriptors(), fds);
}

}  // namespace
