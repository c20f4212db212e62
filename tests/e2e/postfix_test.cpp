// The service with the real Postfix: a private instance (its own
// config_directory, queue_directory and data_directory, an SMTP listener on
// a free loopback port, started with `postfix -c <dir> start` and stopped
// when the test ends or its process dies) whose smtpd checks SMTP AUTH on
// the service's socket (smtpd_sasl_type = dovecot, or cyrus through
// libsasl2's saslauthd client), driven by swaks; and postmap asking the
// service's socketmap.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "peer_harness.h"
#include "postfix_harness.h"
#include "service_harness.h"

namespace {

using qmdir::world;
using qmpeer::private_postfix;
using qmsvc::service;

using qmpeer::postfix_binary;
using qmpeer::postmap_binary;
using qmpeer::swaks_binary;

// The service's SMTP AUTH socket and socketmap, as docs/postfix-exim.md gives them.
std::vector<std::string> service_lines(const service& s) {
    return {
        "smtpd_relay_restrictions = permit_sasl_authenticated, reject",
        "smtpd_sasl_auth_enable = yes",
        "smtpd_sasl_type = dovecot",
        "smtpd_sasl_path = " + s.auth_socket(),
        "virtual_mailbox_domains = example.org",
        "virtual_mailbox_maps = proxy:socketmap:unix:" + s.map_socket() + ":mailbox",
    };
}

// The same socket asked through Cyrus SASL: Debian's Postfix has libsasl2
// read <config_directory>/sasl/smtpd.conf, which names the saslauthd socket.
std::vector<std::string> cyrus_lines() {
    return {
        "smtpd_relay_restrictions = permit_sasl_authenticated, reject",
        "smtpd_sasl_auth_enable = yes",
        "smtpd_sasl_type = cyrus",
        "smtpd_sasl_path = smtpd",
    };
}

// swaks by PLAIN and LOGIN: 235 for a right password, with and without the
// domain, 535 for a wrong one or an unknown user, whichever way smtpd asks.
void expect_smtp_auth_answers(const private_postfix& postfix) {
    struct row {
        std::string mechanism, user, password, code;
    };
    const std::vector<row> rows = {
        {"PLAIN", "alice", "wonderland", "235"},
        {"LOGIN", "alice", "wonderland", "235"},
        {"PLAIN", "alice@example.org", "wonderland", "235"},
        {"PLAIN", "alice", "wrong", "535"},
        {"LOGIN", "alice", "wrong", "535"},
        {"PLAIN", "nobody", "wonderland", "535"},
        {"LOGIN", "bob", "builder", "235"},
        {"LOGIN", "bob@example.org", "builder", "235"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.mechanism + " " + r.user + " " + r.password);
        EXPECT_EQ(postfix.auth(r.mechanism, r.user, r.password), r.code) << postfix.log();
    }
}

class Postfix : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!qmpeer::programs_here({postfix_binary, postmap_binary, swaks_binary}, missing))
            GTEST_SKIP() << missing;
        if (::getuid() != 0) {
            if (qmtest::servers_required()) FAIL() << "a private Postfix must be started as root";
            GTEST_SKIP() << "a private Postfix must be started as root";
        }
    }
};

// swaks through Postfix's smtpd: 235 for a right password, 535 for a wrong
// one or an unknown user, by PLAIN and by LOGIN.
TEST_F(Postfix, SmtpAuth) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\nsocket_group postfix\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), service_lines(s));
    ASSERT_TRUE(postfix.ready()) << postfix.log();
    expect_smtp_auth_answers(postfix);
}

// The same through Cyrus SASL: smtpd's libsasl2 asks the saslauthd socket.
TEST_F(Postfix, CyrusSaslauthd) {
    world w;
    qmsvc::fill_table(w);
    const std::string mux = w.env().dir() + "/mux";
    service s(w, "workers 2\nsocket_group postfix\nlisten_saslauthd " + mux + "\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), cyrus_lines(), true,
                            {{"sasl/smtpd.conf", "pwcheck_method: saslauthd\nsaslauthd_path: " +
                                                     mux + "\nmech_list: PLAIN LOGIN\n"}});
    ASSERT_TRUE(postfix.ready()) << postfix.log();
    expect_smtp_auth_answers(postfix);
}

// postmap asking each map name: found, not found, and what no user can be.
TEST_F(Postfix, SocketmapLookups) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), service_lines(s), false);
    const std::string map = "socketmap:unix:" + s.map_socket() + ":";
    struct row {
        std::string key, table;
        int status;
        std::string value;
    };
    const std::vector<row> rows = {
        {"alice@example.org", "mailbox", 0, "alice/\n"},
        {"alice@example.org", "login", 0, "alice@example.org\n"},
        {"bob@example.org", "forward", 0, "bob@elsewhere.example\n"},
        {"nobody@example.org", "mailbox", 1, ""},
        {"nobody@example.org", "login", 1, ""},
        {"alice@example.org", "forward", 1, ""},
        // Longer than the user column.
        {std::string(70, 'a') + "@example.org", "mailbox", 1, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.table + " " + r.key);
        qmtest::child_result result = postfix.lookup(r.key, map + r.table);
        EXPECT_EQ(result.exit_code, r.status) << result.err;
        EXPECT_EQ(result.out, r.value);
        EXPECT_EQ(result.err, "");
    }
    qmtest::child_result unknown = postfix.lookup("alice@example.org", map + "nomap");
    EXPECT_NE(unknown.err.find("permanent error: unknown map name"), std::string::npos)
        << unknown.err;
}

// The database stopped: 454 for SMTP AUTH, a temporary error for lookups;
// never 535 or "not found".
TEST_F(Postfix, DatabaseStopped) {
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    service s(w, "workers 2\nsocket_group postfix\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), service_lines(s));
    ASSERT_TRUE(postfix.ready()) << postfix.log();
    const std::string mailbox = "socketmap:unix:" + s.map_socket() + ":mailbox";
    ASSERT_EQ(postfix.auth("PLAIN", "alice", "wonderland"), "235") << postfix.log();
    ASSERT_EQ(postfix.lookup("alice@example.org", mailbox).out, "alice/\n");
    // Through proxymap, as docs/postfix-exim.md's virtual_mailbox_maps has it.
    ASSERT_EQ(postfix.lookup("alice@example.org", "proxy:" + mailbox).out, "alice/\n");
    ASSERT_TRUE(servers.halt());

    EXPECT_EQ(postfix.auth("PLAIN", "alice", "wonderland"), "454") << postfix.log();
    EXPECT_EQ(postfix.auth("LOGIN", "bob", "builder"), "454") << postfix.log();
    qmtest::child_result lookup = postfix.lookup("alice@example.org", mailbox);
    EXPECT_NE(lookup.err.find("temporary error"), std::string::npos) << lookup.err;
    EXPECT_NE(lookup.exit_code, 0);
}

}  // namespace
