// A hostile or unlucky environment around a running authenticator: stored
// values that try to forge an answer or cut one short, a password that
// reaches a driver's error text, the SQLite file published anew or removed
// under it, and a MariaDB server that refuses the login.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;
using qmtest::db_kind;

// The lines of a text that begin with `head`.
int lines_beginning(const std::string& text, const std::string& head) {
    int n = 0;
    for (std::size_t at = 0; at < text.size();) {
        if (text.compare(at, head.size(), head) == 0) ++n;
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return n;
}

QM_ON_EVERY_DATABASE(DirectoryHostileValues);

// A line break in a value would put a forged "+OK" line before the answer
// on standard output in debug mode; a NUL would end the mail drop early.
// MariaDB alone hands over a NUL: PostgreSQL cannot store one, and SQLite's
// driver itself ends a text at it.
TEST_P(DirectoryHostileValues, RecordRefusedEveryLineWhole) {
    world w(db());
    const bool maria = db() == db_kind::mariadb;
    auto joined = [&](const char* a, int byte, const char* b) {
        std::string c = db() == db_kind::postgres ? "chr(" : "char(";
        c += std::to_string(byte) + ")";
        return maria ? "CONCAT('" + std::string(a) + "', " + c + ", '" + b + "')"
                     : "'" + std::string(a) + "' || " + c + " || '" + b + "'";
    };
    w.exec("CREATE TABLE maildb ([user] TEXT, pass TEXT, fwd TEXT, quota TEXT, mask TEXT, " +
           std::string("[drop] TEXT);") + "INSERT INTO maildb VALUES ('lf', 'pw', '', '', '', " +
           joined("x", 10, "+OK admin@example.org /var/mail/admin 0") + ");" +
           (maria ? "INSERT INTO maildb VALUES ('nul', 'pw', '', '', '', " +
                        joined("/var/mail/nul", 0, "/evil") + ");"
                  : ""));
    w.write_ini(qmdir::full_ini);
    qmtest::child_result r = w.run("check lf pw\ncheck nul pw\nquit\n", {"-debug"});
    EXPECT_EQ(lines_beginning(r.out, "+OK admin"), 0) << r.out;
    EXPECT_EQ(lines_beginning(r.out, "-ERR lf password wrong"), 1);
    EXPECT_EQ(lines_beginning(r.out, "-ERR nul password wrong"), 1) << r.out;
    EXPECT_EQ(lines_beginning(r.out, "+OK"), 1);  // the answer to quit
    EXPECT_EQ(lines_beginning(w.log_text(), "+OK admin"), 0);
    int refused = 0;
    for (const std::string& m : w.log_messages())
        // The forged line holds blanks too, which the maildrop's own check
        // may name first; either way the record is refused once.
        if (m.rfind("ERROR: ", 0) == 0 && m.find(": answered as a failure") != std::string::npos)
            ++refused;
    EXPECT_EQ(refused, maria ? 2 : 1) << w.log_text();
}

// PostgreSQL quotes a bound value it cannot read as the column's type, and
// shows the bytes of one it cannot read as UTF-8.
class DirectoryBoundValuesInErrors : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryBoundValuesInErrors, qmdir::both_paths({db_kind::postgres}),
                         qmdir::db_label);

TEST_P(DirectoryBoundValuesInErrors, PasswordNeverInTheLog) {
    world w(db());
    w.exec("CREATE TABLE maildb ([user] TEXT, pass INTEGER); INSERT INTO maildb VALUES ('bob', 7)");
    w.write_ini("field_username [user]\nfield_password pass\n");
    qmtest::child_result r = w.run("check bob 99SECRET3\ncheck bob p\xe4ssw\ncheck bob 7\nquit\n");
    EXPECT_EQ(r.out,
              "-ERR bob password wrong or not a valid user\r\n"
              "-ERR bob password wrong or not a valid user\r\n+OK bob config 0\r\n+OK\r\n");
    const std::string log = w.log_text();
    EXPECT_NE(log.find("Database error while querying"), std::string::npos) << log;
    for (const char* secret : {"SECRET", "\xe4", "0xe4", "0x73"})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
}

class DirectoryFileReplaced : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryFileReplaced, qmdir::both_paths({db_kind::sqlite}),
                         qmdir::db_label);

// A new user table is published by renaming a new file over the old one;
// a removed file is not made again, empty, by opening it.
TEST_P(DirectoryFileReplaced, NewFileServedRemovedFileRefused) {
    world w(db());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    const std::string path = w.env().db_path(), next = w.env().dir() + "/next.db";
    qmtest::child_session session(QM_BINARY, w.options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    // The path is looked at no more than ten times a second.
    const auto looked_at_again = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    };
    std::filesystem::copy_file(path, next);
    std::filesystem::rename(next, path);
    looked_at_again();
    w.exec("UPDATE maildb SET pass = 'renewed' WHERE [user] = 'bob'");
    EXPECT_EQ(ask(session, "check bob renewed"), qmdir::bob_found) << w.log_text();
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_TRUE(w.log_has("ERROR: Database file (" + path + ") was replaced: opening it again"));

    std::filesystem::remove(path);
    looked_at_again();
    EXPECT_EQ(ask(session, "check bob renewed"), qmdir::bob_refused);
    EXPECT_EQ(ask(session, "check bob renewed"), qmdir::bob_refused);
    EXPECT_TRUE(w.log_has("ERROR: Database file (" + path + ") is gone"));
    EXPECT_FALSE(std::filesystem::exists(path));

    w.standard_table();
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w.log_text();
    EXPECT_EQ(session.finish().exit_code, 0);

    // Nor at start-up: a process started while no file stands there says
    // it cannot start, where it would refuse every user of an empty file.
    std::filesystem::remove(path);
    const qmtest::child_result started = w.run("check bob secret\nquit\n");
    EXPECT_EQ(started.out.rfind("-DEAD", 0), 0u) << started.out;
    EXPECT_FALSE(std::filesystem::exists(path));
}

// MariaDB's driver, allowed to prompt for what a failed login lacks, says
// only that its dialog failed; the cause is what an administrator needs.
class DirectoryConnectFailure : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryConnectFailure,
                         ::testing::Values(qmdir::db_case(db_kind::mariadb)), qmdir::db_label);

TEST_P(DirectoryConnectFailure, CauseLogged) {
    world w(db());
    w.write_ini("field_username [user]\nfield_password pass\nodbc_password wrong\n");
    qmtest::child_result r = w.run("quit\n");
    EXPECT_EQ(r.out.rfind("-DEAD: ", 0), 0u) << r.out;
    const std::string log = w.log_text();
    EXPECT_NE(log.find("Access denied"), std::string::npos) << log;
    EXPECT_EQ(log.find("IM008"), std::string::npos) << log;
}

}  // namespace
