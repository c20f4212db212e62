// Stored password hashes through the whole authenticator: a table of users
// stored in every scheme (the test vectors made by doveadm, mkpasswd, the
// argon2 command and hashlib), checked right and wrong in one session; weak,
// unknown, malformed and missing values refused with their error lines;
// values above their cost ceiling refused at once; an unknown user costing
// what a known one does; neither a password nor a stored value in the debug
// log; and values rewritten in a stronger scheme at login, never from a
// password the stored value read only in part.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
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

// "secret" at m=64, t=1 (the argon2 command, tests/schemes/vectors.txt).
const std::string cheap_argon2id =
    "$argon2id$v=19$m=64,t=1,p=1$NVMvWDFoQ1kwaDRnR2w5Vw$pc+3lVlusQ6Nc7jRKsqiKhtq5CzxFZ+"
    "BiFnt2bjDjcs";

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
        // A dummy cheaper than the default's: every refusal costs one.
        w.write_ini(std::string("field_username [user]\nfield_password pass\n") +
                    "default_pass_scheme argon2id\npass_dummy_value " + cheap_argon2id + "\n" +
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
        EXPECT_TRUE(log_contains(w,
                                 "...No stored value verified: the password was checked against "
                                 "the dummy ARGON2ID value at 64 KiB x passes, from "
                                 "pass_dummy_value\n"));
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
    // change it under the check; its ceiling is raised to let it be verified.
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
        "pass_rehash_scheme ARGON2ID\npass_rehash_cost 1\npass_rehash_memory 64\n"
        "pass_ceiling_sha_crypt 3000000\n");
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

// A table of users with values at each scheme's usual cost: yescrypt as
// mkpasswd makes it, Argon2id at libsodium's interactive limits (the argon2
// command: -id -t 2 -k 65536 -p 1), SHA512-CRYPT as mkpasswd makes it.
void usual_cost_table(const world& w) {
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255));"
        "INSERT INTO maildb VALUES ('yes', "
        "'{CRYPT}$y$j9T$zlnMRyFoV/dF7OrsOtL/x1$vSOE5Laa1FLQdGV5HPLvuf4rU/eYk4Yq.IHG/qCruv1');"
        "INSERT INTO maildb VALUES ('argon', '{ARGON2ID}$argon2id$v=19$m=65536,t=2,p=1$"
        "cW1UaW1pbmdTYWx0MDE$jPjT9/d1DfJOwtwRQ+ZNUhTH/2ZLrNhR8S+J2tcvD2s');"
        "INSERT INTO maildb VALUES ('sha', '{SHA512-CRYPT}$6$KcrBSowanQOjL9PN$hvh1izcNOY14ZL."
        "FLcaSYSgE5oytdCR86007I8sgL1zC7f/8MkxkiubArr3vE2cruGtZ0jN7l8wR2a2xK2NZu.');");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds to the answer of the last command; those before it are sent
// first and not timed.
double answer_ms(qmtest::child_session& session, const std::vector<std::string>& commands) {
    for (std::size_t i = 0; i + 1 < commands.size(); ++i) ask(session, commands[i]);
    auto sent = std::chrono::steady_clock::now();
    const std::vector<std::string> answer = ask(session, commands.back());
    EXPECT_FALSE(answer.empty()) << commands.back();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent)
        .count();
}

// The ratio of two medians within 0.9 to 1.1, in one of three measurements:
// the machine may be shared with other work.
void expect_alike(const std::function<std::pair<double, double>()>& measure) {
    std::string seen;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::pair<double, double> ms = measure();
        double ratio = ms.first / ms.second;
        seen += " " + std::to_string(ms.first) + "/" + std::to_string(ms.second);
        if (ratio >= 0.9 && ratio <= 1.1) {
            std::printf("medians in ms:%s\n", seen.c_str());
            return;
        }
    }
    ADD_FAILURE() << "medians in ms, never within 10 %:" << seen;
}

// An unknown user costs what a known user's wrong password costs, measured
// through the whole program with the two taking turns; and what the last
// checked user's value was does not change it.
TEST(DirectorySchemesTiming, UnknownUserCostsAsKnownUser) {
    struct row {
        const char* name;
        const char* ini;
        std::vector<std::string> a, b;
    };
    const row rows[] = {
        {"CRYPT makes yescrypt",
         "default_pass_scheme CRYPT\n",
         {"check yes wrong"},
         {"check nobody wrong"}},
        {"ARGON2ID",
         "default_pass_scheme ARGON2ID\n",
         {"check argon wrong"},
         {"check nobody wrong"}},
        {"moving to ARGON2ID: an unknown user after an Argon2 user and after another",
         "default_pass_scheme SHA512-CRYPT\npass_rehash_scheme ARGON2ID\n",
         {"check argon wrong", "check nobody wrong"},
         {"check sha wrong", "check someone wrong"}},
    };
    world w;
    usual_cost_table(w);
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        w.write_ini(std::string("field_username [user]\nfield_password pass\n") + r.ini);
        qmtest::child_session session(QM_BINARY, w.options());
        expect_alike([&] {
            std::vector<double> a, b;
            for (int i = 0; i < 15; ++i) {
                a.push_back(answer_ms(session, r.a));
                b.push_back(answer_ms(session, r.b));
            }
            return std::make_pair(median(a), median(b));
        });
        EXPECT_EQ(session.finish().exit_code, 0);
    }
}

// One value above each family's ceiling: refused at once with one error line
// naming the user and the scheme, never the value, and what an unknown user
// costs is the same before and after. A password longer than crypt(3) takes
// is a wrong password, with no error line.
TEST(DirectorySchemesTiming, CostlyValuesRefusedAtOnce) {
    const std::string tail = "$c2FsdHNhbHRzYWx0c2FsdA$LoUa4GKOVh9nZJbs5vgkqczVwyPOTtbgslUXB.8mhjM";
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"h_argon2",
         "{ARGON2ID}$argon2id$v=19$m=8,t=4000000000,p=1$c29tZXNhbHRzYWx0$"
         "RtB0IUP3xEAuGSRvT45ywO3GGTcSp+PYO9ughMs0YdU"},
        {"h_bcrypt", "{BLF-CRYPT}$2y$31$VYtlNEoOabG0ePWx/h5n1.hHhuM9KXjnWicyvVkvlQ9g2hEdzUQym"},
        {"h_sha", "{SHA512-CRYPT}$6$rounds=999999999" + tail},
        {"h_pbkdf2", "{PBKDF2}$1$salt$2147483647$ebe7a55e2be86bcef2105a04ef4a889d5148081d"},
        {"h_yescrypt", "{CRYPT}$y$jJT" + tail},
        {"h_scrypt", "{CRYPT}$7$GU..../....saltsalt$hash"},
        {"h_legacy", "{CRYPT}$sha1$4294967295$saltsalt$hash"},
    };
    const std::vector<std::string> schemes = {"ARGON2ID", "BLF-CRYPT", "SHA512-CRYPT", "PBKDF2",
                                              "YESCRYPT", "SCRYPT",    "SHA1-CRYPT"};
    const std::vector<std::string> ceilings = {"argon2",   "bcrypt",   "sha_crypt",   "pbkdf2",
                                               "yescrypt", "yescrypt", "legacy_crypt"};
    world w;
    usual_cost_table(w);
    for (const auto& h : hostile)
        w.exec("INSERT INTO maildb VALUES ('" + h.first + "', '" + h.second + "')");
    w.write_ini(
        "field_username [user]\nfield_password pass\ndefault_pass_scheme CRYPT\n"
        "allow_weak_schemes true\n");
    // One process meets every such value, another none; an unknown user
    // then costs each the same, the two taking turns, each after a refusal.
    qmtest::child_session seen(QM_BINARY, w.options()), fresh(QM_BINARY, w.options());
    for (const auto& h : hostile) {
        auto sent = std::chrono::steady_clock::now();
        std::vector<std::string> answer =
            ask(seen, "check " + h.first + " x", std::chrono::seconds(2));
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(1)) << h.first;
        // A process still hashing answers nothing more.
        ASSERT_EQ(answer, std::vector<std::string>{"-ERR " + h.first +
                                                   " password wrong or not a valid user\r\n"});
    }
    expect_alike([&] {
        std::vector<double> after, before;
        for (int i = 0; i < 15; ++i) {
            after.push_back(answer_ms(
                seen, {"check " + hostile[i % hostile.size()].first + " x", "check nobody x"}));
            before.push_back(answer_ms(fresh, {"check someone x", "check nobody x"}));
        }
        return std::make_pair(median(after), median(before));
    });
    EXPECT_EQ(seen.finish().exit_code, 0);
    EXPECT_EQ(fresh.finish().exit_code, 0);
    const std::vector<std::string> log = w.log_messages();
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        const std::string line = "ERROR: Stored password of user (" + hostile[i].first + ") is a " +
                                 schemes[i] + " value above pass_ceiling_" + ceilings[i] +
                                 ": not verified";
        EXPECT_GE(std::count(log.begin(), log.end(), line), 1) << line << "\n" << w.log_text();
    }
    for (const std::string& line : log)
        EXPECT_EQ(line.find("4000000000"), std::string::npos) << line;
}

// A password longer than crypt(3) takes is a wrong password like any other,
// with no error line: it says nothing about the stored value.
TEST(DirectorySchemesLog, PasswordLongerThanCryptTakes) {
    world w;
    usual_cost_table(w);
    w.write_ini("field_username [user]\nfield_password pass\ndefault_pass_scheme CRYPT\n");
    std::string input;
    for (const char* user : {"yes", "sha"})
        for (std::size_t size : {511, 512, 600})
            input += "check " + std::string(user) + " " + std::string(size, 's') + "\n";
    qmtest::child_result r = w.run(input + "quit\n");
    EXPECT_EQ(r.out,
              "-ERR yes password wrong or not a valid user\r\n"
              "-ERR yes password wrong or not a valid user\r\n"
              "-ERR yes password wrong or not a valid user\r\n"
              "-ERR sha password wrong or not a valid user\r\n"
              "-ERR sha password wrong or not a valid user\r\n"
              "-ERR sha password wrong or not a valid user\r\n+OK\r\n");
    EXPECT_EQ(w.log_text(), "");
}

// DES crypt reads the first 8 bytes of a password, bcrypt the first 72: a
// password that shares them with the right one logs in, but the value is
// never made again from it, which would lock the right one out. A password
// the value read whole is rewritten as before.
TEST(DirectorySchemesRehash, NeverFromAPartlyReadPassword) {
    world w;
    // mkpasswd -m descrypt: "Summer2024!" and "Summer24"; -m bcrypt -R 5:
    // these 78 bytes.
    std::string long_password;
    for (int i = 0; i < 3; ++i) long_password += "CorrectHorseBatteryStaple!";
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255));"
        "INSERT INTO maildb VALUES ('des', '{CRYPT}F6uQJUOoPFiNs');"
        "INSERT INTO maildb VALUES ('des8', '{CRYPT}e/2tfMDBo0Sxs');"
        "INSERT INTO maildb VALUES ('bf', "
        "'{CRYPT}$2b$05$2l8shfpt4A.YtJPz9OI7P.dMwlUDzdMwcyR0J5C6lawJ6dlK0BxBK');");
    w.write_ini(
        "field_username [user]\nfield_password pass\ndefault_pass_scheme PLAIN\n"
        "allow_weak_schemes true\npass_rehash_scheme ARGON2ID\npass_rehash_cost 1\n"
        "pass_rehash_memory 64\n");
    auto stored = [&](const char* user) {
        return w.scalar(std::string("SELECT pass FROM maildb WHERE [user]='") + user + "'");
    };
    const std::string des = stored("des"), bf = stored("bf");
    qmtest::child_session session(QM_BINARY, w.options());
    const std::pair<std::string, std::string> logins[] = {
        {"des", "Summer2023!"},
        {"des", "Summer2024!"},
        {"bf", long_password.substr(0, 72) + "tail"},
        {"bf", long_password},
        {"des8", "Summer24"},
    };
    for (const auto& login : logins)
        EXPECT_EQ(ask(session, "check " + login.first + " " + login.second).back(),
                  "+OK " + login.first + " config 0\r\n")
            << login.second;
    EXPECT_EQ(stored("des"), des);
    EXPECT_EQ(stored("bf"), bf);
    EXPECT_EQ(stored("des8").rfind("{ARGON2ID}$argon2id$v=19$m=64,t=1,p=1$", 0), 0u);
    EXPECT_EQ(ask(session, "check des8 Summer24").back(), "+OK des8 config 0\r\n");
    EXPECT_EQ(session.finish().exit_code, 0);
}

// A rewrite never stores a value in a weaker scheme than the one it
// replaces: an Argon2 value stays when the target is a salted digest, a
// plain one is rewritten.
TEST(DirectorySchemesRehash, NeverIntoAWeakerScheme) {
    world w;
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass VARCHAR(255));"
        "INSERT INTO maildb VALUES ('plain', '{PLAIN}secret');"
        "INSERT INTO maildb VALUES ('argon', '{ARGON2ID}" +
        cheap_argon2id + "');");
    w.write_ini(
        "field_username [user]\nfield_password pass\ndefault_pass_scheme PLAIN\n"
        "pass_rehash_scheme SSHA512\n");
    EXPECT_EQ(w.run("check plain secret\ncheck argon secret\nquit\n").out,
              "+OK plain config 0\r\n+OK argon config 0\r\n+OK\r\n");
    EXPECT_EQ(w.scalar("SELECT pass FROM maildb WHERE [user]='plain'").rfind("{SSHA512}", 0), 0u);
    EXPECT_EQ(w.scalar("SELECT pass FROM maildb WHERE [user]='argon'"),
              "{ARGON2ID}" + cheap_argon2id);
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
