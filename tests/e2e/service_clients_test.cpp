// The service's clients as a whole program: one that opens requests and
// never finishes them is cut off before it costs memory.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

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

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
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
    const std::string& got = flood.buffer();
    EXPECT_EQ(count_of(got, "CONT\t"), 16u) << got.substr(0, 400);
    EXPECT_NE(got.find("CONT\t16\t\nFAIL\t17\treason=Too many requests in progress\n"),
              std::string::npos)
        << got.substr(got.size() > 400 ? got.size() - 400 : 0);
    const long after = resident_kib(s.pid());
    EXPECT_LT(after - before, 1024) << before << " KiB before, " << after << " KiB after";

    ASSERT_TRUE(bystander.plain(2, "alice", "wonderland"));
    EXPECT_EQ(bystander.line(), "OK\t2\tuser=alice@example.org");
    EXPECT_NE(s.log().find("max_pending"), std::string::npos) << s.log();
}

}  // namespace
