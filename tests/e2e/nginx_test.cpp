// nginx's mail proxy in front of the service: a private nginx (its own
// prefix, configuration, pid and error log, the mail module loaded, loopback
// ports, stopped when the test ends or dies) asks the service's listen_http
// for every login, and proxies IMAP to two private Dovecot stores, each a
// back end that a user's row names, and SMTP by XCLIENT to a private
// Postfix. A short Python client logs in through it; swaks speaks SMTP.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "peer_harness.h"
#include "postfix_harness.h"
#include "service_harness.h"
#include "support/split_lines.h"

namespace {

using qmdir::world;
using qmsvc::service;

const char* const nginx_binary = "/usr/sbin/nginx";
const char* const mail_module = "/usr/lib/nginx/modules/ngx_mail_module.so";
const char* const dovecot_binary = "/usr/sbin/dovecot";
const char* const python_binary = "/usr/bin/python3";

// The service's Auth-Wait, in seconds: long enough to tell from a login's
// own time on a loaded machine.
const int auth_wait = 3;

// A Dovecot IMAP store that takes whatever password nginx passes on (the
// service has checked it), told from the other store by a capability of
// its own that the client asks for after the login.
class private_store {
public:
    private_store(const std::string& dir, const std::string& name)
        : dir_(dir + "/" + name), port_(qmpeer::free_port()) {
        std::filesystem::create_directories(dir_ + "/home");
        const passwd* dovecot = ::getpwnam("dovecot");
        const std::string uid = std::to_string(dovecot ? dovecot->pw_uid : ::getuid());
        const std::string gid = std::to_string(dovecot ? dovecot->pw_gid : ::getgid());
        std::string users;
        if (::getuid() != 0) {
            const passwd* me = ::getpwuid(::getuid());
            users = std::string("default_internal_user = ") + me->pw_name +
                    "\ndefault_login_user = " + me->pw_name + "\n";
        }
        std::FILE* conf = std::fopen((dir_ + "/dovecot.conf").c_str(), "w");
        if (!conf) return;
        std::fputs(("base_dir = " + dir_ + "/run\nstate_dir = " + dir_ + "/state\nlog_path = " +
                    dir_ + "/dovecot.log\ninstance_name = quillmar-" + name +
                    "\nprotocols = imap\nlisten = 127.0.0.1\nssl = no\n"
                    "disable_plaintext_auth = no\nauth_failure_delay = 0\n" +
                    users + "first_valid_uid = " + uid + "\nfirst_valid_gid = " + gid +
                    "\nmail_location = maildir:~/Maildir\nimap_capability = +X" + name +
                    "\npassdb {\n  driver = static\n  args = nopassword=y\n}\n"
                    "userdb {\n  driver = static\n  args = uid=" +
                    uid + " gid=" + gid + " home=" + dir_ +
                    "/home/%n\n}\n"
                    "service imap-login {\n  inet_listener imap {\n    address = 127.0.0.1\n"
                    "    port = " +
                    std::to_string(port_) +
                    "\n  }\n}\n"
                    // A sanitizer build reserves more address space than
                    // the default limits let these processes have.
                    "service imap {\n  vsz_limit = 0\n}\nservice imap-login {\n  vsz_limit = "
                    "0\n}\nservice auth {\n  vsz_limit = 0\n}\n")
                       .c_str(),
                   conf);
        std::fclose(conf);
        qmpeer::hand_to(dir_, "dovecot");
        dovecot_.start({dovecot_binary, "-F", "-c", dir_ + "/dovecot.conf"}, {},
                       dir_ + "/dovecot.out");
        ready_ = qmpeer::wait_until([&] { return qmpeer::port_answers(port_); });
    }
    bool ready() const { return ready_; }
    int port() const { return port_; }
    std::string log() const {
        return qmpeer::read_text(dir_ + "/dovecot.out") + qmpeer::read_text(dir_ + "/dovecot.log");
    }

private:
    std::string dir_;
    int port_;
    bool ready_ = false;
    qmpeer::instance dovecot_;
};

// nginx with nothing of the system's: the prefix, the configuration, the
// pid file and the error log (also the one opened before the configuration
// is read) all in the test's folder.
class private_nginx {
public:
    private_nginx(const std::string& dir, const std::string& mail)
        : dir_(dir + "/nginx"), imap_(qmpeer::free_port()), smtp_(qmpeer::free_port()) {
        std::filesystem::create_directories(dir_);
        std::FILE* conf = std::fopen((dir_ + "/nginx.conf").c_str(), "w");
        if (!conf) return;
        std::fputs((std::string("load_module ") + mail_module + ";\ndaemon off;\npid " + dir_ +
                    "/nginx.pid;\nerror_log " + dir_ +
                    "/error.log info;\nworker_processes 1;\nevents {\n  worker_connections 64;\n}\n"
                    "mail {\n" +
                    mail + "  server {\n    listen 127.0.0.1:" + std::to_string(imap_) +
                    ";\n    protocol imap;\n  }\n  server {\n    listen 127.0.0.1:" +
                    std::to_string(smtp_) +
                    ";\n    protocol smtp;\n    xclient on;\n    smtp_auth plain login;\n  }\n}\n")
                       .c_str(),
                   conf);
        std::fclose(conf);
        nginx_.start(
            {nginx_binary, "-p", dir_ + "/", "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"},
            {}, dir_ + "/nginx.out");
        ready_ = qmpeer::wait_until(
            [&] { return qmpeer::port_answers(imap_) && qmpeer::port_answers(smtp_); });
    }
    bool ready() const { return ready_; }
    int imap_port() const { return imap_; }
    int smtp_port() const { return smtp_; }
    std::string log() const {
        return qmpeer::read_text(dir_ + "/nginx.out") + qmpeer::read_text(dir_ + "/error.log");
    }

private:
    std::string dir_;
    int imap_, smtp_;
    bool ready_ = false;
    qmpeer::instance nginx_;
};

// The IMAP client: one LOGIN per password on one connection, each answer's
// tagged line and milliseconds on a line of its own; after a right one, the
// store's own capability; "closed" when nginx ends the session.
const char* const imap_client = R"(import socket, sys, time
port, user, passwords = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
s = socket.create_connection(("127.0.0.1", port), timeout=30)
f = s.makefile("rb")
def until(tag):
    seen = []
    while True:
        line = f.readline().decode().rstrip("\r\n")
        if not line:
            return seen, None
        if line.startswith(tag + " "):
            return seen, line
        seen.append(line)
f.readline()
for n, password in enumerate(passwords):
    tag = "a%d" % n
    start = time.monotonic()
    s.sendall(('%s LOGIN "%s" "%s"\r\n' % (tag, user, password)).encode())
    seen, answer = until(tag)
    if answer is None:
        print("closed")
        sys.exit(0)
    print("%s\t%d" % (answer[len(tag) + 1:].split(" [")[0], (time.monotonic() - start) * 1000))
    if answer.startswith(tag + " OK"):
        s.sendall(b"c CAPABILITY\r\n")
        seen, answer = until("c")
        print(" ".join(w for w in " ".join(seen).split() if w.startswith("XSTORE")))
        sys.exit(0)
try:
    s.sendall(b"z LOGOUT\r\n")
    seen, answer = until("z")
except OSError:
    answer = None
if answer is None:
    print("closed")
)";

TEST(Nginx, MailProxy) {
    std::string missing;
    if (!qmpeer::programs_here({nginx_binary, dovecot_binary, "/usr/lib/dovecot/imap",
                                python_binary, qmpeer::postfix_binary, qmpeer::swaks_binary},
                               missing))
        GTEST_SKIP() << missing;
    if (!std::filesystem::exists(mail_module)) {
        if (qmtest::servers_required()) FAIL() << mail_module << " is not installed";
        GTEST_SKIP() << mail_module << " is not installed";
    }
    if (::getuid() != 0) {
        if (qmtest::servers_required()) FAIL() << "a private Postfix must be started as root";
        GTEST_SKIP() << "a private Postfix must be started as root";
    }
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    const std::string dir = w.env().dir();
    std::filesystem::permissions(dir, std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add);
    private_store one(dir, "STOREONE"), two(dir, "STORETWO");
    ASSERT_TRUE(one.ready()) << one.log();
    ASSERT_TRUE(two.ready()) << two.log();
    // nginx authenticates; Postfix trusts its XCLIENT.
    qmpeer::private_postfix postfix(dir, {"smtpd_authorized_xclient_hosts = 127.0.0.1"});
    ASSERT_TRUE(postfix.ready()) << postfix.log();

    qmsvc::fill_table(w);
    const std::string host = "127.0.0.1:";
    w.exec(
        "ALTER TABLE maildb ADD COLUMN host VARCHAR(64);"
        "UPDATE maildb SET host = '" +
        host + std::to_string(one.port()) +
        "' WHERE [user] = 'alice@example.org';"
        "UPDATE maildb SET host = '" +
        host + std::to_string(two.port()) +
        "' WHERE [user] = 'bob@example.org';"
        // A host alone: each protocol's port.
        "INSERT INTO maildb VALUES ('dave@example.org', 'd4ve', NULL, 'dave/', NULL, "
        "'127.0.0.1');");
    const int http = qmpeer::free_port();
    service s(w, "workers 2\nlisten_http 127.0.0.1:" + std::to_string(http) +
                     "\nauth_http_key s3cr3t\nfield_mail_host host\nauth_http_wait " +
                     std::to_string(auth_wait) + "\nproxy_port_imap " + std::to_string(two.port()) +
                     "\nproxy_port_smtp " + std::to_string(postfix.port()) + "\n");
    ASSERT_TRUE(s.ready()) << s.log();
    // The lines docs/nginx.md gives.
    private_nginx nginx(dir, "  auth_http 127.0.0.1:" + std::to_string(http) +
                                 "/auth;\n  auth_http_header X-Auth-Key \"s3cr3t\";\n");
    ASSERT_TRUE(nginx.ready()) << nginx.log();

    const std::string script = dir + "/imap_client.py";
    w.env().write_file("imap_client.py", imap_client);
    auto imap = [&](const std::string& user, const std::vector<std::string>& passwords) {
        qmtest::child_options o;
        o.args = {script, std::to_string(nginx.imap_port()), user};
        o.args.insert(o.args.end(), passwords.begin(), passwords.end());
        qmtest::child_result r = qmtest::run_child(python_binary, "", o);
        return r.out + r.err;
    };
    // Each answer with its time: at least Auth-Wait, or less (an answer
    // that nginx did not hold back).
    struct answer {
        std::string line;
        bool waited;
    };
    struct row {
        std::string name, user;
        std::vector<std::string> passwords;
        std::vector<answer> answers;
        std::string last;  // the store's capability, or "closed"
    };
    const std::string invalid = "NO Invalid login or password";
    auto check = [&](const row& r) {
        SCOPED_TRACE(r.name);
        const std::string out = imap(r.user, r.passwords);
        std::vector<std::string> got = qmtest::split_lines(out);
        for (std::string& line : got) line.erase(line.find_last_not_of("\r\n") + 1);
        ASSERT_EQ(got.size(), r.answers.size() + (r.last.empty() ? 0 : 1))
            << out << nginx.log() << s.log();
        for (std::size_t i = 0; i < r.answers.size(); ++i) {
            const std::size_t tab = got[i].find('\t');
            ASSERT_NE(tab, std::string::npos) << got[i];
            EXPECT_EQ(got[i].substr(0, tab), r.answers[i].line);
            const long ms = std::stol(got[i].substr(tab + 1));
            if (r.answers[i].waited) {
                EXPECT_GE(ms, auth_wait * 1000) << got[i];
            } else {
                EXPECT_LT(ms, auth_wait * 1000) << got[i];
            }
        }
        if (!r.last.empty()) {
            EXPECT_EQ(got.back(), r.last);
        }
    };
    const std::vector<row> rows = {
        {"alice's row", "alice", {"wonderland"}, {{"OK", false}}, "XSTOREONE"},
        {"bob's row", "bob@example.org", {"builder"}, {{"OK", false}}, "XSTORETWO"},
        {"a host alone", "dave", {"d4ve"}, {{"OK", false}}, "XSTORETWO"},
        {"wrong, then right",
         "alice",
         {"Wonderland", "wonderland"},
         {{invalid, true}, {"OK", false}},
         "XSTOREONE"},
        {"unknown", "nobody", {"wonderland"}, {{invalid, true}}, ""},
        // At the attempts limit nginx ends the session at once.
        {"attempts limit",
         "bob",
         {"a", "b", "c"},
         {{invalid, true}, {invalid, true}, {invalid, false}},
         "closed"},
    };
    for (const row& r : rows) check(r);

    // SMTP: nginx answers AUTH itself, then hands the session to Postfix.
    struct smtp_row {
        std::string mechanism, user, password, code;
    };
    const std::vector<smtp_row> smtp_rows = {
        {"PLAIN", "dave", "d4ve", "235"},
        {"LOGIN", "dave@example.org", "d4ve", "235"},
        {"PLAIN", "dave", "wrong", "535"},
        {"LOGIN", "nobody", "d4ve", "535"},
    };
    for (const smtp_row& r : smtp_rows) {
        SCOPED_TRACE(r.mechanism + " " + r.user + " " + r.password);
        EXPECT_EQ(qmpeer::swaks_auth(nginx.smtp_port(), r.mechanism, r.user, r.password), r.code)
            << nginx.log() << postfix.log();
    }

    // The database stopped: nginx's temporary error, held back as long.
    ASSERT_TRUE(servers.halt());
    check({"database stopped",
           "alice",
           {"wonderland"},
           {{"NO Temporary server problem, try again later", true}},
           ""});
    EXPECT_EQ(qmpeer::swaks_auth(nginx.smtp_port(), "PLAIN", "dave", "d4ve"), "451") << nginx.log();
}

}  // namespace
