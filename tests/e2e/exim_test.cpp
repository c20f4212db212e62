// The service with the real Exim: Debian's exim4-daemon-heavy, unpacked
// under build/exim by scripts/exim-fetch.sh (installing it would remove
// Postfix), run as root with its own configuration (-C), spool and log
// folders on a free loopback port, its `dovecot` authenticators pointed at
// the service's socket, driven by swaks. Exim looks up its user Debian-exim
// at start, which this machine need not have: it runs in a mount namespace
// of its own (unshare --mount) where copies of /etc/passwd and /etc/group
// that carry the user are bound over the real ones, so the machine is left
// as it was.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using qmdir::world;
using qmsvc::service;

const std::string exim_binary = std::string(QM_SOURCE_DIR) + "/build/exim/usr/sbin/exim4";
const char* const swaks_binary = "/usr/bin/swaks";
const char* const unshare_binary = "/usr/bin/unshare";

// The group Exim's user gets inside its namespace, and the service's socket
// outside it: one that every Debian system has, so that the socket can carry
// it (docs/service.md's deployment gives the socket the group Debian-exim).
const char* const socket_group = "mail";

class private_exim {
public:
    private_exim(const std::string& dir, const service& s) : dir_(dir + "/exim") {
        std::filesystem::create_directories(dir_ + "/spool");
        std::filesystem::create_directories(dir_ + "/log");
        // Exim's user must pass the folder of the socket.
        std::filesystem::permissions(dir, std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        const group* mail = ::getgrnam(socket_group);
        if (!mail) return;
        const uid_t uid = unused_uid();
        write_accounts(uid, mail->gr_gid);
        // Exim works in its spool and writes its log as its own user.
        for (const char* sub : {"/spool", "/log"})
            if (::chown((dir_ + sub).c_str(), uid, mail->gr_gid) != 0) return;
        port_ = qmpeer::free_port();
        std::string conf;
        for (const std::string& line : std::vector<std::string>{
                 "primary_hostname = quillmar-test.localdomain",
                 "exim_path = " + exim_binary,
                 "spool_directory = " + dir_ + "/spool",
                 "log_file_path = " + dir_ + "/log/%slog",
                 "pid_file_path = " + dir_ + "/exim.pid",
                 "daemon_smtp_ports = " + std::to_string(port_),
                 "local_interfaces = 127.0.0.1",
                 "keep_environment =",
                 "host_lookup =",
                 "rfc1413_hosts =",
                 "tls_advertise_hosts =",
                 "auth_advertise_hosts = *",
                 "begin authenticators",
                 // The lines docs/postfix-exim.md gives.
                 "quillmar_plain:",
                 "  driver = dovecot",
                 "  public_name = PLAIN",
                 "  server_socket = " + s.auth_socket(),
                 "  server_set_id = $auth1",
                 "quillmar_login:",
                 "  driver = dovecot",
                 "  public_name = LOGIN",
                 "  server_socket = " + s.auth_socket(),
                 "  server_set_id = $auth1",
             })
            conf += line + "\n";
        // Root's, and no one else may write it, or Exim refuses it.
        std::ofstream(dir_ + "/exim.conf") << conf;
        ::chmod((dir_ + "/exim.conf").c_str(), 0644);
        exim_.start({unshare_binary, "--mount", "/bin/sh", "-c",
                     "mount --bind \"$0/passwd\" /etc/passwd && mount --bind \"$0/group\" "
                     "/etc/group && exec \"$1\" -C \"$0/exim.conf\" -bdf",
                     dir_, exim_binary},
                    {}, dir_ + "/start.out");
        ready_ = qmpeer::wait_until([&] { return qmpeer::port_answers(port_); });
    }
    ~private_exim() { exim_.stop(); }

    bool ready() const { return ready_; }
    std::string log() const {
        return qmpeer::read_text(dir_ + "/start.out") + qmpeer::read_text(dir_ + "/log/mainlog") +
               qmpeer::read_text(dir_ + "/log/paniclog");
    }

    // The SMTP reply code swaks met after AUTH from the address `from`
    // ("235", "535", "435"), or its whole output when it met none.
    std::string auth(const std::string& from, const std::string& mechanism, const std::string& user,
                     const std::string& password) const {
        qmtest::child_options o;
        o.args = {"--server",          "127.0.0.1", "--port",          std::to_string(port_),
                  "--local-interface", from,        "--auth",          mechanism,
                  "--auth-user",       user,        "--auth-password", password,
                  "--quit-after",      "AUTH",      "--ehlo",          "test"};
        qmtest::child_result r = qmtest::run_child(swaks_binary, "", o);
        for (const char* code : {"235 ", "535 ", "435 "})
            if (r.out.find("<~ " + std::string(code)) != std::string::npos ||
                r.out.find("<-  " + std::string(code)) != std::string::npos ||
                r.out.find("<** " + std::string(code)) != std::string::npos)
                return std::string(code, 3);
        return r.out + r.err;
    }

private:
    // A user id that no account of this machine has.
    static uid_t unused_uid() {
        uid_t uid = 64000;
        while (::getpwuid(uid)) ++uid;
        return uid;
    }

    // The machine's accounts and Exim's, for its namespace alone. A
    // Debian-exim left by an Exim once installed here gives way to ours.
    void write_accounts(uid_t uid, gid_t gid) const {
        std::ofstream(dir_ + "/passwd")
            << without_exim(qmpeer::read_text("/etc/passwd")) << "Debian-exim:x:" << uid << ":"
            << gid << ":Exim:/nonexistent:/usr/sbin/nologin\n";
        std::ofstream(dir_ + "/group")
            << without_exim(qmpeer::read_text("/etc/group")) << "Debian-exim:x:" << gid << ":\n";
    }

    static std::string without_exim(const std::string& accounts) {
        std::istringstream lines(accounts);
        std::string kept, line;
        while (std::getline(lines, line))
            if (line.rfind("Debian-exim:", 0) != 0) kept += line + "\n";
        return kept;
    }

    std::string dir_;
    int port_ = -1;
    bool ready_ = false;
    qmpeer::instance exim_;
};

// One table against one private Exim in front of one service, in order:
// logins right and wrong, a client inside and outside a user's mask, a
// guesser throttled, then the database halted, then the service stopped.
TEST(Exim, SmtpAuth) {
    std::string missing;
    if (!qmpeer::programs_here({swaks_binary, unshare_binary}, missing)) GTEST_SKIP() << missing;
    if (::access(exim_binary.c_str(), X_OK) != 0) {
        const std::string absent = exim_binary + " is missing (scripts/exim-fetch.sh unpacks it)";
        if (qmtest::servers_required()) FAIL() << absent;
        GTEST_SKIP() << absent;
    }
    if (::getuid() != 0) {
        if (qmtest::servers_required()) FAIL() << "a private Exim must be started as root";
        GTEST_SKIP() << "a private Exim must be started as root";
    }
    QM_OWN_PG_SERVERS(servers);
    world w(qmtest::db_kind::postgres, servers.env_file());
    qmsvc::fill_table(w);
    w.exec(
        "INSERT INTO maildb VALUES ('dave@example.org', 'grüne Äpfel im Mai', NULL, 'dave/', "
        "NULL);"
        "INSERT INTO maildb VALUES ('erin@example.org', 'erin', NULL, 'erin/', '127.0.0.2');");
    // 127.0.0.1 is trusted, so that the failures the table asks for do not
    // throttle the rows after them; the guesser comes from 127.0.0.9.
    service s(w, "workers 2\nsocket_group " + std::string(socket_group) +
                     "\nauth_failure_limit 3 300\nauth_trusted_networks 127.0.0.1\n"
                     "auth_failure_table " +
                     w.env().dir() + "/auth-failures\n");
    ASSERT_TRUE(s.ready()) << s.log();
    private_exim exim(w.env().dir(), s);
    ASSERT_TRUE(exim.ready()) << exim.log();

    enum class before { nothing, database_halted, service_stopped };
    struct row {
        before step;
        std::string from, mechanism, user, password, code;
    };
    const std::string utf8 = "grüne Äpfel im Mai";
    const std::vector<row> rows = {
        {before::nothing, "127.0.0.1", "PLAIN", "alice@example.org", "wonderland", "235"},
        {before::nothing, "127.0.0.1", "LOGIN", "alice@example.org", "wonderland", "235"},
        // Without a domain: the default domain's user.
        {before::nothing, "127.0.0.1", "PLAIN", "alice", "wonderland", "235"},
        {before::nothing, "127.0.0.1", "LOGIN", "bob", "builder", "235"},
        {before::nothing, "127.0.0.1", "PLAIN", "alice", "wrong", "535"},
        {before::nothing, "127.0.0.1", "LOGIN", "alice", "wrong", "535"},
        {before::nothing, "127.0.0.1", "PLAIN", "nobody", "wonderland", "535"},
        {before::nothing, "127.0.0.1", "PLAIN", "dave", utf8, "235"},
        {before::nothing, "127.0.0.1", "LOGIN", "dave", utf8, "235"},
        {before::nothing, "127.0.0.1", "PLAIN", "dave", "grüne Äpfel", "535"},
        // Exim passes the client's address (rip): erin's mask is 127.0.0.2.
        {before::nothing, "127.0.0.2", "PLAIN", "erin", "erin", "235"},
        {before::nothing, "127.0.0.1", "PLAIN", "erin", "erin", "535"},
        {before::nothing, "127.0.0.1", "LOGIN", "carol", "c4r0l", "535"},
        // Three failures, then the right password is refused too, from that
        // address alone.
        {before::nothing, "127.0.0.9", "PLAIN", "bob", "guess1", "535"},
        {before::nothing, "127.0.0.9", "LOGIN", "bob", "guess2", "535"},
        {before::nothing, "127.0.0.9", "PLAIN", "bob", "guess3", "535"},
        {before::nothing, "127.0.0.9", "PLAIN", "bob", "builder", "535"},
        {before::nothing, "127.0.0.1", "PLAIN", "bob", "builder", "235"},
        // A temporary failure, never a wrong password.
        {before::database_halted, "127.0.0.1", "PLAIN", "alice", "wonderland", "435"},
        {before::nothing, "127.0.0.1", "LOGIN", "bob", "builder", "435"},
        {before::nothing, "127.0.0.1", "PLAIN", "dave", utf8, "435"},
        {before::service_stopped, "127.0.0.1", "PLAIN", "alice", "wonderland", "435"},
        {before::nothing, "127.0.0.1", "LOGIN", "bob", "builder", "435"},
    };
    for (const row& r : rows) {
        if (r.step == before::database_halted) {
            ASSERT_TRUE(servers.halt());
        }
        if (r.step == before::service_stopped) {
            ASSERT_EQ(s.stop(), 0) << s.log();
        }
        SCOPED_TRACE(r.from + " " + r.mechanism + " " + r.user + " " + r.password);
        EXPECT_EQ(exim.auth(r.from, r.mechanism, r.user, r.password), r.code)
            << exim.log() << s.log();
    }
    EXPECT_NE(s.log().find("Throttle on for 127.0.0.9"), std::string::npos) << s.log();
}

}  // namespace
