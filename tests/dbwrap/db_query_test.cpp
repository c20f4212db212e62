// The wrapper against the real SQLite ODBC driver: the catalog recordset,
// the user-table recordset, the one connection and the table query.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "dbwrap/COLUMNST.h"
#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_query.h"
#include "log_capture.h"
#include "odbc/call_counter.h"
#include "odbc/db_exception.h"
#include "odbc/odbc_fakes.h"
#include "odbc/trace_capture.h"
#include "support/odbc_env.h"

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Every test gets its own database and opens the one connection on it; the
// connection is closed again so that the next test starts from scratch.
class wrapper_test : public ::testing::Test {
protected:
    void SetUp() override {
        env_.exec(
            "CREATE TABLE maildb (user TEXT, pass TEXT, fwd TEXT, quota TEXT);"
            "INSERT INTO maildb VALUES ('bob', 'secret', 'NULL', '100');"
            "INSERT INTO maildb VALUES ('ann', 'pw', NULL, NULL);"
            "INSERT INTO maildb VALUES ('twin', 'a', '', '');"
            "INSERT INTO maildb VALUES ('twin', 'b', '', '');");
        settings_.odbc_driver_name = env_.dsn();
        ASSERT_EQ(db_open(settings_, {}, {}), 1);
    }
    void TearDown() override {
        db_clear_row();
        db_close_row();
        odbc_connection.Close();
    }

    odbc_env env_;
    odbc_settings_record settings_;
};

TEST_F(wrapper_test, CatalogListsTheColumnsOfOneTable) {
    CColumns columns(&odbc_connection);
    columns.SetTablePattern("maildb");
    ASSERT_TRUE(columns.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly));
    std::vector<std::string> names;
    while (!columns.AtEnd()) {
        EXPECT_EQ(columns.m_strTableName, "maildb");
        names.push_back(columns.m_strColumnName);
        columns.MoveNext();
    }
    columns.Close();
    EXPECT_EQ(names, (std::vector<std::string>{"user", "pass", "fwd", "quota"}));

    CColumns none(&odbc_connection);
    none.SetTablePattern("nosuchtable");
    ASSERT_TRUE(none.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly));
    EXPECT_TRUE(none.AtEnd());
    EXPECT_TRUE(none.AtStart());
}

TEST_F(wrapper_test, RowBindsItsColumnsAndParameters) {
    CRow row(&odbc_connection);
    row.AddColumn("user");
    row.AddColumn("fwd");
    EXPECT_EQ(row.m_nFields, 2u);
    EXPECT_EQ(row.m_listValues, (std::list<std::string>{"", ""}));
    row.AddParameter("ann");
    row.m_strWhere = "user=?";
    ASSERT_TRUE(row.Open(-1, "maildb", CRecordset::none));
    EXPECT_EQ(row.StatementText(), "SELECT user,fwd  FROM maildb WHERE user=?");
    EXPECT_FALSE(row.AtEnd());
    EXPECT_EQ(row.m_listValues, (std::list<std::string>{"ann", ""}));  // NULL reads as empty
    row.Close();
    EXPECT_EQ(row.m_nFields, 0u);
    EXPECT_EQ(row.m_nParams, 0u);
    EXPECT_TRUE(row.m_listNames.empty());
    EXPECT_TRUE(row.m_listValues.empty());
    EXPECT_TRUE(row.m_listParams.empty());

    // Nothing to select after Close: the layer refuses to build a SELECT.
    try {
        row.Open(-1, "maildb", CRecordset::none);
        ADD_FAILURE() << "Open without columns succeeded";
    } catch (const CDBException& error) {
        EXPECT_EQ(error.m_nReturnCode, DBERR_NO_COLUMNS);
    }
    EXPECT_FALSE(row.IsOpen());
}

TEST_F(wrapper_test, ConnectionOpensOnceAndLogsWithoutThePassword) {
    log_capture log;
    EXPECT_EQ(db_open(settings_, {}, {}), 0);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"database is already open"}));
    EXPECT_TRUE(odbc_connection.IsOpen());

    odbc_connection.Close();
    log.clear();
    EXPECT_EQ(db_open(settings_, std::string("joe"), std::string("s3cret")), 1);
    std::vector<std::string> lines = log.messages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "connecting with (DSN=" + env_.dsn() + ";UID=joe;PWD=****;)");
    EXPECT_EQ(lines[1], "open success");
}

TEST_F(wrapper_test, FailedConnectionIsAnOrdinaryFailure) {
    odbc_connection.Close();
    log_capture log;
    odbc_settings_record missing;
    missing.odbc_driver_name = "no_such_source";
    EXPECT_EQ(db_open(missing, {}, {}), 0);
    EXPECT_FALSE(odbc_connection.IsOpen());
    std::vector<std::string> lines = log.messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "connecting with (DSN=no_such_source;)");
    EXPECT_EQ(lines[1].rfind("ERROR: Database error while connecting", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("State:IM002"), std::string::npos) << lines[1];
    EXPECT_EQ(lines.back(), "ERROR: open of database driver (no_such_source) failed");
}

// A driver may quote its connect string in an error. Neither the password
// given to the connection nor the data source's own reaches the log, the
// reason a configuration check shows, or the trace.
TEST_F(wrapper_test, DriverTextsNeverCarryThePasswords) {
    odbc_connection.Close();
    env_.set_dsn("qm_secret_source",
                 {{"Driver", "/nonexistent/libqm_secret.so"}, {"Password", "Zq9x-dsn"}});
    odbc_settings_record source;
    source.odbc_driver_name = "qm_secret_source";
    log_capture log;
    trace_capture trace;
    {
        scripted_sql_error quoted(
            {{"08001", 0, "[fake]no server for UID=joe;PWD=Zq9x-given;Password=Zq9x-dsn"}});
        EXPECT_EQ(db_open(source, std::string("joe"), std::string("Zq9x-given")), 0);
    }
    EXPECT_EQ(db_open_failure(), "no server for UID=joe;PWD=****;Password=****");
    std::string logged;
    for (const std::string& line : log.messages()) logged += line + "\n";
    EXPECT_NE(logged.find("no server for UID=joe;PWD=****;Password=****"), std::string::npos)
        << logged;
    EXPECT_NE(trace.text().find("PWD=****;Password=****"), std::string::npos) << trace.text();
    EXPECT_EQ(logged.find("Zq9x"), std::string::npos) << logged;
    EXPECT_EQ(trace.text().find("Zq9x"), std::string::npos) << trace.text();
    EXPECT_EQ(odbc_connection.GetConnect().find("Zq9x"), std::string::npos);
}

TEST_F(wrapper_test, QueryFindsOneRowAndStoresItByPosition) {
    ASSERT_EQ(db_query("SELECT user,pass,fwd,quota FROM maildb WHERE user=?", {"bob"}), 0);
    row_value_table* stored = db_store_row();
    ASSERT_EQ(stored, &db_row_values());
    row_value_table& values = *stored;
    EXPECT_EQ(db_count_rows(), 1);
    EXPECT_EQ(values[0], "bob");
    EXPECT_EQ(values[1], "secret");
    EXPECT_EQ(values[2], "NULL");
    EXPECT_EQ(values[3], "100");
    EXPECT_FALSE(values[4]);
    db_clear_row();
    EXPECT_FALSE(db_row_values()[0]);
    db_close_row();
    EXPECT_FALSE(row_recordset.IsOpen());
    EXPECT_TRUE(row_recordset.m_listNames.empty());

    ASSERT_EQ(db_query("SELECT user,pass,fwd FROM maildb WHERE user=? AND pass=?", {"ann", "pw"}),
              0);
    db_store_row();
    EXPECT_EQ(db_count_rows(), 1);
    EXPECT_EQ(db_row_values()[2], "");  // a NULL column reads as empty
}

TEST_F(wrapper_test, QueryFailuresAndTheirLogLines) {
    struct row {
        const char* statement;
        std::vector<std::string> parameters;
        int result;
        std::vector<std::string> expected;  // lines that must be in the log
    };
    const row rows[] = {
        {"SELECT user,pass FROM maildb WHERE user=?", {"nobody"}, -1, {"No records found"}},
        {"SELECT user,pass FROM maildb",
         {},
         -1,
         {"no filter for query",
          "ERROR: Table (maildb) does not contain column called (), modify your ini file username "
          "setting to specify the correct column name "}},
        {"select user,pass FROM maildb WHERE user=?",
         {"bob"},
         -1,
         {"no select statement for query"}},
        {"SELECT user,pass from maildb WHERE user=?", {"bob"}, -1, {"no tablename for query"}},
        {"SELECT user,pasword,quote FROM maildb WHERE user=?",
         {"bob"},
         -1,
         {"ERROR: Column (pasword) not found!", "ERROR: Column (quote) not found!",
          "ERROR: The columns above that you have specified in the ini file were not found in the "
          "table (maildb) - Please remove or correct those settings."}},
        {"SELECT user,pass FROM nosuch WHERE user=?",
         {"bob"},
         -1,
         {"ERROR: No Columns found in table - probably because table (nosuch) does not exist "}},
        {"SELECT USER,Pass FROM mail db WHERE User=?",
         {"bob"},
         0,
         {"SELECT = (USER,Pass), FROM = (maildb)", "Found column named (user)",
          "Found column named (fwd) - not in SELECT query"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.statement);
        log_capture log;
        EXPECT_EQ(db_query(r.statement, r.parameters), r.result);
        db_close_row();
        std::vector<std::string> lines = log.messages();
        for (const std::string& line : r.expected)
            EXPECT_TRUE(contains(lines, line)) << "missing: " << line;
        EXPECT_TRUE(row_recordset.m_listNames.empty());
    }
}

TEST_F(wrapper_test, TwoRowsAreCountedAndRefused) {
    log_capture log;
    ASSERT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"twin"}), 0);
    db_store_row();
    EXPECT_EQ(db_count_rows(), 2);
    EXPECT_TRUE(contains(log.messages(), "ERROR: More than one Row - non unique result!"));
    EXPECT_EQ(db_row_values()[1], "a");  // the first row is the one stored
}

TEST_F(wrapper_test, ClosedConnectionIsOpenedAgainByTheNextQuery) {
    odbc_connection.Close();
    log_capture log;
    EXPECT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"bob"}), 0);
    std::vector<std::string> lines = log.messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ERROR: Reconnecting to database driver (" + env_.dsn() + ")");
    EXPECT_EQ(lines[1], "ERROR: Reconnected to database driver (" + env_.dsn() + ")");
}

TEST_F(wrapper_test, NotOpenConnectionFailsWithOneWhenItCannotBeReopened) {
    odbc_connection.Close();
    odbc_settings_record elsewhere;
    elsewhere.odbc_driver_name = "no_such_source";
    ASSERT_EQ(db_open(elsewhere, {}, {}), 0);
    log_capture log;
    EXPECT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"bob"}), 1);
    std::vector<std::string> lines = log.messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "ERROR: Reconnecting to database driver (no_such_source)");
    EXPECT_TRUE(contains(lines, "ERROR: Reconnect to database driver (no_such_source) failed"));
    EXPECT_EQ(lines.back(), "ERROR: FATAL: Database is not yet open.");
}

// What an error tells of the connection: a general state is judged by the
// native code of the database that gave it, and what stays open goes to
// the driver.
TEST(failure_judgement, StatesAndNativeCodes) {
    using f = db_failure;
    struct row {
        SQLRETURN code;
        std::vector<std::string> states;
        std::vector<long> natives;
        db_dbms dbms;
        db_failure failure;
    };
    const db_dbms other = db_dbms::other, sqlite = db_dbms::sqlite, maria = db_dbms::mariadb;
    const row rows[] = {
        {SQL_ERROR, {"08S01"}, {2013}, maria, f::lost},
        {SQL_ERROR, {"08003"}, {0}, other, f::lost},
        {SQL_ERROR, {"57P01"}, {0}, other, f::lost},   // administrator's shutdown
        {SQL_ERROR, {"57P05"}, {26}, other, f::lost},  // idle session timeout
        {SQL_ERROR, {"01000", "08S01"}, {0, 0}, other, f::lost},
        {SQL_ERROR, {"S1000"}, {5014}, maria, f::lost},  // write to a reset socket
        {SQL_ERROR, {"S1000"}, {2006}, maria, f::lost},
        {SQL_ERROR, {"57014"}, {0}, other, f::timed_out},  // cancelled by the timeout
        {SQL_ERROR, {"HYT00"}, {0}, other, f::timed_out},
        {SQL_ERROR, {"S1000"}, {5}, sqlite, f::timed_out},    // database is locked
        {SQL_ERROR, {"S1000"}, {1205}, maria, f::timed_out},  // lock wait timeout
        {SQL_ERROR, {"S1000"}, {5}, maria, f::unknown},
        {SQL_ERROR, {"S1000"}, {1}, sqlite, f::statement},  // SQL logic error
        {SQL_ERROR, {"S1000"}, {10}, sqlite, f::unknown},   // disk I/O error
        {SQL_ERROR, {"S1000"}, {6}, maria, f::unknown},     // a lost temporary file
        {SQL_ERROR, {"42S02"}, {0}, other, f::statement},
        {SQL_ERROR, {"S0022"}, {0}, other, f::statement},
        {SQL_ERROR, {"22P02"}, {7}, other, f::value},     // not a number
        {SQL_ERROR, {"22021"}, {7}, other, f::value},     // bytes the encoding lacks
        {SQL_ERROR, {"S1000"}, {1267}, maria, f::value},  // the same from MariaDB
        {SQL_ERROR, {"S1000"}, {1267}, other, f::unknown},
        {SQL_ERROR, {"22001", "42S22"}, {0, 0}, other, f::statement},
        {SQL_ERROR, {}, {}, other, f::unknown},
        {DBERR_DATA_TRUNCATED, {}, {}, other, f::value},
        {SQL_INVALID_HANDLE, {"08003"}, {0}, maria, f::lost},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.states.empty() ? std::to_string(r.code) : r.states.back());
        CDBException error(r.code);
        error.m_states = r.states;
        error.m_natives = r.natives;
        EXPECT_EQ(db_judge_failure(error, r.dbms), r.failure);
    }
}

// What a failed execution leads to: tried once more, on the same connection
// or a new one, or never again after a timeout.
TEST_F(wrapper_test, FailedExecutionTriedOnceMoreUnlessItTimedOut) {
    struct row {
        fake_record record;
        int failures, result;
        bool unavailable, reconnected;
        int executions;
    };
    const row rows[] = {
        {{"S1000", 10, "[fake]disk I/O error"}, 1, 0, false, false, 3},
        {{"S1000", 10, "[fake]disk I/O error"}, 2, -1, false, false, 2},
        {{"08S01", 2013, "[fake]Lost connection"}, 1, 0, false, true, 3},
        {{"HYT00", 0, "[fake]Timeout expired"}, 1, -1, true, false, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.record.message + " x" + std::to_string(r.failures));
        log_capture log;
        call_counter calls;
        calls.fail_next("SQLExecute", SQL_ERROR, r.failures);
        scripted_sql_error records({r.record});
        EXPECT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"bob"}), r.result);
        EXPECT_EQ(db_unavailable(), r.unavailable);
        EXPECT_EQ(calls["SQLExecute"], r.executions);
        std::vector<std::string> lines = log.messages();
        EXPECT_EQ(contains(lines, "ERROR: Reconnected to database driver (" + env_.dsn() + ")"),
                  r.reconnected);
        db_close_row();
    }
}

// Driver texts of a statement with bound values lose whatever may be one.
TEST(hidden_values, QuotesBytesAndTheValuesThemselves) {
    const std::vector<std::string> bound = {"bob", "99SECRET3"};
    const std::pair<const char*, const char*> rows[] = {
        {"invalid input syntax for type integer: \"99SECRET3\"",
         "invalid input syntax for type integer: \"****\""},
        {"invalid byte sequence for encoding \"UTF8\": 0xe4 0x73 0x73",
         "invalid byte sequence for encoding \"****\": 0x**** 0x**** 0x****"},
        {"value 99SECRET3 out of range; near 'x", "value **** out of range; near '****"},
        {"bob is short, so is 0x", "bob is short, so is 0x****"},
        {"relation maildb does not exist", "relation maildb does not exist"},
    };
    for (const auto& [text, hidden] : rows) EXPECT_EQ(db_hide_values(text, bound), hidden);
}

// Only a database that could not be reached in time may be answered from
// what was known before; a missing row or a wrong statement never.
TEST_F(wrapper_test, UnavailableOnlyWhenTheDatabaseCouldNotBeReached) {
    const std::string lookup = "SELECT user,pass FROM maildb WHERE user=?";
    EXPECT_EQ(db_query(lookup, {"bob"}), 0);
    EXPECT_FALSE(db_unavailable());
    db_close_row();
    EXPECT_EQ(db_query(lookup, {"nobody"}), -1);
    EXPECT_FALSE(db_unavailable());
    db_close_row();
    EXPECT_EQ(db_query("SELECT user,pasword FROM maildb WHERE user=?", {"bob"}), -1);
    EXPECT_FALSE(db_unavailable());
    db_close_row();
    {
        std::shared_ptr<void> lock = env_.lock_exclusive();
        EXPECT_EQ(db_query(lookup, {"bob"}), -1);
        EXPECT_TRUE(db_unavailable());
        db_close_row();
    }
    odbc_connection.Close();
    odbc_settings_record elsewhere;
    elsewhere.odbc_driver_name = "no_such_source";
    ASSERT_EQ(db_open(elsewhere, {}, {}), 0);
    EXPECT_EQ(db_query(lookup, {"bob"}), 1);
    EXPECT_TRUE(db_unavailable());
}

TEST_F(wrapper_test, ErrorRaisedMidQueryFailsOnlyThatQuery) {
    env_.exec("INSERT INTO maildb VALUES ('long', '" + std::string(300, 'x') + "', '', '')");
    {
        log_capture log;
        EXPECT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"long"}), -1);
        std::vector<std::string> lines = log.messages();
        bool logged = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("ERROR: Database error while querying (code 1021: field data truncated)",
                           0) == 0;
        });
        EXPECT_TRUE(logged);
        db_close_row();
        EXPECT_TRUE(row_recordset.m_listNames.empty());
        EXPECT_EQ(row_recordset.m_nFields, 0u);
    }
    // The next query starts from empty lists and is answered.
    ASSERT_EQ(db_query("SELECT user,pass FROM maildb WHERE user=?", {"bob"}), 0);
    db_store_row();
    EXPECT_EQ(db_count_rows(), 1);
    EXPECT_EQ(db_row_values()[1], "secret");
}

// What the class layer throws besides its own errors (a fault of its own,
// memory that ran out) fails that query alone with one error line, the
// fast path off and on, and the connection answers the next query.
TEST_F(wrapper_test, ForeignExceptionFailsOnlyThatQuery) {
    const std::string lookup = "SELECT user,pass FROM maildb WHERE user=?";
    const std::pair<std::exception_ptr, std::string> thrown[] = {
        {std::make_exception_ptr(std::logic_error("parameter count")), "parameter count"},
        {std::make_exception_ptr(std::out_of_range("FieldIndexMap::at")), "FieldIndexMap::at"},
        {std::make_exception_ptr(std::bad_alloc()), "std::bad_alloc"},
    };
    for (bool fast : {false, true}) {
        db_set_fast_path(fast);
        for (const auto& [exception, text] : thrown) {
            SCOPED_TRACE(text + (fast ? ", fast path" : ""));
            {
                log_capture log;
                call_counter calls;
                calls.throw_next("SQLExecute", exception);
                EXPECT_EQ(db_query(lookup, {"bob"}), -1);
                EXPECT_FALSE(db_unavailable());
                db_end_query();
                std::vector<std::string> lines = log.messages();
                EXPECT_EQ(
                    std::count_if(lines.begin(), lines.end(),
                                  [](const std::string& l) { return l.rfind("ERROR: ", 0) == 0; }),
                    1);
                EXPECT_TRUE(contains(
                    lines, "ERROR: Internal error of the database layer while querying: " + text));
            }
            ASSERT_EQ(db_query(lookup, {"bob"}), 0);
            ASSERT_NE(db_store_row(), nullptr);
            EXPECT_EQ(db_count_rows(), 1);
            EXPECT_EQ(db_row_values()[1], "secret");
            db_clear_row();
            db_end_query();
        }
    }
    db_release_kept_row();
    db_set_fast_path(false);
}

TEST_F(wrapper_test, ColumnsLeftBehindByAFailedOpenAreEmptied) {
    // A column the catalog knows but the SELECT cannot use makes Open fail
    // after the columns were added.
    row_recordset.AddColumn("user");
    row_recordset.AddColumn("pass");
    db_close_row();  // not open: the lists go all the same
    EXPECT_TRUE(row_recordset.m_listNames.empty());
    EXPECT_EQ(row_recordset.m_nFields, 0u);
    log_capture log;
    db_close_row();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"odbc row now closed"}));
}

TEST_F(wrapper_test, BoundValuesNeverChangeTheStatement) {
    env_.exec(
        "INSERT INTO maildb VALUES ('o''brien', 'it''s', '', '');"
        "INSERT INTO maildb VALUES ('back\\slash', 'x', '', '');");
    struct row {
        std::string user, pass;
        int result;
    };
    const row rows[] = {
        {"bob", "' OR ''='", -1}, {"bob' --", "x", -1},
        {"' OR 1=1 --", "", -1},  {"bob", "secret' OR 'a'='a", -1},
        {"%", "%", -1},           {"_ob", "secret", -1},
        {"bob;", "secret", -1},   {"bob/*", "*/secret", -1},
        {"o'brien", "it's", 0},   {"back\\slash", "x", 0},
        {"back\\", "x", -1},      {"bob", "secret", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.user + " / " + r.pass);
        EXPECT_EQ(
            db_query("SELECT user,pass FROM maildb WHERE user=? AND pass=?", {r.user, r.pass}),
            r.result);
        if (r.result == 0) {
            db_store_row();
            EXPECT_EQ(db_count_rows(), 1);
            EXPECT_EQ(db_row_values()[0], r.user);
            db_clear_row();
        }
        db_close_row();
    }
}

}  // namespace

namespace {

// Non-text columns are read in their own type for the debug lines, each
// announced by its type line, while the row store still gets their text.
TEST(WrapperTypes, NumberColumnsAreLoggedWithTheirTypeLine) {
    odbc_env env;
    env.exec(
        "CREATE TABLE maildb (user TEXT, quota INTEGER, ratio DOUBLE);"
        "INSERT INTO maildb VALUES ('bob', 100, 2.5);");
    odbc_settings_record settings;
    settings.odbc_driver_name = env.dsn();
    ASSERT_EQ(db_open(settings, {}, {}), 1);
    {
        log_capture log;
        ASSERT_EQ(db_query("SELECT user,quota,ratio FROM maildb WHERE user=?", {"bob"}), 0);
        db_store_row();
        EXPECT_EQ(db_row_values()[1], "100");
        EXPECT_EQ(db_row_values()[2].value_or("").rfind("2.5", 0), 0u);
        std::vector<std::string> lines = log.messages();
        auto at = [&](const std::string& line) {
            return std::find(lines.begin(), lines.end(), line) - lines.begin();
        };
        EXPECT_EQ(at("type 5 - long") + 1, at("Field 1 value (100)"));
        EXPECT_EQ(at("type 7 - double") + 1, at("Field 2 value (2.500000)"));
        EXPECT_LT(at("Field 0 value (bob)"), at("type 5 - long"));
    }
    db_clear_row();
    db_close_row();
    odbc_connection.Close();
}

}  // namespace
