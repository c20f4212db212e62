// Users' allowed networks (field_allow_nets) as whole programs: the line
// protocol on every database and the service's Dovecot protocol over IPv6,
// each with a cache whose kept accept must meet every new address.
#include <gtest/gtest.h>

#include "directory_harness.h"
#include "peer_harness.h"
#include "service_harness.h"

namespace {

QM_ON_EVERY_DATABASE(DirectoryAllowNets);

void expect_lines(const std::string& log, std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// CHAR padding, and a list beside a mask: both must pass.
TEST_P(DirectoryAllowNets, LineProtocol) {
    qmdir::world w(db());
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(32), pass VARCHAR(32), mask VARCHAR(32), "
        "nets CHAR(64));"
        "INSERT INTO maildb VALUES ('dave', 'd', NULL, '192.0.2.0/24, 2001:db8::/32');"
        "INSERT INTO maildb VALUES ('fay', 'f', '192.168.0.0', '192.168.0.0/16 2001:db8::/32');");
    w.write_ini(
        "field_username [user]\nfield_password pass\nfield_mailmask mask\n"
        "field_allow_nets nets\nlog_auth_failures true\ncache_ttl 3600\n");
    const qmtest::child_result r = w.run(
        "check dave d 2001:db8::5\ncheck dave d 2001:db9::5\ncheck fay f 192.168.3.3\n"
        "check fay f 2001:db8::1\n");
    const std::string refused = " password wrong or not a valid user\r\n";
    EXPECT_EQ(r.out, "+OK dave config 0\r\n-ERR dave" + refused + "+OK fay config 0\r\n-ERR fay" +
                         refused);
    expect_lines(w.log_text(), {"Check refused: rip=2001:db9::5 reason=mask user=dave",
                                "Check refused: rip=2001:db8::1 reason=mask user=fay"});
}

TEST(ServiceAllowNets, DovecotClientsOverIPv6) {
    qmdir::world w;
    qmsvc::fill_table(w);
    w.exec(
        "ALTER TABLE maildb ADD COLUMN nets VARCHAR(64);"
        "UPDATE maildb SET nets = '2001:db8::/32' WHERE [user] = 'alice@example.org';"
        "UPDATE maildb SET nets = '2001:db8::/129' WHERE [user] = 'bob@example.org';");
    qmsvc::service s(w, "workers 1\nfield_allow_nets nets\nlog_auth_failures true\ncache_ttl 60\n");
    ASSERT_TRUE(s.ready()) << s.log();
    qmsvc::auth_client c(s.auth_socket());
    const char* const rows[][4] = {
        // user, password, rip ("" none), answer
        {"alice", "wonderland", "2001:db8::5", "OK"},
        {"alice", "wonderland", "2001:db9::5", "FAIL"},
        {"alice", "wonderland", "", "OK"},
        {"bob", "builder", "2001:db8::5", "FAIL"},
    };
    unsigned id = 0;
    for (const auto& r : rows) {
        c.plain(++id, r[0], r[1], *r[2] ? std::string("\trip=") + r[2] : "");
        EXPECT_EQ(c.line().rfind(r[3] + ("\t" + std::to_string(id) + "\t"), 0), 0u) << r[2];
    }
    expect_lines(s.log(),
                 {"Check refused: rip=2001:db9::5 reason=mask user=alice@example.org",
                  "Check refused: rip=2001:db8::5 reason=refused-value user=bob@example.org",
                  "ERROR: Stored allowed networks of user bob@example.org: entry 1 is no "
                  "network (column nets): check refused"});
}

}  // namespace
