// Stored password hashes through the whole authenticator: a table of users
// stored in every scheme (the test vectors made by doveadm, mkpasswd, the
// argon2 command and hashlib), checked right and wrong in one session; weak,
// unknown, malformed and missing values refused with their error lines;
// neither a password nor a stored value in the debug log; and values
// rewritten in a stronger scheme at login.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "directory_harness.h"
#include "support/scheme_vectors.h"

namespace {

using qmdir::ask;
using qmdir::world;

QM_ON_EVERY_DATABASE(DirectorySchemes);

// A user of the walked table: the value stored for them, whether the check
// with "secret" passes without and with allow_weak_schemes, and the error
// line it leaves when it does not, around the user's name.
struct stored_user {
    std::string name, value;
    bool passes, passes_weak;
    std::string before, after;
};

// Weak schemes are refused unless allowed; these vectors are made in one.
bool weak_vector(const std::string& made_by) {
    for (const char* weak : {"-s MD5-CRYPT", "-s DES-CRYPT", "-s PLAIN-MD5", "-s LDAP-MD5",
                             "-s SMD5", "md5crypt", "descrypt", "-m nt", "{PLAIN-MD5}", "{SMD5}"})
        if (made_by.find(weak) != std::string::npos) return true;
    return false;
}

// Every vector of the password "secret" that costs little (Argon2 at
// libsodium's limits costs too much under the sanitizers), prefixed with its
// scheme, except the Argon2id values, which are read in the default scheme;
// then the values that must never match.
std::vector<stored_user> walked_users() {
    std::vector<stored_user> users;
    for (const qmtest::scheme_vector& v :
         qmtest::read_scheme_vectors(QM_SOURCE_DIR "/tests/schemes/vectors.txt")) {
        if (v.password != "secret" || v.stored.find("m=65536") != std::string::npos) continue;
        std::string value = v.default_scheme.empty() || v.default_scheme == "ARGON2ID"
                                ? v.stored
                                : "{" + v.default_scheme + "}" + v.stored;
        std::string name = "u" + std::to_string(users.size());
        bool weak = weak_vector(v.made_by);
        // The line names the scheme before the user.
        users.push_back({name, value, !weak, true, ") refused for user (", ")"});
    }
    // The Argon2id users first: until a value has been verified, a value
    // that cannot be costs a dummy at libsodium's limits, far slower.
    std::stable_partition(users.begin(), users.end(),
                          [](const stored_user& u) { return u.value.rfind("$argon2id$", 0) == 0; });
    auto never = [&](const std::string& value, const std::string& before,
                     const std::string& after) {
        std::string name = "u" + std::to_string(users.size());
        users.push_back({name, value, false, false, before, after});
    };
    const std::string six = "$6$P.EPcA/oggFS3OWd$Pr/WSxKIYMm5phqxCLxDOk82XAa/jKGqmqixYajJp4yGyJ";
    never("{NOSUCH}secret", "ERROR: Unknown password scheme in the stored value of user (", ")");
    never("{SHA256}not*base64", "ERROR: Stored password of user (",
          ") is not a valid SHA256 value: bad base64");
    never("{SHA512-CRYPT}" + six, "ERROR: Stored password of user (",  // cut short
          ") is not a valid SHA512-CRYPT value");
    never(six, "ERROR: Stored password of user (", ") is not a valid ARGON2ID value");
    never("", "ERROR: No stored password (NULL or empty) for user (", ")");
    return users;
}

std::string literal(const std::string& value) { return "'" + value + "'"; }

bool log_contains(const world& w, const std::string& text) {
    return w.log_text().find(text) != std::string::npos;
}

// The final answer lines of a run, debug lines (echoed in debug mode) left out.
std::vector<std::string> answers(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& line : qmtest::split_lines(out))
        if (line.rfind("+OK", 0) == 0 || line.rfind("-ERR", 0) == 0) lines.push_back(line);
    return lines;
}

TEST_P(DirectorySchemes, EveryStoredSchemeRightAndWrong) {
    const std::vector<stored_user> users = walked_users();
    ASSERT_GT(users.size(), 40u);
    world w(db());
    std::string sql = "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255));";
    for (const stored_user& u : users)
        sql += "INSERT INTO maildb VALUES (" + literal(u.name) + "," + literal(u.value) + ");";
    sql += "INSERT INTO maildb VALUES ('nul', NULL)";
    w.exec(sql);

    for (bool allow_weak : {false, true}) {
        SCOPED_TRACE(allow_weak ? "weak schemes allowed" : "weak schemes refused");
        w.write_ini(std::string("field_username [user]\nfield_password pass\n") +
                    "default_pass_scheme argon2id\n" +
                    (allow_weak ? "allow_weak_schemes TRUE\n" : ""));
        std::string input, expected;
        for (const stored_user& u : users) {
            bool passes = allow_weak ? u.passes_weak : u.passes;
            input += "check " + u.name + " secret\ncheck " + u.name + " secreT\n";
            expected += (passes ? "+OK " + u.name + " config 0\r\n"
                                : "-ERR " + u.name + " password wrong or not a valid user\r\n") +
                        "-ERR " + u.name + " password wrong or not a valid user\r\n";
        }
        input += "check nul secret\ncheck nobody secret\nquit\n";
        expected +=
            "-ERR nul password wrong or not a valid user\r\n"
            "-ERR nobody password wrong or not a valid user\r\n+OK\r\n";
        qmtest::child_result r = w.run(input, {"-debug"});
        EXPECT_EQ(r.exit_code, 0);
        std::string got;
        for (const std::string& line : answers(r.out)) got += line;
        EXPECT_EQ(got, expected);

        for (const stored_user& u : users) {
            if (!(allow_weak ? u.passes_weak : u.passes)) {
                EXPECT_TRUE(log_contains(w, u.before + u.name + u.after))
                    << u.name << " " << u.value;
            }
        }
        EXPECT_TRUE(allow_weak || log_contains(w,
                                               "ERROR: Weak password scheme (MD5-CRYPT) refused "
                                               "for user ("));
        EXPECT_TRUE(log_contains(w, "No stored password (NULL or empty) for user (nul)"));
        // nobody is checked after the table's values: the dummy is made like
        // them.
        EXPECT_TRUE(log_contains(w, " value at the table's cost\n"));
        // Neither the password nor a stored value reaches the log, in debug
        // mode either.
        const std::string log = w.log_text();
        EXPECT_EQ(log.find("secre"), std::string::npos);
        for (const stored_user& u : users) {
            if (u.value.size() > 8) {
                EXPECT_EQ(log.find(u.value.substr(u.value.size() - 8)), std::string::npos)
                    << u.value;
            }
        }
        std::remove((w.env().dir() + "/quillmar.log").c_str());
    }
}

// A scheme the ini file misspells: every check fails, a prefixed value in a
// known scheme included.
TEST(DirectorySchemesLog, UnknownDefaultSchemeFailsEveryCheck) {
    world w;
    w.exec(
        "CREATE TABLE maildb ([user] TEXT, pass TEXT);"
        "INSERT INTO maildb VALUES ('bob', '{PLAIN}secret');");
    w.write_ini("field_username [user]\nfield_password pass\ndefault_pass_scheme PLIAN\n");
    EXPECT_EQ(w.run("check bob secret\nquit\n").out,
              "-ERR bob password wrong or not a valid user\r\n+OK\r\n");
    EXPECT_TRUE(
        w.log_has("ERROR: Unknown password scheme (PLIAN) in default_pass_scheme: every check "
                  "fails"));
    EXPECT_TRUE(
        w.log_has("ERROR: Check of user (bob) refused: default_pass_scheme (PLIAN) is not usable"));
}

// Waits until the log holds a line beginning with `line` after the line
// `after`.
bool log_reaches(const world& w, const std::string& after, const std::string& line) {
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::string> log = w.log_messages();
        auto start = std::find(log.begin(), log.end(), after);
        if (start != log.end() && std::find_if(start, log.end(), [&](const std::string& m) {
                                      return m.rfind(line, 0) == 0;
                                  }) != log.end())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_P(DirectorySchemes, RehashOnLogin) {
    world w(db());
    // carl's value takes about a second to verify (3,000,000 rounds, made by
    // mkpasswd -m sha512crypt -R 3000000 -S saltsaltsalt12), time enough to
    // change it under the check.
    const std::string carl =
        "$6$rounds=3000000$saltsaltsalt12$CFexNV9/UgUOnfHXAZFB4.4Fz24BxfS7GVcIHcW6BfvJObHfSS1OBnx"
        "8WmaEAvsvrW4uy40FZc2tLT.CF8wfU/";
    // dan's value is in the target scheme at its cost already (made by the
    // argon2 command, tests/schemes/vectors.txt).
    const std::string dan =
        "$argon2id$v=19$m=64,t=1,p=1$NVMvWDFoQ1kwaDRnR2w5Vw$pc+3lVlusQ6Nc7jRKsqiKhtq5CzxFZ+"
        "BiFnt2bjDjcs";
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255));"
        "INSERT INTO maildb VALUES ('ann', 'pw1');"
        "INSERT INTO maildb VALUES ('bob', "
        "'{SHA512-CRYPT}$6$P.EPcA/oggFS3OWd$Pr/WSxKIYMm5phqxCLxDOk82XAa/"
        "jKGqmqixYajJp4yGyJzyeyfmlom1rI"
        "TjIFlc62MWqhLCnhplQKcRIBZ221');"
        "INSERT INTO maildb VALUES ('carl', '{SHA512-CRYPT}" +
        carl +
        "');"
        "INSERT INTO maildb VALUES ('dan', '{ARGON2ID}" +
        dan +
        "');"
        "INSERT INTO maildb VALUES ('erin', 'pw5');");
    w.write_ini(
        "field_username [user]\nfield_password pass\ndefault_pass_scheme PLAIN\n"
        "pass_rehash_scheme ARGON2ID\npass_rehash_cost 1\npass_rehash_memory 64\n");
    auto stored = [&](const char* user) {
        return w.scalar(std::string("SELECT pass FROM maildb WHERE [user]='") + user + "'");
    };
    auto last = [](const std::vector<std::string>& answer) {
        return answer.empty() ? std::string() : answer.back();
    };
    const std::string made = "{ARGON2ID}$argon2id$v=19$m=64,t=1,p=1$";
    qmtest::child_session session(QM_BINARY, w.options({"-debug"}));

    // Rewritten at the first login; the next check reads the new value.
    EXPECT_EQ(last(ask(session, "check ann pw1")), "+OK ann config 0\r\n");
    const std::string ann = stored("ann");
    EXPECT_EQ(ann.rfind(made, 0), 0u) << ann;
    EXPECT_EQ(last(ask(session, "check ann pw1")), "+OK ann config 0\r\n");
    EXPECT_EQ(last(ask(session, "check ann pw2")),
              "-ERR ann password wrong or not a valid user\r\n");
    EXPECT_EQ(stored("ann"), ann);
    EXPECT_EQ(last(ask(session, "check bob secret")), "+OK bob config 0\r\n");
    EXPECT_EQ(stored("bob").rfind(made, 0), 0u);
    // Already in the target scheme at the target's cost: left alone.
    EXPECT_EQ(last(ask(session, "check dan secret")), "+OK dan config 0\r\n");
    EXPECT_EQ(stored("dan"), "{ARGON2ID}" + dan);

    // A password changed while carl's check runs is not overwritten.
    ASSERT_TRUE(session.write("check carl secret\n"));
    ASSERT_TRUE(log_reaches(w, "...Checking: User='carl'   Pass='xxxx'  IP='(NULL)'",
                            "Adding to row result,  column name (pass) and column value (xxxx)"));
    w.exec("UPDATE maildb SET pass = '{PLAIN}changed' WHERE [user] = 'carl'");
    EXPECT_EQ(last(session.read_answer(std::chrono::seconds(60))), "+OK carl config 0\r\n");
    EXPECT_EQ(stored("carl"), "{PLAIN}changed");
    EXPECT_TRUE(w.log_has("...Stored password changed meanwhile: left as it is"));

    // A database that refuses the write (the user lacks the privilege on
    // PostgreSQL; a trigger stands in on SQLite and MariaDB): the login
    // succeeds, the error is logged once and not tried again.
    switch (db()) {
    case qmtest::db_kind::postgres:
        w.exec("REVOKE UPDATE ON maildb FROM quillmar");
        break;
    case qmtest::db_kind::mariadb:
        w.exec(
            "CREATE TRIGGER refuse_writes BEFORE UPDATE ON maildb FOR EACH ROW "
            "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'read-only'");
        break;
    case qmtest::db_kind::sqlite:
        w.exec(
            "CREATE TRIGGER refuse_writes BEFORE UPDATE ON maildb "
            "BEGIN SELECT RAISE(ABORT, 'read-only'); END");
        break;
    }
    EXPECT_EQ(last(ask(session, "check erin pw5")), "+OK erin config 0\r\n");
    EXPECT_EQ(last(ask(session, "check erin pw5")), "+OK erin config 0\r\n");
    EXPECT_EQ(stored("erin"), "pw5");
    const std::string refused =
        "ERROR: Stored password of user (erin) not rewritten in ARGON2ID; not tried again for "
        "this user";
    std::vector<std::string> log = w.log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(), refused), 1) << w.log_text();
    EXPECT_TRUE(w.log_has_prefix("ERROR: Database error while writing")) << w.log_text();
    EXPECT_EQ(session.finish().exit_code, 0);
    // The given passwords are never logged.
    for (const char* password : {"pw1", "pw2", "pw5", "secret"})
        EXPECT_EQ(w.log_text().find(password), std::string::npos) << password;
}

// An administrator's change made while the rewrite waits for the row is
// left alone, even one that only a byte comparison sees: a letter's case, a
// trailing blank. The column compares as MariaDB's default collation does
// (a collation that ignores letter case on the others).
TEST_P(DirectorySchemes, RehashLeavesAChangeInLetterCaseAlone) {
    world w(db());
    std::string blind;
    if (db() == qmtest::db_kind::sqlite) blind = " COLLATE NOCASE";
    if (db() == qmtest::db_kind::postgres) {
        w.exec(
            "CREATE COLLATION blind (provider = icu, locale = 'und-u-ks-level2', "
            "deterministic = false)");
        blind = " COLLATE blind";
    }
    w.exec("CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255)" + blind +
           ");"
           "INSERT INTO maildb VALUES ('fay', 'summer24'), ('gus', 'autumn25');");
    w.write_ini(
        "field_username [user]\nfield_password pass\ndefault_pass_scheme PLAIN\n"
        "pass_rehash_scheme ARGON2ID\npass_rehash_cost 1\npass_rehash_memory 64\n");
    qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
    const std::pair<std::string, std::string> changes[] = {{"fay", "Summer24"},
                                                           {"gus", "autumn25 "}};
    for (const auto& [user, changed] : changes) {
        SCOPED_TRACE(user);
        const std::string password = user == "fay" ? "summer24" : "autumn25";
        std::unique_ptr<held_transaction> change = w.hold_transaction(
            "UPDATE maildb SET pass = '" + changed + "' WHERE [user] = '" + user + "'");
        ASSERT_TRUE(session.write("check " + user + " " + password + "\n"));
        ASSERT_TRUE(log_reaches(w, "...Checking: User='" + user + "'   Pass='xxxx'  IP='(NULL)'",
                                "...Rewriting the stored password in ARGON2ID"));
        // The rewrite now waits for the row the change holds.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        change->commit();
        std::vector<std::string> answer = session.read_answer(std::chrono::seconds(60));
        EXPECT_EQ(answer.empty() ? "" : answer.back(), "+OK " + user + " config 0\r\n");
        EXPECT_EQ(w.scalar("SELECT pass FROM maildb WHERE [user]='" + user + "'"), changed);
    }
    EXPECT_TRUE(w.log_has("...Stored password changed meanwhile: left as it is"));
    EXPECT_EQ(session.finish().exit_code, 0);
    EXPECT_FALSE(w.log_has_prefix("ERROR:")) << w.log_text();
}

}  // namespace
