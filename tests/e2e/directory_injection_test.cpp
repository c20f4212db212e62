// Quotes, comment marks, wildcards and backslashes in user names and
// passwords reach the database as bound values: they never let in a user
// whose stored password differs and never disturb the next command.
#include <gtest/gtest.h>

#include "directory_harness.h"

namespace {

using qmdir::world;

QM_ON_EVERY_DATABASE(DirectoryInjection);

TEST_P(DirectoryInjection, HostileNamesAndPasswordsNeverMatchOtherRows) {
    world w(db());
    w.exec(
        "CREATE TABLE maildb ([user] TEXT, pass TEXT);"
        "INSERT INTO maildb VALUES ('bob', 'secret');"
        "INSERT INTO maildb VALUES ('o''brien', 'it''s');"
        "INSERT INTO maildb VALUES ('back\\slash', 'pa\\ss');"
        "INSERT INTO maildb VALUES ('per%cent', 'under_score');");
    w.write_ini("field_username [user]\nfield_password pass\n");
    qmtest::child_session session(QM_BINARY, w.options());

    // Words are split at blanks, so a value with blanks spreads over the
    // password and the address; the statement never sees any of them.
    const std::vector<std::string> hostile = {
        "'",
        "''",
        "\\",
        "\\'",
        "--",
        "/*",
        ";",
        "%",
        "_",
        "' OR ''='",
        "'OR''='",
        "x'OR'1'='1",
        "secret'--",
        "secret' OR 'a'='a",
        "%%",
        "s_cret",
        "secre%",
        "'; DROP TABLE maildb; --",
        "\\' OR 1=1 --",
        "*/",
        "\"",
        "bob'/*",
    };
    const std::vector<std::string> users = {"bob", "o'brien", "back\\slash", "per%cent"};
    for (const std::string& user : users) {
        for (const std::string& bad : hostile) {
            SCOPED_TRACE(user + " / " + bad);
            ASSERT_TRUE(session.write("check " + user + " " + bad + "\n"));
            std::vector<std::string> answer = session.read_answer();
            ASSERT_EQ(answer.size(), 1u);
            EXPECT_EQ(answer[0], "-ERR " + user + " password wrong or not a valid user\r\n");
        }
    }
    for (const std::string& bad : hostile) {
        SCOPED_TRACE(bad);
        // The answer names the first word, which is all the user name gets.
        const std::string name = bad.substr(0, bad.find(' '));
        ASSERT_TRUE(session.write("check " + bad + " secret\n"));
        std::vector<std::string> answer = session.read_answer();
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0], "-ERR " + name + " password wrong or not a valid user\r\n");
        // The next command is answered as if nothing had happened.
        ASSERT_TRUE(session.write("check bob secret\n"));
        EXPECT_EQ(session.read_answer(), (std::vector<std::string>{"+OK bob config 0\r\n"}));
        ASSERT_TRUE(session.write("lookup " + bad + "\n"));
        EXPECT_EQ(session.read_answer(),
                  (std::vector<std::string>{"-ERR " + name + " Not Located in database\r\n"}));
    }
    // Exact values holding those characters still match their own row.
    const std::vector<std::pair<std::string, std::string>> exact = {
        {"o'brien", "it's"}, {"back\\slash", "pa\\ss"}, {"per%cent", "under_score"}};
    for (const auto& [user, pass] : exact) {
        ASSERT_TRUE(session.write("check " + user + " " + pass + "\n"));
        EXPECT_EQ(session.read_answer(),
                  (std::vector<std::string>{"+OK " + user + " config 0\r\n"}));
    }
    ASSERT_TRUE(session.write("lookup per_cent\n"));
    EXPECT_EQ(session.read_answer(),
              (std::vector<std::string>{"-ERR per_cent Not Located in database\r\n"}));
    qmtest::child_result end = session.finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(w.scalar("SELECT count(*) FROM maildb"), "4");
}

TEST_P(DirectoryInjection, LongNamesAndPasswordsAreBoundWhole) {
    world w(db());
    const std::string long_user(600, 'u');
    w.exec(
        "CREATE TABLE maildb ([user] TEXT, pass TEXT);"
        "INSERT INTO maildb VALUES ('" +
        long_user +
        "', 'pw');"
        "INSERT INTO maildb VALUES ('bob', 'secret');");
    w.exec("INSERT INTO maildb VALUES ('max', '" + std::string(255, 'p') + "')");
    w.write_ini("field_username [user]\nfield_password pass\n");
    // The stored name is longer than a bound text field, so reading it back
    // fails; the command is refused and the next one is served.
    qmtest::child_result r = w.run("check " + long_user + " pw\ncheck " + long_user.substr(0, 255) +
                                   " pw\ncheck bob secret\ncheck max " + std::string(255, 'p') +
                                   "x\ncheck max " + std::string(255, 'p') + "\nquit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "-ERR " + long_user +
                         " password wrong or not a valid user\r\n"
                         "-ERR " +
                         long_user.substr(0, 255) +
                         " password wrong or not a valid user\r\n"
                         "+OK bob config 0\r\n"
                         "-ERR max password wrong or not a valid user\r\n"
                         "+OK max config 0\r\n+OK\r\n");
}

}  // namespace
