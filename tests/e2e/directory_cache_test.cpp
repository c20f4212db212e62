// The answer cache through the whole authenticator, with plain and with
// ARGON2ID passwords: sessions walk tables of commands and table changes,
// each answer held against the database's own and, in debug mode, against
// where it came from; then the database goes away under a session.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;

class DirectoryCache : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryCache,
                         qmdir::both_paths({qmdir::db_kind::sqlite, qmdir::db_kind::postgres}),
                         qmdir::db_label);

// Made by libsodium's crypto_pwhash_str at its least limits.
const std::map<std::string, std::string> argon2id = {
    {"secret",
     "$argon2id$v=19$m=8,t=1,p=1$KkvqJ64QJp5uRGtRdl6LtA$yW7+0M+GDlC8j/qyp5c1OqJ/xrTHKR/"
     "VhqtvjrGNXLk"},
    {"new",
     "$argon2id$v=19$m=8,t=1,p=1$UahB155EqI7ouZhwgs1J9Q$prLsYKAADhpaD2evqSM2O6mxj9PuFVmBT/O6/"
     "7Gyjfc"},
    {"pw",
     "$argon2id$v=19$m=8,t=1,p=1$0Q0dK9W/"
     "j+mDJYxD603gBg$IRrk9fDa6j78+6B1TnXzoGrFzwQJziDjlH1LrhguUv8"},
};

// A world whose user table stores its passwords plainly or hashed; "{pw}"
// in a statement stands for the stored value of the password pw.
class cache_world : public world {
public:
    cache_world(qmtest::db_kind kind, bool hashed, const std::string& servers_env = "")
        : world(kind, servers_env), hashed_(hashed) {
        exec_stored(
            "CREATE TABLE maildb ([user] TEXT, pass TEXT, fwd TEXT, quota TEXT, mask TEXT, "
            "[drop] TEXT);"
            "INSERT INTO maildb VALUES ('bob', {secret}, NULL, '100', NULL, '/var/mail/bob');"
            "INSERT INTO maildb VALUES ('ann', {pw}, 'fwdbox', '5', '10.0.0.0', '');"
            "INSERT INTO maildb VALUES ('a', {secret}, NULL, NULL, NULL, NULL);"
            "INSERT INTO maildb VALUES ('b', {secret}, NULL, NULL, NULL, NULL);"
            "INSERT INTO maildb VALUES ('c', {secret}, NULL, NULL, NULL, NULL);"
            "INSERT INTO maildb VALUES ('d', {secret}, NULL, NULL, NULL, NULL)");
    }
    void exec_stored(std::string sql) const {
        for (const auto& [password, value] : argon2id) {
            const std::string mark = "{" + password + "}";
            const std::string stored = "'" + (hashed_ ? "{ARGON2ID}" + value : password) + "'";
            for (std::size_t at; (at = sql.find(mark)) != std::string::npos;)
                sql.replace(at, mark.size(), stored);
        }
        exec(sql);
    }
    void write_cache_ini(const std::string& cache_keys) {
        write_ini(std::string(qmdir::full_ini) + cache_keys +
                  (hashed_ ? "default_pass_scheme ARGON2ID\n" : ""));
    }

private:
    bool hashed_;
};

enum source { database, cache, stale, any };

// A step: a command and its final answer line with where it must come
// from, or "sql:..." run on the table, or "sleep:<ms>".
struct step {
    std::string input;
    std::string answer;
    source from = any;
};

const std::string bob_ok = "+OK bob /var/mail/bob 0 quota=\"100\"\r\n";
const std::string bob_no = "-ERR bob password wrong or not a valid user\r\n";
const std::string ann_ok = "+OK ann config 0 fwd=\"fwdbox\" quota=\"5\"\r\n";
const std::string ann_no = "-ERR ann password wrong or not a valid user\r\n";
const std::string eve_no = "-ERR eve password wrong or not a valid user\r\n";
const std::string zed_ok = "+OK zed config 0\r\n";
const std::string zed_none = "-ERR zed Not Located in database\r\n";

source source_of(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (line.find("...Answered from the cache, expired") != std::string::npos) return stale;
        if (line.find("...Answered from the cache") != std::string::npos ||
            line.find("...Refused from the cache") != std::string::npos)
            return cache;
    }
    return database;
}

void walk(const cache_world& w, qmtest::child_session& session, const std::vector<step>& steps) {
    for (const step& s : steps) {
        if (s.input.rfind("sql:", 0) == 0) {
            w.exec_stored(s.input.substr(4));
            continue;
        }
        if (s.input.rfind("sleep:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(s.input.substr(6))));
            continue;
        }
        std::vector<std::string> lines = ask(session, s.input);
        ASSERT_FALSE(lines.empty()) << s.input;
        EXPECT_EQ(lines.back(), s.answer) << s.input;
        if (s.from != any) {
            EXPECT_EQ(source_of(lines), s.from) << s.input;
        }
    }
}

TEST_P(DirectoryCache, HitsMissesExpiryRefusalsAndEviction) {
    for (bool hashed : {false, true}) {
        SCOPED_TRACE(hashed ? "ARGON2ID" : "plain");
        cache_world w(db(), hashed);
        w.write_cache_ini("cache_ttl 2\ncache_negative_ttl 2\n");
        {
            qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
            walk(
                w, session,
                {
                    // A failed statement is no answer: nothing is remembered.
                    {"sql:ALTER TABLE maildb RENAME COLUMN pass TO pw", ""},
                    {"check bob secret", bob_no, database},
                    {"sql:ALTER TABLE maildb RENAME COLUMN pw TO pass", ""},
                    {"check bob secret", bob_ok, database},
                    {"check bob secret", bob_ok, cache},
                    {"lookup bob", bob_ok, cache},
                    {"check bob secret 10.9.9.9", bob_ok, cache},
                    // The mask is tested on every command against the kept one.
                    {"check ann pw 10.0.0.1", ann_ok, database},
                    {"check ann pw 192.168.1.1", ann_no, cache},
                    {"check ann pw 10.0.0.7", ann_ok, cache},
                    // A new password works at once; the old one until expiry.
                    {"sql:UPDATE maildb SET pass={new} WHERE [user]='bob'", ""},
                    {"check bob secret", bob_ok, cache},
                    {"check bob new", bob_ok, database},
                    {"check bob secret", bob_no, database},
                    {"check bob new", bob_ok, cache},
                    // A wrong password tried again is refused from the cache
                    // beside a kept right one as for a user without one;
                    // the right one still answers, a new one is asked.
                    {"check bob wrong", bob_no, database},
                    {"check bob wrong", bob_no, cache},
                    {"check bob new", bob_ok, cache},
                    {"check bob other", bob_no, database},
                    // Refusals: a failed password, an unknown user's lookup.
                    {"check eve x", eve_no, database},
                    {"check eve x", eve_no, cache},
                    {"check eve y", eve_no, database},
                    {"lookup zed", zed_none, database},
                    {"sql:INSERT INTO maildb VALUES ('zed', {secret}, NULL, NULL, NULL, NULL)", ""},
                    {"lookup zed", zed_none, cache},
                    {"check zed secret", zed_ok, database},
                    {"lookup zed", zed_ok, cache},
                    {"sleep:2100", ""},
                    {"check bob new", bob_ok, database},
                    {"check eve x", eve_no, database},
                    {"lookup zed", zed_ok, database},
                });
            EXPECT_EQ(session.finish().exit_code, 0);
        }
        // Three users kept: the least recently used leaves first. Refusals
        // for made-up names push out only each other (one place here).
        w.write_cache_ini("cache_ttl 60\ncache_size 3\ncache_negative_ttl 60\n");
        qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
        const std::string ok = "+OK ? config 0\r\n";
        auto check = [&](const char* user, source from) {
            std::string answer = ok;
            answer.replace(4, 1, user);
            return step{std::string("check ") + user + " secret", answer, from};
        };
        walk(w, session,
             {check("a", database), check("b", database), check("c", database), check("a", cache),
              check("d", database), check("b", database), check("c", database), check("d", cache),
              check("a", database)});
        for (int i = 0; i < 5; ++i) {
            const std::string name = "rnd" + std::to_string(i);
            walk(w, session,
                 {{"check " + name + " x",
                   "-ERR " + name + " password wrong or not a valid user\r\n", database}});
        }
        walk(w, session,
             {check("c", cache),
              check("d", cache),
              check("a", cache),
              {"check rnd4 x", "-ERR rnd4 password wrong or not a valid user\r\n", cache},
              {"check rnd3 x", "-ERR rnd3 password wrong or not a valid user\r\n", database}});
        EXPECT_EQ(session.finish().exit_code, 0);
    }
}

// A stored value that cannot be verified refuses the check, but leaves no
// refusal: once the administrator mends the row, the right password works at
// once. A wrong password against a sound value is still remembered.
TEST_P(DirectoryCache, OnlyAWrongPasswordIsRemembered) {
    cache_world w(db(), true);
    w.write_cache_ini("cache_ttl 60\ncache_negative_ttl 60\n");
    const std::string c_no = "-ERR c password wrong or not a valid user\r\n";
    // NULL, empty, malformed (a two-byte salt), an unknown scheme, a weak one.
    for (const char* broken : {"NULL", "''", "'{ARGON2ID}$argon2id$v=19$m=8,t=1,p=1$bm8$bm8'",
                               "'{NOPE}secret'", "'{PLAIN-MD5}5ebe2294ecd0e0f08eab7690d2a6ee69'"}) {
        SCOPED_TRACE(broken);
        qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
        walk(w, session,
             {{std::string("sql:UPDATE maildb SET pass=") + broken + " WHERE [user]='c'", ""},
              {"check c secret", c_no, database},
              {"sql:UPDATE maildb SET pass={secret} WHERE [user]='c'", ""},
              {"check c secret", "+OK c config 0\r\n", database},
              {"check c wrong", c_no, database},
              {"check c wrong", c_no, cache}});
        EXPECT_EQ(session.finish().exit_code, 0);
    }
}

// The database away in the middle of a session: a known user with the kept
// password is answered from the expired entry, everything else refused;
// the log says once that such answers began and once that they ended.
TEST_P(DirectoryCache, ExpiredEntriesAnswerWhileTheDatabaseFails) {
    std::unique_ptr<qmdir::own_servers> servers;
    if (db() == qmtest::db_kind::postgres) {
        servers = std::make_unique<qmdir::own_servers>("pg");
        ASSERT_TRUE(servers->started);
    }
    for (bool hashed : {false, true}) {
        SCOPED_TRACE(hashed ? "ARGON2ID" : "plain");
        cache_world w(db(), hashed, servers ? servers->env_file() : "");
        w.write_cache_ini("cache_ttl 1\n");
        qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
        walk(w, session,
             {{"check bob secret", bob_ok, database},
              {"check ann pw", ann_ok, database},
              {"lookup bob", bob_ok, cache},
              {"sleep:1100", ""}});

        // Away: the server halted, or the file gone (kept aside to come back).
        const std::string file = w.env().db_path(), aside = file + ".aside";
        if (servers) {
            ASSERT_TRUE(servers->halt());
        } else {
            std::filesystem::copy_file(file, aside);
            std::filesystem::remove(file);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        walk(w, session,
             {{"check bob secret", bob_ok, stale},
              {"lookup bob", bob_ok, stale},
              {"check bob wrong", bob_no, database},
              {"check ann pw 192.168.1.1", ann_no, stale},
              {"check ann pw 10.0.0.1", ann_ok, stale},
              {"check a secret", "-ERR a password wrong or not a valid user\r\n", database},
              {"lookup a", "-ERR a Not Located in database\r\n", database}});

        if (servers) {
            ASSERT_TRUE(servers->resume());
        } else {
            std::filesystem::rename(aside, file);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        walk(w, session,
             {{"check bob secret", bob_ok, database},
              {"check a secret", "+OK a config 0\r\n", database},
              {"check bob secret", bob_ok, cache}});
        EXPECT_EQ(session.finish().exit_code, 0);
        int began = 0, ended = 0;
        for (const std::string& line : w.log_messages()) {
            began += line ==
                     "ERROR: Cache: the database fails; known users are answered from "
                     "expired entries";
            ended += line.rfind("ERROR: Cache: the database answers again", 0) == 0;
        }
        EXPECT_EQ(began, 1) << w.log_text();
        EXPECT_EQ(ended, 1);
    }
}

// A server that takes connections and never answers: the command that meets
// it waits out its deadline, and for the retry interval after it a known
// user is answered from the expired entry at once, not after another
// deadline; a user the cache cannot answer still asks, and the server's
// first answer ends the rest.
class DirectoryCacheSilent : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryCacheSilent,
                         ::testing::Values(qmdir::db_case(qmtest::db_kind::postgres)),
                         qmdir::db_label);

TEST_P(DirectoryCacheSilent, RetryIntervalSparesTheDeadline) {
    qmdir::own_servers servers("pg");
    ASSERT_TRUE(servers.started);
    cache_world w(db(), false, servers.env_file());
    w.write_cache_ini("cache_ttl 1\ncache_retry_interval 60\n");
    qmtest::child_session session(QM_BINARY, w.options({"-debug"}));
    walk(w, session, {{"check bob secret", bob_ok, database}, {"sleep:1100", ""}});

    ASSERT_TRUE(servers.run({"signal", servers.dir, "pg", "STOP"}));
    using clock = std::chrono::steady_clock;
    auto sent = clock::now();
    walk(w, session, {{"check bob secret", bob_ok, stale}});
    EXPECT_GE(clock::now() - sent, std::chrono::seconds(14));  // the deadline, met once
    sent = clock::now();
    const std::vector<std::string> again = ask(session, "check bob secret");
    EXPECT_LT(clock::now() - sent, std::chrono::seconds(1));
    EXPECT_EQ(again.back(), bob_ok);
    bool rested = false;
    for (const std::string& line : again)
        rested = rested ||
                 line.find("expired entry (the database rests after failing)") != std::string::npos;
    EXPECT_TRUE(rested);
    ASSERT_TRUE(servers.run({"signal", servers.dir, "pg", "CONT"}));

    walk(w, session,
         {{"check a secret", "+OK a config 0\r\n", database},
          {"check bob secret", bob_ok, database}});
    EXPECT_EQ(session.finish().exit_code, 0);
}

}  // namespace
