// auth_failure_delay through the whole service: a refusal on the Dovecot
// and saslauthd sockets waits in the supervisor, while a right password, a
// database in trouble and nginx's auth_http are answered at once; held
// refusals cost the supervisor little memory, and those of a client that
// went away reach no one, not even a later client on its descriptor.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;
using qmdir::world;
using qmsvc::service;

std::string counted(const std::string& text) {
    return std::string(1, static_cast<char>(text.size() >> 8)) +
           static_cast<char>(text.size() & 0xff) + text;
}

long resident_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long kb = -1;
    while (status >> word)
        if (word == "VmRSS:") status >> kb;
    return kb;
}

enum class front { auth, saslauthd, http };

// Each socket's answer to a right password, a wrong one and a database
// that cannot answer, and whether the supervisor held it.
TEST(FailureDelay, OnlyRefusalsAreHeld) {
    world w;
    qmsvc::fill_table(w);
    const std::string dir = w.env().dir();
    service s(w, "workers 2\nauth_failure_delay 1\nlisten_saslauthd " + dir + "/mux\nlisten_http " +
                     dir + "/http.sock\nproxy_default_host 127.0.0.9\n");
    ASSERT_TRUE(s.ready()) << s.log();
    struct row {
        front f;
        std::string user, password;
        bool broken;  // asked while the database cannot answer
        std::string answer;
        bool held;
    };
    const std::string temp = "FAIL\t1\tuser=alice\tcode=temp_fail\ttemp";
    const std::vector<row> rows = {
        {front::auth, "alice", "wonderland", false, "OK\t1\tuser=alice@example.org", false},
        {front::auth, "alice", "Wonderland", false, "FAIL\t1\tuser=alice", true},
        {front::saslauthd, "alice", "Wonderland", false, "NO", true},
        // nginx is told to wait by its answer (Auth-Wait), not by the service.
        {front::http, "alice", "Wonderland", false, "Auth-Status: Invalid login", false},
        {front::auth, "alice", "Wonderland", true, temp, false},
        {front::saslauthd, "alice", "Wonderland", true, "NO", false},
    };
    auto ask = [&](const row& r) -> std::string {
        if (r.f == front::auth) {
            qmsvc::auth_client c(s.auth_socket());
            c.plain(1, r.user, r.password);
            return c.line();
        }
        qmsvc::connection c(dir + (r.f == front::saslauthd ? "/mux" : "/http.sock"));
        c.write(r.f == front::saslauthd
                    ? counted(r.user) + counted(r.password) + counted("smtp") + counted("")
                    : "GET /auth HTTP/1.0\r\nAuth-Method: plain\r\nAuth-User: " + r.user +
                          "\r\nAuth-Pass: " + r.password +
                          "\r\nAuth-Protocol: imap\r\nAuth-Login-Attempt: 1\r\nClient-IP: "
                          "192.168.1.7\r\n\r\n");
        c.closed();
        return c.buffer();
    };
    bool broken = false;
    for (const row& r : rows) {
        SCOPED_TRACE(r.user + " " + r.password + (r.broken ? " (database broken)" : ""));
        if (r.broken && !broken) {
            broken = true;
            std::ofstream(w.env().db_path() + ".new") << std::string(4096, 'x');
            std::filesystem::rename(w.env().db_path() + ".new", w.env().db_path());
            std::this_thread::sleep_for(200ms);
        }
        const steady::time_point start = steady::now();
        const std::string answer = ask(r);
        const auto took = steady::now() - start;
        EXPECT_NE(answer.find(r.answer), std::string::npos) << answer << s.log();
        if (r.held)
            EXPECT_GE(took, 1s);
        else
            EXPECT_LT(took, 500ms);
    }
}

// 10,000 refusals held at once over 50 connections (a right password after
// each connection's 200 shows them all checked), then half the connections
// closed and as many new ones made, likely on the same descriptors: the
// held refusals cost the supervisor little, the others arrive whole after
// the delay, and the new clients get their own answers alone. A reload
// then turns the delay off for later refusals.
TEST(FailureDelay, HeldRefusalsCostLittleAndDieWithTheirClient) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\nmax_queue 4096\nauth_failure_delay 8\n");
    ASSERT_TRUE(s.ready()) << s.log();
    constexpr int clients = 50, wrong = 200;
    std::vector<std::unique_ptr<qmsvc::auth_client>> old;
    for (int i = 0; i < clients; ++i) {
        old.push_back(std::make_unique<qmsvc::auth_client>(s.auth_socket()));
        old.back()->plain(1, "alice", "wonderland");
        ASSERT_EQ(old.back()->line(), "OK\t1\tuser=alice@example.org");
    }
    const long rss = resident_kb(s.pid());
    const steady::time_point sent = steady::now();
    for (auto& c : old) {
        std::string lines;
        for (int id = 2; id < 2 + wrong; ++id)
            lines += "AUTH\t" + std::to_string(id) + "\tPLAIN\tservice=smtp\tresp=" +
                     qmsvc::auth_client::base64(std::string("\0alice\0guess", 12)) + "\n";
        c->write(lines);
        c->plain(1000, "alice", "wonderland");
    }
    for (auto& c : old) ASSERT_EQ(c->line(30s), "OK\t1000\tuser=alice@example.org");
    ASSERT_LT(steady::now() - sent, 7s) << "the checks took too long to be held at once";
    const long held = resident_kb(s.pid());
#if defined(__SANITIZE_ADDRESS__)
    // ASan's redzones and quarantine keep every freed request's bytes a while.
    const long limit_kb = 32768;
#else
    const long limit_kb = 4096;
#endif
    EXPECT_LT(held - rss, limit_kb) << "VmRSS " << rss << " kB, then " << held << " kB";

    old.resize(clients / 2);
    std::vector<std::unique_ptr<qmsvc::auth_client>> fresh;
    for (int i = 0; i < clients / 2; ++i) {
        fresh.push_back(std::make_unique<qmsvc::auth_client>(s.auth_socket()));
        fresh.back()->plain(7, "bob", "builder");
        ASSERT_EQ(fresh.back()->line(), "OK\t7\tuser=bob@example.org");
    }
    for (auto& c : old) {
        for (int id = 2; id < 2 + wrong; ++id)
            ASSERT_EQ(c->line(15s), "FAIL\t" + std::to_string(id) + "\tuser=alice");
    }
    EXPECT_GE(steady::now() - sent, 8s);
    for (auto& c : fresh) {
        c->read_until([](const std::string&) { return false; }, 200ms);
        EXPECT_EQ(c->buffer(), "");
    }
    // A reload's value applies to the refusals after it.
    const std::vector<pid_t> before = s.workers();
    s.write_ini("workers 2\nauth_failure_delay 0\n");
    ::kill(s.pid(), SIGHUP);
    ASSERT_TRUE(qmpeer::wait_until([&] {
        const std::vector<pid_t> now = s.workers();
        return now.size() == 2 && now[0] != before[0] && now[0] != before[1] &&
               now[1] != before[0] && now[1] != before[1];
    })) << s.log();
    const steady::time_point asked = steady::now();
    fresh[0]->plain(8, "bob", "guess");
    EXPECT_EQ(fresh[0]->line(), "FAIL\t8\tuser=bob");
    EXPECT_LT(steady::now() - asked, 500ms);
    EXPECT_EQ(s.stop(), 0);
}

}  // namespace
