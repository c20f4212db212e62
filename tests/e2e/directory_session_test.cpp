// Errors in the middle of a session: the command that meets one is refused
// and logged, and once the cause is gone the same authenticator answers
// right again, with no restart.
#include <gtest/gtest.h>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;

QM_ON_EVERY_DATABASE(DirectorySession);

TEST_P(DirectorySession, RenamedTableAndOverlongValue) {
    world w(db());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    qmtest::child_session session(QM_BINARY, w.options());

    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    w.exec("ALTER TABLE maildb RENAME TO maildb_moved");
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_TRUE(
        w.log_has("ERROR: No Columns found in table - probably because table (maildb) does "
                  "not exist "));
    w.exec("ALTER TABLE maildb_moved RENAME TO maildb");
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    w.exec("UPDATE maildb SET [drop] = '" + std::string(300, 'd') + "' WHERE [user] = 'bob'");
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_EQ(ask(session, "lookup bob"),
              (std::vector<std::string>{"-ERR bob Not Located in database\r\n"}));
    EXPECT_TRUE(
        w.log_has_prefix("ERROR: Database error while querying (code 1021: field data "
                         "truncated)"))
        << w.log_text();
    // Other users are served while bob's row is too long.
    EXPECT_EQ(ask(session, "check dan x"), (std::vector<std::string>{"+OK dan config 0\r\n"}));
    w.exec("UPDATE maildb SET [drop] = '/var/mail/bob' WHERE [user] = 'bob'");
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    EXPECT_EQ(ask(session, "lookup bob"), qmdir::bob_found);

    qmtest::child_result end = session.finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.err, "");
}

TEST(DirectorySession, BrokenViewGivesTheDriverState) {
    world w;
    w.env().exec(
        "CREATE TABLE users (user TEXT, pass TEXT);"
        "INSERT INTO users VALUES ('bob', 'secret');"
        "CREATE VIEW maildb AS SELECT user, pass FROM users;");
    w.write_ini("field_username user\nfield_password pass\n");
    qmtest::child_session session(QM_BINARY, w.options());
    EXPECT_EQ(ask(session, "check bob secret"), (std::vector<std::string>{"+OK bob config 0\r\n"}));

    // The rename carries the view along; dropping the table then leaves the
    // view reading nothing, and the driver itself fails.
    w.env().exec("ALTER TABLE users RENAME TO users_old; DROP TABLE users_old;");
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_TRUE(
        w.log_has_prefix("ERROR: Database error while querying (code -1) State:S1000,Native:1,"
                         "Origin:[SQLite] no such table: main.users_old"))
        << w.log_text();

    w.env().exec(
        "CREATE TABLE users (user TEXT, pass TEXT); INSERT INTO users VALUES ('bob', 'secret');"
        "DROP VIEW maildb; CREATE VIEW maildb AS SELECT user, pass FROM users;");
    EXPECT_EQ(ask(session, "check bob secret"), (std::vector<std::string>{"+OK bob config 0\r\n"}));
    EXPECT_EQ(session.finish().exit_code, 0);
}

}  // namespace
