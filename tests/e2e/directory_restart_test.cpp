// A database that goes away: a server of the test's own is stopped in the
// middle of a session and started again. While it is down every command is
// refused; once it is back the same authenticator answers right with no
// restart. A slow statement is cut by the query timeout (the connection
// kept) or the driver's read timeout (the connection dropped).
#include <gtest/gtest.h>

#include <chrono>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;

class DirectoryRestart : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryRestart,
                         qmdir::both_paths({qmdir::db_kind::postgres, qmdir::db_kind::mariadb}),
                         qmdir::db_label);

TEST_P(DirectoryRestart, RefusedWhileDownServedAgainWhenBack) {
    qmdir::own_servers servers(db() == qmtest::db_kind::postgres ? "pg" : "mariadb");
    ASSERT_TRUE(servers.started);
    world w(db(), servers.env_file());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    qmtest::child_session session(QM_BINARY, w.options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    // Restarted between two commands: the next one reconnects and succeeds.
    ASSERT_TRUE(servers.halt());
    ASSERT_TRUE(servers.resume());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    EXPECT_TRUE(w.log_has("ERROR: Reconnecting to database driver (quillmar)")) << w.log_text();
    EXPECT_TRUE(w.log_has("ERROR: Reconnected to database driver (quillmar)"));

    // Down: every command is refused, a wrong password as much as a right one.
    ASSERT_TRUE(servers.halt());
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
        EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
        EXPECT_EQ(ask(session, "lookup bob"),
                  (std::vector<std::string>{"-ERR bob Not Located in database\r\n"}));
    }
    EXPECT_TRUE(w.log_has("ERROR: Reconnect to database driver (quillmar) failed"));

    // A new authenticator meets the database down at start-up.
    qmtest::child_result dead = w.run("check bob secret\nquit\n");
    EXPECT_EQ(dead.exit_code, 0);
    EXPECT_EQ(dead.out,
              "-DEAD: Database Problem, please try again later (Cannot Connect to odbc "
              "driver, quillmar as (null))\n");

    ASSERT_TRUE(servers.resume());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
    EXPECT_EQ(ask(session, "lookup bob"), qmdir::bob_found);
    qmtest::child_result end = session.finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.err, "");
}

// PostgreSQL's driver cancels a statement that outlasts the query timeout
// (what is left of the command's 15 s) and keeps the connection, so the
// next command is served at once.
class DirectorySlowQuery : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectorySlowQuery, qmdir::both_paths({qmdir::db_kind::postgres}),
                         qmdir::db_label);

TEST_P(DirectorySlowQuery, CancelledAfterTheTimeoutConnectionKept) {
    world w(db());
    // Every row read asks a policy that sleeps, for as long as it is there.
    // Without the fast path the statement runs twice; its first run takes
    // 0.7 s, so that the second begins with a fraction of a second less than
    // whole seconds left, and its timeout must still end before the deadline
    // is enforced on the sockets.
    w.exec(
        "CREATE TABLE maildb ([user] TEXT, pass TEXT);"
        "INSERT INTO maildb VALUES ('bob', 'secret');"
        "CREATE SEQUENCE runs START " +
        std::string(fast() ? "2" : "1") +
        ";"
        "CREATE FUNCTION slow() RETURNS boolean AS "
        "'SELECT pg_sleep(CASE WHEN nextval(''runs'') = 1 THEN 0.7 ELSE 40 END); SELECT true' "
        "LANGUAGE sql;"
        "ALTER TABLE maildb ENABLE ROW LEVEL SECURITY; ALTER TABLE maildb FORCE ROW LEVEL SECURITY;"
        "CREATE POLICY slow_rows ON maildb USING (slow())");
    w.write_ini("field_username [user]\nfield_password pass\n");
    qmtest::child_session session(QM_BINARY, w.options());

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::seconds(14));
    EXPECT_LT(waited, std::chrono::seconds(35));
    EXPECT_TRUE(w.log_text().find("State:57014") != std::string::npos) << w.log_text();

    w.exec("DROP POLICY slow_rows ON maildb; ALTER TABLE maildb DISABLE ROW LEVEL SECURITY");
    EXPECT_EQ(ask(session, "check bob secret"), (std::vector<std::string>{"+OK bob config 0\r\n"}));
    EXPECT_FALSE(w.log_has_prefix("ERROR: Reconnecting"));
    EXPECT_EQ(session.finish().exit_code, 0);
}

// psqlODBC's updatable cursors read a row id that a view lacks; with them
// off in the data source a view serves as the user table.
TEST_P(DirectorySlowQuery, ViewAsUserTableWithUpdatableCursorsOff) {
    world w(db());
    w.add_dsn_setting("UpdatableCursors", "0");
    w.exec(
        "CREATE TABLE users ([user] TEXT, pass TEXT);"
        "INSERT INTO users VALUES ('bob', 'secret');"
        "CREATE VIEW maildb AS SELECT [user], pass FROM users");
    w.write_ini("field_username [user]\nfield_password pass\n");
    qmtest::child_result r = w.run("check bob secret\ncheck bob wrong\nquit\n");
    EXPECT_EQ(r.out, "+OK bob config 0\r\n-ERR bob password wrong or not a valid user\r\n+OK\r\n")
        << w.log_text();
}

// MariaDB's driver refuses the statement timeout; its READ_TIMEOUT bounds a
// query by dropping the connection, which is then opened again, and the
// query run once more only while the command's deadline allows: with a read
// timeout of 15 s, never, and the answer comes within the deadline and a
// second. A view is a user table like any other.
class DirectoryReadTimeout : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryReadTimeout, qmdir::both_paths({qmdir::db_kind::mariadb}),
                         qmdir::db_label);

TEST_P(DirectoryReadTimeout, SlowViewDropsTheConnectionNextCommandServed) {
    const std::pair<const char*, const char*> read_timeout_and_sleep[] = {{"2", "4"}, {"15", "20"}};
    for (const auto& [read_timeout, sleep] : read_timeout_and_sleep) {
        SCOPED_TRACE(read_timeout);
        world w(db());
        w.add_dsn_setting("READ_TIMEOUT", read_timeout);
        w.exec(
            "CREATE TABLE users ([user] TEXT, pass TEXT, slow INT);"
            "INSERT INTO users VALUES ('bob', 'secret', 0), ('sam', 'pw', 1);"
            "CREATE VIEW maildb AS SELECT [user], pass FROM users WHERE slow = 0 OR SLEEP(" +
            std::string(sleep) + ") = 1");
        w.write_ini("field_username [user]\nfield_password pass\n");
        qmtest::child_session session(QM_BINARY, w.options());
        const std::vector<std::string> bob = {"+OK bob config 0\r\n"};
        EXPECT_EQ(ask(session, "check bob secret"), bob);
        auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(ask(session, "check sam pw"),
                  (std::vector<std::string>{"-ERR sam password wrong or not a valid user\r\n"}));
        EXPECT_LE(std::chrono::steady_clock::now() - sent, std::chrono::seconds(16));
        EXPECT_EQ(ask(session, "check bob secret"), bob);
        EXPECT_TRUE(w.log_has("ERROR: Reconnected to database driver (quillmar)")) << w.log_text();
        EXPECT_EQ(session.finish().exit_code, 0);
    }
}

}  // namespace
