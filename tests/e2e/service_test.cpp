// The service (-serve) as a whole program: Dovecot's doveadm as a client of
// its authentication socket (no Dovecot daemon), clients that break either
// protocol, each limit, a slow worker, a worker killed, a database stopped,
// SIGTERM and SIGHUP.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using namespace std::chrono_literals;
using qmdir::world;
using qmsvc::auth_client;
using qmsvc::connection;
using qmsvc::map_client;
using qmsvc::service;

const char* const doveadm_binary = "/usr/bin/doveadm";

bool has_line(const std::string& text, const std::string& line) {
    return text.find(line) != std::string::npos;
}

// doveadm auth test against the socket, with a configuration of its own so
// that the machine's Dovecot settings play no part.
qmtest::child_result doveadm(world& w, const std::string& socket, std::vector<std::string> args) {
    const std::string dir = w.env().dir();
    w.env().write_file("dovecot.conf", "base_dir = " + dir + "/dovecot\nstate_dir = " + dir +
                                           "/dovecot\nssl = no\nlog_path = /dev/stderr\n");
    qmtest::child_options o;
    o.args = {"-c", dir + "/dovecot.conf", "auth", "test", "-a", socket};
    o.args.insert(o.args.end(), args.begin(), args.end());
    return qmtest::run_child(doveadm_binary, "", o);
}

// doveadm's statuses: 0 a right password, 77 a refused login.
TEST(Service, DoveadmLogins) {
    std::string missing;
    if (!qmpeer::programs_here({doveadm_binary}, missing)) GTEST_SKIP() << missing;
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    struct row {
        std::vector<std::string> args;
        int status;
        std::string shown;
    };
    const std::vector<row> rows = {
        {{"alice", "wonderland"}, 0, "user=alice@example.org"},
        {{"alice@example.org", "wonderland"}, 0, "auth succeeded"},
        {{"alice", "Wonderland"}, 77, "auth failed"},
        {{"nobody", "wonderland"}, 77, "auth failed"},
        // rip= is the address tested against the user's mask.
        {{"-x", "rip=192.168.7.1", "carol", "c4r0l"}, 0, "user=carol@example.org"},
        {{"-x", "rip=10.1.1.1", "carol", "c4r0l"}, 77, "auth failed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[r.args.size() - 2]);
        qmtest::child_result result = doveadm(w, s.auth_socket(), r.args);
        EXPECT_EQ(result.exit_code, r.status) << result.out << result.err;
        EXPECT_TRUE(has_line(result.out + result.err, r.shown)) << result.out << result.err;
    }
}

// The database stopped: a temporary failure in each protocol's words, and
// never a wrong password or an unknown user. A client of protocol 1.0
// (Postfix, Exim) reads a temporary failure only from a connection closed
// before the answer.
TEST(Service, DatabaseStopped) {
    std::string missing;
    if (!qmpeer::programs_here({doveadm_binary}, missing)) GTEST_SKIP() << missing;
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    ASSERT_EQ(doveadm(w, s.auth_socket(), {"alice", "wonderland"}).exit_code, 0) << s.log();
    ASSERT_TRUE(servers.halt());

    qmtest::child_result login = doveadm(w, s.auth_socket(), {"alice", "wonderland"});
    EXPECT_TRUE(has_line(login.out, "code=temp_fail")) << login.out << login.err;
    auth_client postfix_like(s.auth_socket(), "1\t0");
    postfix_like.plain(1, "alice", "wonderland");
    EXPECT_TRUE(postfix_like.closed()) << postfix_like.buffer();
    EXPECT_EQ(postfix_like.buffer(), "");
    map_client lookups(s.map_socket());
    EXPECT_EQ(lookups.ask("mailbox alice@example.org"), "TEMP the user database cannot answer");
}

// A client that breaks the protocol gets the protocol's error and is
// disconnected; a client beside it goes on as if nothing happened.
TEST(Service, ProtocolBreaks) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nmax_line 1000\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client bystander(s.auth_socket());
    map_client lookups(s.map_socket());
    struct row {
        bool auth;
        std::string bytes;
        std::string reply;
    };
    const std::vector<row> rows = {
        {true, "AUTH\t1\tPLAIN\tservice=smtp\n", ""},
        {true, "VERSION\t1\t2\nNOOP\n", ""},
        {true, "VERSION\t1\t2\nAUTH\t1\tCRAM-MD5\tservice=smtp\n",
         "FAIL\t1\treason=Unsupported authentication mechanism\n"},
        {true, "VERSION\t1\t2\nAUTH\t1\tLOGIN\tservice=smtp\nAUTH\t1\tLOGIN\tservice=smtp\n",
         "CONT\t1\tVXNlcm5hbWU6\n"},
        // Longer than max_line, with or without its line feed.
        {true, "VERSION\t1\t2\n" + std::string(1001, 'x') + "\n", ""},
        {true, "VERSION\t1\t2\n" + std::string(5000, 'x'), ""},
        {false, "x:abc,", "PERM no netstring length"},
        {false, "3:abcd", "PERM netstring without its closing comma"},
        {false, "1001:", "PERM request longer than the limit"},
        {false, "7:mailbox,", "PERM malformed request"},
    };
    unsigned id = 1;
    for (const row& r : rows) {
        SCOPED_TRACE(r.bytes.substr(0, 60));
        connection c(r.auth ? s.auth_socket() : s.map_socket());
        ASSERT_TRUE(c.open());
        c.write(r.bytes);
        EXPECT_TRUE(c.closed());
        std::string got = c.buffer();
        if (r.auth) got.erase(0, got.find("DONE\n") + 5);
        const std::string netstring = std::to_string(r.reply.size()) + ":" + r.reply + ",";
        EXPECT_EQ(got, r.auth ? r.reply : netstring);
        ASSERT_TRUE(bystander.plain(++id, "alice", "wonderland"));
        EXPECT_EQ(bystander.line(), "OK\t" + std::to_string(id) + "\tuser=alice@example.org");
        EXPECT_EQ(lookups.ask("mailbox alice"), "OK alice/");
    }
    // A map name no line names, or a key no user can be, is an answer.
    EXPECT_EQ(lookups.ask("nomap alice"), "PERM unknown map name");
    EXPECT_EQ(lookups.ask("mailbox al\tice"), "NOTFOUND ");
    EXPECT_EQ(lookups.ask("mailbox " + std::string(65, 'a')), "NOTFOUND ");
    EXPECT_EQ(lookups.ask("forward bob"), "OK bob@elsewhere.example");
    EXPECT_EQ(lookups.ask("forward alice"), "NOTFOUND ");
    EXPECT_TRUE(has_line(s.log(), "broke the protocol")) << s.log();
}

// max_clients: one more is closed at once; once one goes, another comes.
TEST(Service, MaxClients) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nmax_clients 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    // The start's own probes have gone once the service counts them out.
    std::this_thread::sleep_for(300ms);
    auto first = std::make_unique<auth_client>(s.auth_socket());
    auth_client second(s.auth_socket());
    EXPECT_FALSE(first->handshake().empty());
    EXPECT_FALSE(second.handshake().empty());
    connection third(s.auth_socket());
    EXPECT_TRUE(third.closed());
    EXPECT_EQ(third.buffer(), "");
    first.reset();
    EXPECT_TRUE(qmpeer::wait_until(
        [&] {
            auth_client again(s.auth_socket());
            return !again.handshake().empty();
        },
        5s));
    second.plain(1, "alice", "wonderland");
    EXPECT_EQ(second.line(), "OK\t1\tuser=alice@example.org");
}

// idle_timeout: a client that says nothing is dropped; one that keeps
// asking is not.
TEST(Service, IdleTimeout) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nidle_timeout 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client quiet(s.auth_socket());
    auth_client busy(s.auth_socket());
    const auto start = std::chrono::steady_clock::now();
    for (unsigned id = 1; id <= 6; ++id) {
        ASSERT_TRUE(busy.plain(id, "alice", "wonderland"));
        EXPECT_EQ(busy.line(), "OK\t" + std::to_string(id) + "\tuser=alice@example.org");
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_TRUE(quiet.closed(1s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

// max_queue: with the worker held up by a locked database file, requests
// beyond the queue are answered as temporary failures at once, and those
// queued are answered when the file is free again.
TEST(Service, MaxQueue) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nmax_queue 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    c.plain(1, "alice", "wonderland");
    ASSERT_EQ(c.line(), "OK\t1\tuser=alice@example.org");
    std::shared_ptr<void> lock = w.env().lock_exclusive();
    for (unsigned id = 2; id <= 5; ++id) c.plain(id, "alice", "wonderland");
    EXPECT_EQ(c.line(2s), "FAIL\t4\tuser=alice\tcode=temp_fail\ttemp");
    EXPECT_EQ(c.line(2s), "FAIL\t5\tuser=alice\tcode=temp_fail\ttemp");
    lock.reset();
    std::vector<std::string> rest = {c.line(30s), c.line(30s)};
    for (const std::string& line : rest)
        EXPECT_TRUE(line == "OK\t2\tuser=alice@example.org" ||
                    line == "OK\t3\tuser=alice@example.org" ||
                    line.find("code=temp_fail") != std::string::npos)
            << line;
    EXPECT_TRUE(has_line(s.log(), "max_queue 2")) << s.log();
}

// A worker that stops answering ends the pause on reading that a busy one
// brings: requests sent after its backlog formed are still read, and those
// past max_queue answered as temporary failures at once, not left in their
// sockets until the database is free.
TEST(Service, HeldUpBacklogStillReadsAndLimits) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nmax_queue 40\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client first(s.auth_socket()), second(s.auth_socket()), later(s.auth_socket());
    first.plain(1, "alice", "wonderland");
    ASSERT_EQ(first.line(), "OK\t1\tuser=alice@example.org");
    // The queue filled to max_queue just after an answer: a backlog that
    // looks busy.
    std::shared_ptr<void> lock = w.env().lock_exclusive();
    for (unsigned id = 2; id <= 21; ++id) first.plain(id, "alice", "wonderland");
    for (unsigned id = 1; id <= 20; ++id) second.plain(id, "alice", "wonderland");
    std::this_thread::sleep_for(100ms);
    for (unsigned id = 1; id <= 30; ++id) later.plain(id, "alice", "wonderland");
    unsigned refused = 0;
    for (std::string line = later.line(3s); !line.empty(); line = later.line(500ms))
        if (line.find("code=temp_fail") != std::string::npos) ++refused;
    EXPECT_EQ(refused, 30u) << s.log();
    lock.reset();
}

// A slow worker holds up only the requests queued for it: a user whose row
// takes a second to compute, and others on the same connection, some of
// them answered while it is held and some, on its worker, after it.
TEST(Service, SlowWorkerHoldsOnlyItsQueue) {
    world w;
    w.exec(
        "CREATE TABLE users ([user] VARCHAR(64), pass VARCHAR(64));"
        "INSERT INTO users VALUES ('slow@example.org', 'x');"
        "CREATE VIEW maildb AS SELECT [user], CASE WHEN [user] = 'slow@example.org' THEN "
        "(WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 1000000) "
        "SELECT pass || substr(max(n), 1, 0) FROM c) ELSE pass END AS pass, NULL AS fwd, "
        "NULL AS [drop], NULL AS mask FROM users;");
    const std::vector<std::string> names = {"u1", "u2", "u3", "u4", "u5", "u6", "u7", "u8"};
    for (const std::string& name : names)
        w.exec("INSERT INTO users VALUES ('" + name + "@example.org', 'pw');");
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    c.plain(100, "slow", "x");
    std::this_thread::sleep_for(100ms);
    for (std::size_t i = 0; i < names.size(); ++i)
        c.plain(static_cast<unsigned>(i + 1), names[i], "pw");
    std::vector<std::string> order;
    for (std::size_t i = 0; i <= names.size(); ++i) order.push_back(c.line(30s));
    std::size_t slow_at = 0;
    for (std::size_t i = 0; i < order.size(); ++i)
        if (order[i].rfind("OK\t100\t", 0) == 0) slow_at = i;
    EXPECT_GT(slow_at, 0u) << "no other worker answered while the slow one was held";
    EXPECT_LT(slow_at, names.size()) << "nobody queued behind the slow request";
    for (const std::string& line : order) EXPECT_EQ(line.rfind("OK\t", 0), 0u) << line;
}

// A worker killed: the requests it held are answered as temporary
// failures, and a new worker serves within a second.
TEST(Service, WorkerKilled) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    map_client lookups(s.map_socket());
    c.plain(1, "alice", "wonderland");
    ASSERT_EQ(c.line(), "OK\t1\tuser=alice@example.org");
    const std::vector<pid_t> before = s.workers();
    ASSERT_EQ(before.size(), 1u);

    std::shared_ptr<void> lock = w.env().lock_exclusive();
    for (unsigned id = 2; id <= 4; ++id) c.plain(id, "alice", "wonderland");
    lookups.write("23:mailbox bob@example.org,");
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(::kill(before[0], SIGKILL), 0);
    const auto killed = std::chrono::steady_clock::now();
    for (unsigned id = 2; id <= 4; ++id)
        EXPECT_EQ(c.line(2s), "FAIL\t" + std::to_string(id) + "\tuser=alice\tcode=temp_fail\ttemp");
    EXPECT_EQ(lookups.answer(2s), "TEMP the user database cannot answer");
    lock.reset();

    unsigned id = 10;
    std::string answer;
    do {
        c.plain(++id, "alice", "wonderland");
        answer = c.line(2s);
    } while (answer.rfind("OK\t", 0) != 0 && std::chrono::steady_clock::now() - killed < 5s);
    const auto served = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ(answer, "OK\t" + std::to_string(id) + "\tuser=alice@example.org");
    EXPECT_LT(served, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(served).count()
                          << " ms";
    EXPECT_NE(s.workers(), before);
    EXPECT_TRUE(has_line(s.log(), "killed by signal 9")) << s.log();
}

// SIGTERM: no new clients, what is queued is answered, status 0, and the
// sockets it made are gone.
TEST(Service, SigtermAnswersWhatIsQueued) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    c.plain(1, "alice", "wonderland");
    ASSERT_EQ(c.line(), "OK\t1\tuser=alice@example.org");
    std::shared_ptr<void> lock = w.env().lock_exclusive();
    c.plain(2, "alice", "wonderland");
    std::this_thread::sleep_for(200ms);
    ::kill(s.pid(), SIGTERM);
    EXPECT_TRUE(qmpeer::wait_until([&] { return !service::connectable(s.auth_socket()); }, 5s));
    lock.reset();
    EXPECT_EQ(c.line(30s), "OK\t2\tuser=alice@example.org");
    EXPECT_EQ(s.stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(s.auth_socket()));
    EXPECT_FALSE(std::filesystem::exists(s.map_socket()));
}

// SIGHUP: a file -check accepts replaces the workers one by one and its
// settings serve; one it refuses is logged and the running settings stay.
TEST(Service, SighupReload) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    map_client lookups(s.map_socket());
    ASSERT_EQ(lookups.ask("mailbox alice"), "OK alice/");
    const std::vector<pid_t> before = s.workers();
    ASSERT_EQ(before.size(), 2u);

    s.write_ini("workers 1\nsocketmap_map box maildrop\n");
    ::kill(s.pid(), SIGHUP);
    EXPECT_TRUE(qmpeer::wait_until([&] {
        const std::vector<pid_t> now = s.workers();
        return now.size() == 1 && now[0] != before[0] && now[0] != before[1];
    }));
    EXPECT_EQ(lookups.ask("box alice"), "OK alice/");

    s.write_ini("workers 0\nsocketmap_map other maildrop\nno_such_key 1\n");
    ::kill(s.pid(), SIGHUP);
    EXPECT_TRUE(qmpeer::wait_until([&] { return has_line(s.log(), "reload refused"); }));
    EXPECT_TRUE(has_line(s.log(), "unknown key 'no_such_key'")) << s.log();
    EXPECT_EQ(lookups.ask("box alice"), "OK alice/");
    EXPECT_EQ(lookups.ask("other alice"), "PERM unknown map name");
    EXPECT_EQ(s.stop(), 0);
}

}  // namespace

namespace {

// What an administrator runs beside the service works through it: refused
// checks write their failure line with the client's address, a guesser is
// throttled across workers that share one table, the workers' counters sum
// up in -stats, and -flush ends a changed password in every worker at once.
TEST(Service, FailureLinesThrottleCountersAndFlush) {
    world w;
    qmsvc::fill_table(w);
    const std::string dir = w.env().dir();
    ASSERT_EQ(::mkdir((dir + "/stats").c_str(), 0700), 0);
    service s(w,
              "workers 2\nlog_auth_failures true\nauth_failure_limit 3 300\n"
              "auth_failure_table " +
                  dir + "/auth-failures\nstats_path " + dir +
                  "/stats\ncache_ttl 3600\ncache_flush_path " + dir + "/flush\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    struct row {
        const char *user, *password, *rip;
        std::string answer;  // the start of the answer line
    };
    const std::vector<row> rows = {
        {"alice", "wonderland", "192.0.2.10", "OK\t1\t"},
        // Three users, so that both workers count for one guesser.
        {"alice", "guess1", "192.0.2.9", "FAIL\t2\t"},
        {"bob", "guess2", "192.0.2.9", "FAIL\t3\t"},
        {"nobody", "guess3", "192.0.2.9", "FAIL\t4\t"},
        {"bob", "builder", "192.0.2.9", "FAIL\t5\t"},  // the right password, throttled
        {"bob", "builder", "192.0.2.10", "OK\t6\t"},
    };
    unsigned id = 0;
    for (const row& r : rows) {
        c.plain(++id, r.user, r.password, std::string("\trip=") + r.rip);
        const std::string answer = c.line();
        EXPECT_EQ(answer.rfind(r.answer, 0), 0u) << r.user << " " << r.rip << ": " << answer;
    }
    const std::string log = s.log();
    for (const char* line :
         {"Check refused: rip=192.0.2.9 reason=wrong-user-or-password user=alice@example.org",
          "Check refused: rip=192.0.2.9 reason=wrong-user-or-password user=bob@example.org",
          "Check refused: rip=192.0.2.9 reason=throttled user=bob@example.org",
          "Throttle on for 192.0.2.9"})
        EXPECT_TRUE(has_line(log, line)) << line << "\n" << log;
    EXPECT_FALSE(has_line(log, "rip=192.0.2.10")) << log;

    // alice's right password kept by her worker; changed in the table and
    // flushed, the old one is refused at once.
    w.exec("UPDATE maildb SET pass = 'looking-glass' WHERE [user] = 'alice@example.org'");
    qmtest::child_result flush =
        w.run("", {"-flush", "alice@example.org", "-config", dir + "/service.ini"});
    EXPECT_EQ(flush.exit_code, 0) << flush.err;
    c.plain(++id, "alice", "wonderland", "\trip=192.0.2.11");
    EXPECT_EQ(c.line().rfind("FAIL\t" + std::to_string(id) + "\t", 0), 0u);
    c.plain(++id, "alice", "looking-glass", "\trip=192.0.2.11");
    EXPECT_EQ(c.line().rfind("OK\t" + std::to_string(id) + "\t", 0), 0u);

    EXPECT_EQ(s.stop(), 0);
    qmtest::child_result stats = w.run("", {"-stats", dir + "/stats"});
    ASSERT_EQ(stats.exit_code, 0) << stats.err;
    for (const char* sample : {"quillmar_checks_total{outcome=\"ok\"} 3",
                               "quillmar_checks_total{outcome=\"throttled\"} 1"})
        EXPECT_TRUE(has_line(stats.out, sample)) << sample << "\n" << stats.out;
}

}  // namespace
