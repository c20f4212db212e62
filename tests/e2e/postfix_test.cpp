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
#include "service_harness.h"

namespace {

using qmdir::world;
using qmsvc::service;

const char* const postfix_binary = "/usr/sbin/postfix";
const char* const postmap_binary = "/usr/sbin/postmap";
const char* const swaks_binary = "/usr/bin/swaks";

class private_postfix {
public:
    // `run`: the mail system started; without, its settings alone (for postmap).
    // `saslauthd`: smtpd checks passwords with Cyrus SASL on that socket.
    private_postfix(const std::string& dir, const service& s, bool run = true,
                    const std::string& saslauthd = "")
        : dir_(dir + "/postfix"), conf_(dir_ + "/conf") {
        std::filesystem::create_directories(conf_);
        std::filesystem::create_directories(dir_ + "/queue");
        std::filesystem::create_directories(dir_ + "/data");
        // Postfix's daemons run as its mail_owner, who must pass the folder
        // of the socket and own the data folder.
        std::filesystem::permissions(dir, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        if (const passwd* owner = ::getpwnam("postfix"))
            if (::chown((dir_ + "/data").c_str(), owner->pw_uid, owner->pw_gid) != 0) return;
        port_ = qmpeer::free_port();
        std::string main_cf;
        for (const std::string& line : std::vector<std::string>{
                 "compatibility_level = 3.6",
                 "queue_directory = " + dir_ + "/queue",
                 "data_directory = " + dir_ + "/data",
                 "meta_directory = /etc/postfix",
                 "mail_owner = postfix",
                 "setgid_group = postdrop",
                 "myhostname = quillmar-test.localdomain",
                 "mydestination =",
                 "inet_interfaces = 127.0.0.1",
                 "inet_protocols = ipv4",
                 "alias_maps =",
                 "alias_database =",
                 "local_recipient_maps =",
                 "maillog_file = " + dir_ + "/maillog",
                 "maillog_file_prefixes = " + dir_,
                 "smtpd_tls_security_level = none",
                 "smtpd_relay_restrictions = permit_sasl_authenticated, reject",
                 // The lines the README gives.
                 "smtpd_sasl_auth_enable = yes",
                 saslauthd.empty() ? "smtpd_sasl_type = dovecot" : "smtpd_sasl_type = cyrus",
                 saslauthd.empty() ? "smtpd_sasl_path = " + s.auth_socket()
                                   : "smtpd_sasl_path = smtpd",
                 "virtual_mailbox_domains = example.org",
                 "virtual_mailbox_maps = proxy:socketmap:unix:" + s.map_socket() + ":mailbox",
             })
            main_cf += line + "\n";
        write("main.cf", main_cf);
        // Debian's Postfix has libsasl2 read <config_directory>/sasl/smtpd.conf.
        if (!saslauthd.empty()) {
            std::filesystem::create_directories(conf_ + "/sasl");
            write("sasl/smtpd.conf", "pwcheck_method: saslauthd\nsaslauthd_path: " + saslauthd +
                                         "\nmech_list: PLAIN LOGIN\n");
        }
        // Nothing chrooted, so that the socket's path is the same inside.
        write("master.cf",
              "127.0.0.1:" + std::to_string(port_) +
                  " inet n - n - - smtpd\n"
                  "pickup unix n - n 60 1 pickup\ncleanup unix n - n - 0 cleanup\n"
                  "qmgr unix n - n 300 1 qmgr\nrewrite unix - - n - - trivial-rewrite\n"
                  "bounce unix - - n - 0 bounce\ndefer unix - - n - 0 bounce\n"
                  "trace unix - - n - 0 bounce\nverify unix - - n - 1 verify\n"
                  "proxymap unix - - n - - proxymap\nsmtp unix - - n - - smtp\n"
                  "error unix - - n - - error\nretry unix - - n - - error\n"
                  "anvil unix - - n - 1 anvil\nscache unix - - n - 1 scache\n"
                  "postlog unix-dgram n - n - 1 postlogd\n");
        if (!run) return;
        // Started under a shell that stops it when the test ends or dies.
        postfix_.start(
            {"/bin/sh", "-c",
             "trap '" + std::string(postfix_binary) + " -c \"$0\" stop; exit 0' TERM; " +
                 postfix_binary + " -c \"$0\" start || exit 1; while :; do sleep 0.2; done",
             conf_},
            {}, dir_ + "/start.out");
        ready_ = qmpeer::wait_until([&] { return qmpeer::port_answers(port_); });
    }
    ~private_postfix() { postfix_.stop(); }

    bool ready() const { return ready_; }
    std::string log() const {
        return qmpeer::read_text(dir_ + "/start.out") + qmpeer::read_text(dir_ + "/maillog");
    }

    // The SMTP reply code swaks met after AUTH ("235", "535", "454"), or
    // its whole output when it met none.
    std::string auth(const std::string& mechanism, const std::string& user,
                     const std::string& password) const {
        qmtest::child_options o;
        o.args = {"--server",        "127.0.0.1", "--port",       std::to_string(port_),
                  "--auth",          mechanism,   "--auth-user",  user,
                  "--auth-password", password,    "--quit-after", "AUTH",
                  "--ehlo",          "test"};
        qmtest::child_result r = qmtest::run_child(swaks_binary, "", o);
        for (const char* code : {"235 ", "535 ", "454 "})
            if (r.out.find("<~ " + std::string(code)) != std::string::npos ||
                r.out.find("<-  " + std::string(code)) != std::string::npos ||
                r.out.find("<** " + std::string(code)) != std::string::npos)
                return std::string(code, 3);
        return r.out + r.err;
    }

    // postmap -q: the value, "" when not found; `err` gets what it said.
    qmtest::child_result lookup(const std::string& key, const std::string& table) const {
        qmtest::child_options o;
        o.args = {"-c", conf_, "-q", key, table};
        return qmtest::run_child(postmap_binary, "", o);
    }

private:
    void write(const std::string& name, const std::string& text) const {
        std::FILE* file = std::fopen((conf_ + "/" + name).c_str(), "w");
        if (!file) return;
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }

    std::string dir_, conf_;
    int port_ = -1;
    bool ready_ = false;
    qmpeer::instance postfix_;
};

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
    private_postfix postfix(w.env().dir(), s);
    ASSERT_TRUE(postfix.ready()) << postfix.log();
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
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.mechanism + " " + r.user + " " + r.password);
        EXPECT_EQ(postfix.auth(r.mechanism, r.user, r.password), r.code) << postfix.log();
    }
}

// The same through Cyrus SASL: smtpd's libsasl2 asks the saslauthd socket.
TEST_F(Postfix, CyrusSaslauthd) {
    world w;
    qmsvc::fill_table(w);
    const std::string mux = w.env().dir() + "/mux";
    service s(w, "workers 2\nsocket_group postfix\nlisten_saslauthd " + mux + "\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), s, true, mux);
    ASSERT_TRUE(postfix.ready()) << postfix.log();
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
        {"LOGIN", "bob@example.org", "builder", "235"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.mechanism + " " + r.user + " " + r.password);
        EXPECT_EQ(postfix.auth(r.mechanism, r.user, r.password), r.code) << postfix.log();
    }
}

// postmap asking each map name: found, not found, and what no user can be.
TEST_F(Postfix, SocketmapLookups) {
    world w;
    qmsvc::fill_table(w);
    service s(w, "workers 2\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), s, false);
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
    qmdir::own_servers servers("pg");
    if (!servers.started) {
        if (qmtest::servers_required()) FAIL() << "no PostgreSQL server could be started";
        GTEST_SKIP() << "no PostgreSQL server could be started";
    }
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    service s(w, "workers 2\nsocket_group postfix\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_postfix postfix(w.env().dir(), s);
    ASSERT_TRUE(postfix.ready()) << postfix.log();
    const std::string mailbox = "socketmap:unix:" + s.map_socket() + ":mailbox";
    ASSERT_EQ(postfix.auth("PLAIN", "alice", "wonderland"), "235") << postfix.log();
    ASSERT_EQ(postfix.lookup("alice@example.org", mailbox).out, "alice/\n");
    // Through proxymap, as the README's virtual_mailbox_maps has it.
    ASSERT_EQ(postfix.lookup("alice@example.org", "proxy:" + mailbox).out, "alice/\n");
    ASSERT_TRUE(servers.halt());

    EXPECT_EQ(postfix.auth("PLAIN", "alice", "wonderland"), "454") << postfix.log();
    EXPECT_EQ(postfix.auth("LOGIN", "bob", "builder"), "454") << postfix.log();
    qmtest::child_result lookup = postfix.lookup("alice@example.org", mailbox);
    EXPECT_NE(lookup.err.find("temporary error"), std::string::npos) << lookup.err;
    EXPECT_NE(lookup.exit_code, 0);
}

}  // namespace
