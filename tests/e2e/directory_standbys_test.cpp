// Checks read from hot standbys, the rehash written to the primary through
// odbc_write_dsn. PostgreSQL runs a primary with two streaming standbys; the
// servers are the test's own: it kills them. What each server served is read
// from its own statistics (pg_stat_database).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;
using qmtest::db_kind;
using std::chrono::milliseconds;

constexpr int kChecks = 200;
constexpr int kAuthenticators = 8;
const char* const kRehashIni = "default_pass_scheme PLAIN\npass_rehash_scheme SSHA256\n";

class standby_test : public qmdir::database_test {
protected:
    // The set, the standard table on the primary and its copy on each
    // standby; the data source "quillmar" prefers a standby (the standbys in
    // order, then the primary), "primary" is the primary alone.
    void start(const char* set, int standbys) {
        servers_ = std::make_unique<qmdir::own_servers>(set);
        ASSERT_TRUE(servers_->started);
        settings_ = qmtest::read_servers_env(servers_->env_file());
        w_ = std::make_unique<world>(db_kind::postgres, servers_->env_file());
        w_->standard_table();
        std::string ports, hosts;
        for (int n = 2; n <= standbys + 1; ++n) {
            servers_at_.push_back(std::make_unique<qmtest::server_database>(
                db_kind::postgres, qmtest::second_server(settings_, std::to_string(n)),
                w_->server().name()));
            ASSERT_NO_FATAL_FAILURE(wait_for(*servers_at_.back(), "SELECT COUNT(*) FROM maildb",
                                             [](const std::string& v) { return v == "8"; }));
            ports += settings_.at("QM_PG" + std::to_string(n) + "_PORT") + ",";
            hosts += "127.0.0.1,";
        }
        ports += settings_.at("QM_PG_PORT");
        hosts += "127.0.0.1";
        std::vector<std::pair<std::string, std::string>> dsn;
        for (auto setting : w_->server().dsn_settings()) {
            if (setting.first == "Port") continue;
            if (setting.first == "Servername") setting.second = hosts;
            dsn.push_back(setting);
        }
        dsn.emplace_back("pqopt", "port=" + ports + " target_session_attrs=prefer-standby");
        w_->env().set_dsn("quillmar", dsn);
        w_->env().set_dsn("primary", w_->server().dsn_settings());
    }

    template <class Done>
    void wait_for(const qmtest::server_database& at, const std::string& sql, Done done) {
        std::string last;
        for (int i = 0; i < 200; ++i) {
            try {
                if (done(last = at.query(sql).at(0).at(0))) return;
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        FAIL() << sql << " gave " << last;
    }

    // Transactions committed in the test's database: the primary's, then
    // each standby's.
    std::vector<long> commits() const {
        std::vector<long> out{commits_at(w_->server())};
        for (const auto& s : servers_at_) out.push_back(commits_at(*s));
        return out;
    }
    static long commits_at(const qmtest::server_database& at) {
        return std::stol(
            at.query("SELECT xact_commit FROM pg_stat_database WHERE datname = current_database()")
                .at(0)
                .at(0));
    }

    bool signal(const std::string& server, const char* sig) {
        return servers_->run({"signal", servers_->dir, server, sig});
    }

    world& w() { return *w_; }
    const qmtest::server_database& standby(int i) const { return *servers_at_.at(i); }
    qmtest::server_settings settings_;

private:
    std::unique_ptr<qmdir::own_servers> servers_;
    std::unique_ptr<world> w_;
    std::vector<std::unique_ptr<qmtest::server_database>> servers_at_;
};

class DirectoryStandbys : public standby_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryStandbys,
                         ::testing::Values(qmdir::db_case(db_kind::postgres)), qmdir::db_label);

TEST_P(DirectoryStandbys, ChecksOnStandbysRehashOnPrimary) {
    ASSERT_NO_FATAL_FAILURE(start("pg-trio", 2));
    w().write_ini(std::string(qmdir::full_ini) + kRehashIni + "odbc_write_dsn primary\n");
    const std::string checked = w().run("", {"-check"}).out;
    EXPECT_NE(checked.find("\nall is well\n"), std::string::npos) << checked;

    const std::vector<long> before = commits();
    std::string input;
    for (int i = 0; i < kChecks / 2; ++i) input += "check bob secret\ncheck bob wrong\n";
    qmtest::child_result r = w().run(input + "quit\n");
    std::string expected;
    for (int i = 0; i < kChecks / 2; ++i) expected += qmdir::bob_found[0] + qmdir::bob_refused[0];
    EXPECT_EQ(r.out, expected + "+OK\r\n") << w().log_text();

    // A backend's counts reach the statistics as it ends, a moment after the
    // authenticator.
    std::vector<long> after;
    for (int i = 0; i < 50; ++i) {
        after = commits();
        if (after[1] - before[1] >= kChecks) break;
        std::this_thread::sleep_for(milliseconds(100));
    }
    std::cout << "commits during " << kChecks << " checks: primary " << after[0] - before[0]
              << ", first standby " << after[1] - before[1] << ", second standby "
              << after[2] - before[2] << "\n";
    EXPECT_GE(after[1] - before[1], kChecks);
    EXPECT_LT(after[0] - before[0], kChecks / 10);

    const std::string pass = "SELECT pass FROM maildb WHERE [user] = 'bob'";
    EXPECT_EQ(w().scalar(pass).rfind("{SSHA256}", 0), 0u) << w().log_text();
    for (int i = 0; i < 2; ++i)
        wait_for(standby(i), pass,
                 [](const std::string& v) { return v.rfind("{SSHA256}", 0) == 0; });
}

// Authenticators checking in a loop while the serving standby is killed:
// every right password is answered +OK or -ERR (a failure of the moment),
// every wrong one -ERR, and the checks move to the other standby.
TEST_P(DirectoryStandbys, StandbyKilledUnderLoad) {
    ASSERT_NO_FATAL_FAILURE(start("pg-trio", 2));
    w().write_ini(std::string(qmdir::full_ini) + "odbc_write_dsn primary\n");
    std::vector<std::unique_ptr<qmtest::child_session>> sessions;
    for (int i = 0; i < kAuthenticators; ++i)
        sessions.push_back(std::make_unique<qmtest::child_session>(QM_BINARY, w().options()));
    std::atomic<bool> done{false};
    std::atomic<int> answers{0}, wrong{0}, errors{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kAuthenticators; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; !done; ++n) {
                const bool right = n % 2 == 0;
                auto answer = ask(*sessions[i], right ? "check bob secret" : "check bob wrong");
                ++answers;
                if (right && answer == qmdir::bob_refused)
                    ++errors;
                else if (answer != (right ? qmdir::bob_found : qmdir::bob_refused))
                    ++wrong;
                std::this_thread::sleep_for(milliseconds(10));
            }
        });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(signal("pg2", "KILL"));
    const int at_kill = answers;
    const long second_before = commits_at(standby(1));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    done = true;
    for (std::thread& t : threads) t.join();
    for (auto& s : sessions) EXPECT_EQ(s->finish().exit_code, 0);
    std::cout << answers << " answers (" << at_kill << " before the kill), " << errors
              << " -ERR to right passwords, " << wrong << " wrong\n";
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(errors, kAuthenticators);
    EXPECT_GT(answers - at_kill, 10 * kAuthenticators);
    // The ended backends' counts reach the statistics a moment later.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GE(commits_at(standby(1)) - second_before, (answers - at_kill) / 2) << w().log_text();
}

// A write source that cannot answer: the login is served, the stored value
// stays, and one line names the data source and the error. -check says what
// a rehash would meet.
TEST_P(DirectoryStandbys, WriteSourceCannotAnswer) {
    ASSERT_NO_FATAL_FAILURE(start("pg-pair", 1));
    auto dsn_at_port = [&](const std::string& port) {
        std::vector<std::pair<std::string, std::string>> dsn;
        for (auto setting : w().server().dsn_settings())
            dsn.push_back(setting.first == "Port" ? std::make_pair(setting.first, port) : setting);
        return dsn;
    };
    w().env().set_dsn("deadport", dsn_at_port("1"));
    w().env().set_dsn("standby", dsn_at_port(settings_.at("QM_PG2_PORT")));
    struct write_case {
        const char* what;
        const char* source;
        bool kill_primary;  // before the login
        const char* error;  // in the log line
        bool check_refuses;
    };
    const write_case cases[] = {
        {"nothing listens", "deadport", false, "Connection refused", true},
        {"a standby, read-only", "standby", false, "read-only transaction", false},
        {"the primary, killed", "primary", true, "Connection refused", true},
    };
    for (const write_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.kill_primary) {
            ASSERT_TRUE(signal("pg", "KILL"));
        }
        w().env().write_file("quillmar.log", "");
        w().write_ini(std::string(qmdir::full_ini) + kRehashIni + "odbc_write_dsn " + c.source +
                      "\n");
        qmtest::child_result r = w().run("check bob secret\ncheck bob secret\nquit\n");
        EXPECT_EQ(r.out, qmdir::bob_found[0] + qmdir::bob_found[0] + "+OK\r\n");
        int lines = 0;
        const std::string prefix = "ERROR: Write to data source (" + std::string(c.source) +
                                   ") of odbc_write_dsn failed: ";
        for (const std::string& m : w().log_messages())
            if (m.rfind(prefix, 0) == 0 && m.find(c.error) != std::string::npos) ++lines;
        EXPECT_EQ(lines, 1) << w().log_text();
        const std::string pass = "SELECT pass FROM maildb WHERE [user] = 'bob'";
        EXPECT_EQ(c.kill_primary ? standby(0).query(pass).at(0).at(0) : w().scalar(pass), "secret");
        const std::string refusal =
            "cannot connect to data source '" + std::string(c.source) + "' (odbc_write_dsn)";
        EXPECT_EQ(w().run("", {"-check"}).out.find(refusal) != std::string::npos, c.check_refuses)
            << w().run("", {"-check"}).out;
    }
}

}  // namespace
