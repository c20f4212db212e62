// The service's clients as a whole program: one that opens requests and
// never finishes them is cut off before it costs memory, and one waiting
// for a slow check is not taken for idle.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using namespace std::chrono_literals;
using qmdir::world;
using qmsvc::auth_client;
using qmsvc::service;

long resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    long kib = -1;
    while (status >> word)
        if (word == "VmRSS:") status >> kib;
    return kib;
}

// 10,000 AUTH PLAIN without their responses on one connection: max_pending
// (16 unless set) are asked for theirs, the next fails and ends the
// connection, and the supervisor has not grown; a client beside it goes on.
TEST(ServiceClients, PendingRequestsCapped) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client bystander(s.auth_socket());
    ASSERT_TRUE(bystander.plain(1, "alice", "wonderland"));
    ASSERT_EQ(bystander.line(), "OK\t1\tuser=alice@example.org");
    const long before = resident_kib(s.pid());

    auth_client flood(s.auth_socket());
    std::string lines;
    for (unsigned id = 1; id <= 10000; ++id)
        lines += "AUTH\t" + std::to_string(id) + "\tPLAIN\tservice=smtp\n";
    flood.write(lines);  // may stop short: the service closes as it reads
    EXPECT_TRUE(flood.closed());
    std::string expected;
    for (unsigned id = 1; id <= 16; ++id) expected += "CONT\t" + std::to_string(id) + "\t\n";
    expected += "FAIL\t17\treason=Too many requests in progress\n";
    EXPECT_EQ(flood.buffer().substr(0, 1000), expected);
    const long after = resident_kib(s.pid());
    EXPECT_LT(after - before, 1024) << before << " KiB before, " << after << " KiB after";

    ASSERT_TRUE(bystander.plain(2, "alice", "wonderland"));
    EXPECT_EQ(bystander.line(), "OK\t2\tuser=alice@example.org");
    EXPECT_NE(s.log().find("max_pending"), std::string::npos) << s.log();
}

// idle_timeout 1 and a check held up for 2.5 s by a locked database file:
// the answer comes, and the connection stays open a full idle time after it.
TEST(ServiceClients, SlowCheckIsNotIdle) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 1\nidle_timeout 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    auth_client c(s.auth_socket());
    ASSERT_TRUE(c.plain(1, "alice", "wonderland"));
    ASSERT_EQ(c.line(), "OK\t1\tuser=alice@example.org");
    {
        std::shared_ptr<void> lock = w.env().lock_exclusive();
        ASSERT_TRUE(c.plain(2, "alice", "wonderland"));
        std::this_thread::sleep_for(2500ms);
    }
    EXPECT_EQ(c.line(), "OK\t2\tuser=alice@example.org");
    EXPECT_FALSE(c.closed(800ms)) << "closed within 800 ms of the answer";
    // Quiet from then on, it goes as any idle client does.
    EXPECT_TRUE(c.closed(3s));
}

}  // namespace
