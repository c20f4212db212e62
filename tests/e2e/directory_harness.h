// A private world for the whole-program directory tests: a user table
// reached through a real ODBC driver under the data source "quillmar" (an
// SQLite file, or a scratch database on the test run's PostgreSQL or MariaDB
// server), a quillmar.ini naming it, and the built binary run over pipes in
// that directory, as a mail server runs it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/db_servers.h"
#include "support/odbc_env.h"

namespace qmdir {

using qmtest::db_kind;

// Every column set, in an order other than the select list's, so that the
// fixed order of the list is what the tests see. The user name and mail
// drop columns carry names that SQL reserves, so they are bracketed.
inline const char* const full_ini =
    "field_maildrop [drop]\n"
    "field_mailmask mask\n"
    "field_quota quota\n"
    "field_forward fwd\n"
    "field_password pass\n"
    "field_username [user]\n"
    "odbc_mail_user_table maildb\n";

// Bob's answers from the standard table under full_ini, as a session's
// ask() returns them: his row, and a refusal.
inline const std::vector<std::string> bob_found = {"+OK bob /var/mail/bob 0 quota=\"100\"\r\n"};
inline const std::vector<std::string> bob_refused = {
    "-ERR bob password wrong or not a valid user\r\n"};

// Whether the ini files that worlds write turn the fast path on; the
// fixture sets it for the instantiations that run with the key.
inline bool& fast_path_in_ini() {
    static bool on = false;
    return on;
}

class world {
public:
    // A server world reads its server from servers_env, by default the file
    // the test run names.
    explicit world(db_kind kind = db_kind::sqlite, const std::string& servers_env = "")
        : env_("quillmar") {
        if (kind != db_kind::sqlite) {
            server_ = std::make_unique<qmtest::server_database>(
                kind, qmtest::read_servers_env(servers_env));
            env_.set_dsn("quillmar", server_->dsn_settings());
        }
    }

    odbc_env& env() { return env_; }
    const qmtest::server_database& server() const { return *server_; }

    // A further setting of the server data source, such as a driver timeout.
    void add_dsn_setting(const std::string& key, const std::string& value) {
        std::vector<std::pair<std::string, std::string>> settings = server_->dsn_settings();
        extra_.emplace_back(key, value);
        settings.insert(settings.end(), extra_.begin(), extra_.end());
        env_.set_dsn("quillmar", settings);
    }

    // Statements on the world's database; [name] is a quoted name.
    void exec(const std::string& sql) const {
        if (server_)
            server_->exec(sql);
        else
            env_.exec(sql);
    }

    // Statements in a transaction of another connection, held open (what
    // they wrote locked) until committed, as an administrator's change that
    // is under way.
    std::unique_ptr<held_transaction> hold_transaction(const std::string& sql) const {
        return server_ ? server_->hold_transaction(sql) : env_.hold_transaction(sql);
    }

    std::string scalar(const std::string& sql) const {
        if (server_) return server_->query(sql).at(0).at(0);
        return env_.query(sql).at(0).at(0).value_or("");
    }

    // The standard user table with a handful of users.
    void standard_table() {
        exec(
            "CREATE TABLE maildb ([user] TEXT, pass TEXT, fwd TEXT, quota TEXT, mask TEXT, [drop] "
            "TEXT);"
            "INSERT INTO maildb VALUES ('bob', 'secret', 'NULL', '100', NULL, '/var/mail/bob');"
            "INSERT INTO maildb VALUES ('ann', 'pw', 'fwdbox', '100', '10.0.0.0', '');"
            "INSERT INTO maildb VALUES ('cat', 'meow', NULL, '', '192.168.0.0', '/var/mail/cat');"
            "INSERT INTO maildb VALUES ('dan', 'x', 'null', NULL, NULL, NULL);"
            "INSERT INTO maildb VALUES ('eve', 'y', '', '', '10.0.1.0', '');"
            "INSERT INTO maildb VALUES ('twin', 'a', '', '', '', '');"
            "INSERT INTO maildb VALUES ('twin', 'a', '', '', '', '');"
            "INSERT INTO maildb VALUES ('carl@example.org', 'c', 'Null', '5', '', '');");
    }

    void write_ini(const std::string& text) {
        if (!fast_path_in_ini()) {
            env_.write_file("quillmar.ini", text);
            return;
        }
        std::string with_key = text;
        if (!with_key.empty() && with_key.back() != '\n') with_key += '\n';
        env_.write_file("quillmar.ini", with_key + "odbc_fast_path true\n");
    }

    qmtest::child_options options(std::vector<std::string> args = {}) const {
        qmtest::child_options o;
        o.argv0 = "quillmar";
        o.args = std::move(args);
        o.cwd = env_.dir();
        for (const std::string& setting : env_.child_environment()) {
            std::size_t eq = setting.find('=');
            o.env.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
        }
        return o;
    }

    qmtest::child_result run(const std::string& input, std::vector<std::string> args = {}) const {
        return qmtest::run_child(QM_BINARY, input, options(std::move(args)));
    }

    std::string log_text() const {
        std::ifstream in(env_.dir() + "/quillmar.log", std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The log's messages without the process id and time stamp in front.
    std::vector<std::string> log_messages() const {
        std::vector<std::string> out;
        std::istringstream in(log_text());
        std::string line;
        while (std::getline(in, line)) {
            std::size_t pid_end = line.find(' ');
            out.push_back(pid_end != std::string::npos && line.size() >= pid_end + 22
                              ? line.substr(pid_end + 22)
                              : line);
        }
        return out;
    }

    bool log_has(const std::string& message) const {
        for (const std::string& m : log_messages())
            if (m == message) return true;
        return false;
    }

    bool log_has_prefix(const std::string& prefix) const {
        for (const std::string& m : log_messages())
            if (m.rfind(prefix, 0) == 0) return true;
        return false;
    }

private:
    odbc_env env_;
    std::unique_ptr<qmtest::server_database> server_;
    std::vector<std::pair<std::string, std::string>> extra_;
};

// One command to a running authenticator and its answer lines; a server
// that has to be waited for may take a while.
inline std::vector<std::string> ask(qmtest::child_session& session, const std::string& command,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    EXPECT_TRUE(session.write(command + "\n"));
    return session.read_answer(timeout);
}

// Servers of a test's own, for tests that stop, kill or promote them
// (scripts/db-servers.sh start DIR SET); stopped and removed at the end. They
// live beside the test run's servers when there are any, so that the test
// command's stop ends them too should the test never get to it.
struct own_servers {
    explicit own_servers(const std::string& set) {
        const char* run_env = std::getenv("QM_DB_SERVERS_ENV");
        std::filesystem::path base = std::filesystem::temp_directory_path();
        if (run_env) base = std::filesystem::path(run_env).parent_path() / "own";
        std::filesystem::create_directories(base);
        std::string pattern = (base / "qm_srv_XXXXXX").string();
        dir = mkdtemp(&pattern[0]) ? pattern : "";
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all |
                                              std::filesystem::perms::group_exec |
                                              std::filesystem::perms::others_exec);
        // One start at a time: a server pair's start (initdb, a base backup,
        // a replica catching up) is the heaviest moment of the run, and two of
        // them side by side on a loaded machine outlast the script's waits.
        int lock = ::open((base / "start.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock >= 0) ::flock(lock, LOCK_EX);
        started = run({"start", dir, set});
        if (lock >= 0) ::close(lock);
    }
    ~own_servers() {
        run({"stop", dir});
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // The script's command on these servers, e.g. {"signal", dir, "pg", "KILL"}.
    static bool run(const std::vector<std::string>& args) {
        return qmtest::run_db_servers_script(std::string(QM_SOURCE_DIR) + "/scripts/db-servers.sh",
                                             args);
    }
    bool halt() const { return run({"halt", dir}); }
    bool resume(const std::string& server = "") const {
        return server.empty() ? run({"resume", dir}) : run({"resume", dir, server});
    }
    std::string env_file() const { return dir + "/servers.env"; }

    std::string dir;
    bool started = false;
};

// A PostgreSQL server of the test's own, named `name`, for a test that takes
// the database away under a running peer: the test fails when the test
// command requires servers and none could be started, and is skipped
// otherwise.
#define QM_OWN_PG_SERVERS(name)                                                            \
    qmdir::own_servers name("pg");                                                         \
    if (!name.started) {                                                                   \
        if (qmtest::servers_required()) FAIL() << "no PostgreSQL server could be started"; \
        GTEST_SKIP() << "no PostgreSQL server could be started";                           \
    }                                                                                      \
    static_assert(true, "")

// One database, with the fast path off (the ini as written) or on.
struct db_case {
    db_case(db_kind k, bool f = false) : kind(k), fast(f) {}
    db_kind kind;
    bool fast;
};
inline void PrintTo(const db_case& c, std::ostream* out) {
    *out << qmtest::db_kind_name(c.kind) << (c.fast ? " fast path" : "");
}

// Each database twice: every answer and error line must be the same with
// the fast path on.
inline ::testing::internal::ParamGenerator<db_case> both_paths(
    std::initializer_list<db_kind> kinds) {
    std::vector<db_case> cases;
    for (bool fast : {false, true})
        for (db_kind kind : kinds) cases.emplace_back(kind, fast);
    return ::testing::ValuesIn(cases);
}

// The fixture of the tests that run on every database: a missing server
// skips them when run by hand and fails them under the test command.
class database_test : public ::testing::TestWithParam<db_case> {
protected:
    void SetUp() override {
        fast_path_in_ini() = GetParam().fast;
        if (qmtest::has_server(db(), qmtest::read_servers_env())) return;
        if (qmtest::servers_required())
            FAIL() << "no " << qmtest::db_kind_name(db()) << " server for the test run";
        GTEST_SKIP() << "no " << qmtest::db_kind_name(db())
                     << " server (QM_DB_SERVERS_ENV names the file of scripts/db-servers.sh)";
    }
    void TearDown() override { fast_path_in_ini() = false; }
    db_kind db() const { return GetParam().kind; }
    bool fast() const { return GetParam().fast; }
};

inline std::string db_label(const ::testing::TestParamInfo<db_case>& info) {
    return std::string(qmtest::db_kind_name(info.param.kind)) +
           (info.param.fast ? "_FastPath" : "");
}

}  // namespace qmdir

#define QM_ON_EVERY_DATABASE(suite)                                                               \
    class suite : public qmdir::database_test {};                                                 \
    INSTANTIATE_TEST_SUITE_P(Db, suite,                                                           \
                             qmdir::both_paths({qmdir::db_kind::sqlite, qmdir::db_kind::postgres, \
                                                qmdir::db_kind::mariadb}),                        \
                             qmdir::db_label)
