// Two database servers behind one data source. The drivers take a list of
// hosts and connect to the first that answers; the reconnection after a lost
// connection (same connect string, the query once more) then reaches the
// other one. PostgreSQL runs a primary with a streaming hot standby, MariaDB a
// primary with a replica. The servers are the test's own: it kills, stops
// and promotes them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::ask;
using qmdir::world;
using qmtest::db_kind;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the tests keep a server silent: it takes connections but never
// answers (stopped with SIGSTOP).
constexpr std::chrono::seconds kServerSilentFor{25};
// The longest a command may wait on a silent server: each command has one
// deadline (15 s) for all its waits, the reconnection and its login among
// them, and is answered within a second of it.
constexpr std::chrono::seconds kSilentServerBound{16};

// MariaDB's driver takes no statement timeout: its read timeout (seconds)
// drops a connection whose server does not answer.
constexpr int kMariaDbReadTimeout = 5;

// The load under failover: so many authenticators checking in a loop while
// the serving server is killed; each may answer at most so many "-ERR" and
// must be served again within so long of the kill.
constexpr int kAuthenticators = 16;
constexpr int kMostErrorsEach = 1;
constexpr milliseconds kBackWithin{2000};
// Each pauses so long between checks: 1600 checks a second in all is a busy
// mail service, and a machine of two cores is not swamped by the test
// itself, which would measure the scheduler rather than the failover.
constexpr milliseconds kPauseBetweenChecks{10};

// Stands in for a server in the moment it dies on the port: it takes one
// connection and drops it, and the port refuses from then on.
class dying_server {
public:
    explicit dying_server(const std::string& port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        listening_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                     ::listen(fd_, 8) == 0;
        waiter_ = std::thread([this] {
            pollfd wait{fd_, POLLIN, 0};
            while (!done_ && ::poll(&wait, 1, 100) == 0) {
            }
            int taken = done_ ? -1 : ::accept(fd_, nullptr, nullptr);
            // The port refuses before the client sees the drop.
            ::close(fd_);
            if (taken >= 0) ::close(taken);
        });
    }
    ~dying_server() {
        done_ = true;
        waiter_.join();
    }
    bool listening() const { return listening_; }

private:
    int fd_;
    bool listening_ = false;
    std::atomic<bool> done_{false};
    std::thread waiter_;
};

class pair_test : public qmdir::database_test {
protected:
    // The pair, the standard table on the first server and, once the second
    // has its copy, a data source listing both (first, second).
    void start_pair(const std::string& pqopt_extra = "") {
        servers_ = std::make_unique<qmdir::own_servers>(db() == db_kind::postgres ? "pg-pair"
                                                                                  : "mariadb-pair");
        ASSERT_TRUE(servers_->started);
        qmtest::server_settings settings = qmtest::read_servers_env(servers_->env_file());
        w_ = std::make_unique<world>(db(), servers_->env_file());
        w_->standard_table();
        w_->write_ini(qmdir::full_ini);
        wait_for_copy(qmtest::second_server(settings));
        std::string p1 = first_port_ = settings.at(port_key("")), p2 = settings.at(port_key("2"));
        std::vector<std::pair<std::string, std::string>> dsn;
        for (auto setting : w_->server().dsn_settings()) {
            if (setting.first == "Port") continue;
            if (setting.first == "Servername") setting.second = "127.0.0.1,127.0.0.1";
            if (setting.first == "Server") setting.second = "127.0.0.1:" + p1 + ",127.0.0.1:" + p2;
            dsn.push_back(setting);
        }
        if (db() == db_kind::postgres)
            dsn.emplace_back("pqopt", "port=" + p1 + "," + p2 + pqopt_extra);
        else
            dsn.emplace_back("READ_TIMEOUT", std::to_string(kMariaDbReadTimeout));
        w_->env().set_dsn("quillmar", dsn);
    }

    std::string port_key(const char* n) const {
        return std::string(db() == db_kind::postgres ? "QM_PG" : "QM_MARIADB") + n + "_PORT";
    }

    // Replication is asynchronous: the second server may lag a moment.
    void wait_for_copy(const qmtest::server_settings& second) {
        qmtest::server_database copy(db(), second, w_->server().name());
        for (int i = 0; i < 200; ++i) {
            try {
                if (copy.query("SELECT COUNT(*) FROM maildb").at(0).at(0) == "8") return;
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(milliseconds(100));
        }
        FAIL() << "the second server has no copy of the user table";
    }

    // The "first" or "second" server of the pair; sig as kill(1) takes it.
    bool signal(const char* server, const char* sig) {
        return servers_->run({"signal", servers_->dir, name_of(server), sig});
    }
    std::string name_of(const char* server) const {
        std::string name = db() == db_kind::postgres ? "pg" : "mariadb";
        return std::string(server) == "second" ? name + "2" : name;
    }

    // SIGKILL to the first server and all its processes, sent from here:
    // the script's own start-up can take a good part of a second on a busy
    // machine, which is no time of the authenticators'. A killed process
    // runs no more once kill() returns.
    bool kill_first_now() {
        std::string name = name_of("first");
        std::ifstream file(servers_->dir + "/" + name +
                           (db() == db_kind::postgres ? "/data/postmaster.pid" : "/mysqld.pid"));
        pid_t pid = 0;
        if (!(file >> pid) || pid <= 0) return false;
        std::vector<pid_t> all{pid};
        std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                               "/children");
        for (pid_t child; children >> child;) all.push_back(child);
        for (pid_t p : all) ::kill(p, SIGKILL);
        return true;
    }

    world& w() { return *w_; }
    std::string first_port_;
    qmdir::own_servers& servers() { return *servers_; }

private:
    std::unique_ptr<qmdir::own_servers> servers_;
    std::unique_ptr<world> w_;
};

class DirectoryFailover : public pair_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryFailover,
                         qmdir::both_paths({db_kind::postgres, db_kind::mariadb}), qmdir::db_label);

TEST_P(DirectoryFailover, KilledServerNextCommandServedByTheOther) {
    ASSERT_NO_FATAL_FAILURE(start_pair());
    qmtest::child_session session(QM_BINARY, w().options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);

    // The reconnection first meets the server in the moment it dies, and
    // then the other one.
    ASSERT_TRUE(signal("first", "KILL"));
    {
        dying_server dying(first_port_);
        ASSERT_TRUE(dying.listening());
        EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w().log_text();
    }
    EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
    EXPECT_EQ(ask(session, "lookup bob"), qmdir::bob_found);
    EXPECT_TRUE(w().log_has("ERROR: Reconnected to database driver (quillmar)")) << w().log_text();

    // A new authenticator starts on the second while the first is dead.
    EXPECT_EQ(w().run("check bob secret\ncheck bob wrong\nquit\n").out,
              qmdir::bob_found[0] + qmdir::bob_refused[0] + "+OK\r\n");

    // Both down: refused; served again when one comes back.
    ASSERT_TRUE(signal("second", "KILL"));
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
    ASSERT_TRUE(servers().resume(name_of("first")));
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w().log_text();
    qmtest::child_result end = session.finish();
    EXPECT_EQ(end.exit_code, 0);
    EXPECT_EQ(end.err, "");
}

// A server that takes connections but never answers is woken again after
// kServerSilentFor. A command that meets it must be answered within
// kSilentServerBound of being sent, while it is still silent, and rightly;
// what each driver does meanwhile is written out.
class DirectorySilentServer : public pair_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectorySilentServer,
                         ::testing::Values(qmdir::db_case(db_kind::postgres),
                                           qmdir::db_case(db_kind::mariadb)),
                         qmdir::db_label);

TEST_P(DirectorySilentServer, AnswersBounded) {
    ASSERT_NO_FATAL_FAILURE(start_pair());
    qmtest::child_session running(QM_BINARY, w().options());
    EXPECT_EQ(ask(running, "check bob secret"), qmdir::bob_found);

    auto while_silent = [&](qmtest::child_session& session, const char* when) {
        auto sent = steady::now();
        ASSERT_TRUE(session.write("check bob secret\n"));
        std::vector<std::string> answer = session.read_answer(kServerSilentFor);
        auto waited = std::chrono::duration_cast<milliseconds>(steady::now() - sent);
        ASSERT_TRUE(signal("first", "CONT"));
        std::cout << qmtest::db_kind_name(db()) << ", silent " << when << ": answered after "
                  << waited.count() << " ms: " << (answer.empty() ? "nothing\n" : answer[0]);
        EXPECT_LE(waited, kSilentServerBound);
        // MariaDB's driver goes on to its next server only when a connect is
        // refused: an authenticator that starts meanwhile gives up.
        if (db() == db_kind::mariadb && std::string(when) == "at start-up") {
            ASSERT_FALSE(answer.empty());
            EXPECT_EQ(answer[0].rfind("-DEAD: ", 0), 0u);
            return;
        }
        EXPECT_TRUE(answer == qmdir::bob_found || answer == qmdir::bob_refused) << w().log_text();
        EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
    };
    ASSERT_TRUE(signal("first", "STOP"));
    while_silent(running, "mid-session");
    ASSERT_TRUE(signal("first", "STOP"));
    qmtest::child_session starting(QM_BINARY, w().options());
    while_silent(starting, "at start-up");
}

// A data source that wants a writable server (target_session_attrs) is
// refused by the standby until it is promoted, and then served by it.
class DirectoryPromotion : public pair_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryPromotion,
                         ::testing::Values(qmdir::db_case(db_kind::postgres)), qmdir::db_label);

TEST_P(DirectoryPromotion, PrimaryKilledStandbyPromoted) {
    ASSERT_NO_FATAL_FAILURE(start_pair(" target_session_attrs=read-write"));
    qmtest::child_session session(QM_BINARY, w().options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    ASSERT_TRUE(signal("first", "KILL"));
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_refused);
    EXPECT_TRUE(w().log_text().find("session is read-only") != std::string::npos) << w().log_text();
    ASSERT_TRUE(servers().run({"promote", servers().dir}));
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found) << w().log_text();
    EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
}

// Stored passwords rewritten at login while a hot standby serves: the write
// is refused (25006, read-only transaction), the login succeeds and the user
// is not tried again.
class DirectoryStandbyRehash : public pair_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryStandbyRehash,
                         ::testing::Values(qmdir::db_case(db_kind::postgres)), qmdir::db_label);

TEST_P(DirectoryStandbyRehash, WriteRefusedLoginServed) {
    ASSERT_NO_FATAL_FAILURE(start_pair(" target_session_attrs=standby"));
    w().write_ini(std::string(qmdir::full_ini) +
                  "default_pass_scheme PLAIN\npass_rehash_scheme SSHA256\n");
    qmtest::child_session session(QM_BINARY, w().options());
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    EXPECT_EQ(ask(session, "check bob secret"), qmdir::bob_found);
    EXPECT_EQ(ask(session, "check bob wrong"), qmdir::bob_refused);
    EXPECT_EQ(session.finish().exit_code, 0);
    std::vector<std::string> log = w().log_messages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "ERROR: Stored password of user (bob) not rewritten in SSHA256; not tried "
                         "again for this user"),
              1)
        << w().log_text();
    EXPECT_TRUE(w().log_has_prefix("ERROR: Database error while writing (code -1) State:25006"))
        << w().log_text();
    EXPECT_EQ(w().scalar("SELECT pass FROM maildb WHERE [user] = 'bob'"), "secret");
}

// Authenticators checking in a loop, a right password and then a wrong one,
// while the serving server is killed. Each counts the "-ERR" answers to its
// right checks and the time from the kill to its first "+OK" to a check sent
// after it; any other answer is wrong.
class DirectoryFailoverLoad : public pair_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryFailoverLoad,
                         ::testing::Values(qmdir::db_case(db_kind::postgres, true),
                                           qmdir::db_case(db_kind::mariadb, true)),
                         qmdir::db_label);

TEST_P(DirectoryFailoverLoad, KilledUnderLoad) {
    ASSERT_NO_FATAL_FAILURE(start_pair());
    struct figures {
        int answers = 0, errors = 0, wrong = 0;
        milliseconds back{-1};
    };
    std::vector<figures> each(kAuthenticators);
    std::vector<std::unique_ptr<qmtest::child_session>> sessions;
    for (int i = 0; i < kAuthenticators; ++i)
        sessions.push_back(std::make_unique<qmtest::child_session>(QM_BINARY, w().options()));
    std::atomic<bool> done{false};
    std::atomic<int> serving{0};            // authenticators that have answered once
    std::atomic<steady::rep> killed_at{0};  // 0 until the kill
    std::vector<std::thread> threads;
    for (int i = 0; i < kAuthenticators; ++i)
        threads.emplace_back([&, i] {
            figures& f = each[i];
            for (int n = 0; !done; ++n) {
                bool right = n % 2 == 0;
                steady::rep kill = killed_at;
                std::vector<std::string> answer =
                    ask(*sessions[i], right ? "check bob secret" : "check bob wrong");
                if (++f.answers == 1) ++serving;
                if (answer == (right ? qmdir::bob_found : qmdir::bob_refused)) {
                    if (right && kill != 0 && f.back.count() < 0)
                        f.back = std::chrono::duration_cast<milliseconds>(
                            steady::now() - steady::time_point(steady::duration(kill)));
                } else if (right && answer == qmdir::bob_refused) {
                    ++f.errors;
                } else {
                    ++f.wrong;
                }
                std::this_thread::sleep_for(kPauseBetweenChecks);
            }
        });
    // Every authenticator is connected and checking before the kill.
    for (int i = 0; i < 600 && serving < kAuthenticators; ++i)
        std::this_thread::sleep_for(milliseconds(100));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(kill_first_now());
    killed_at = steady::now().time_since_epoch().count();
    std::this_thread::sleep_for(kBackWithin + std::chrono::seconds(3));
    done = true;
    for (std::thread& t : threads) t.join();

    milliseconds slowest{0};
    for (int i = 0; i < kAuthenticators; ++i) {
        const figures& f = each[i];
        std::cout << qmtest::db_kind_name(db()) << " authenticator " << i << ": " << f.answers
                  << " answers, " << f.errors << " -ERR, " << f.wrong << " wrong, back "
                  << f.back.count() << " ms after the kill\n";
        EXPECT_EQ(f.wrong, 0);
        EXPECT_LE(f.errors, kMostErrorsEach);
        EXPECT_GE(f.back.count(), 0);
        EXPECT_LE(f.back, kBackWithin);
        slowest = std::max(slowest, f.back);
    }
    std::cout << qmtest::db_kind_name(db()) << ": all back within " << slowest.count()
              << " ms of the kill" << std::endl;
    for (auto& s : sessions) EXPECT_EQ(s->finish().exit_code, 0);
    if (HasFailure()) std::cout << w().log_text();
}

}  // namespace
