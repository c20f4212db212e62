// The load generator against the real Dovecot: a private instance (its own
// base_dir, a passwd-file passdb, no listener but its auth service's
// sockets) answers on its auth-client socket, so the generator's side of the
// protocol is Dovecot's, and its counts are checked against answers known
// beforehand: right and wrong passwords, a user who is not there, a list
// that is wrong about a password, and the auth process killed under load.
// Its auth_http side is checked against the service's listen_http, which
// no other program here answers.
// Against the service's Dovecot socket, it shows that guessers held back
// by auth_failure_delay do not slow the others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <dirent.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "e2e/peer_harness.h"
#include "e2e/service_harness.h"
#include "support/child_process.h"

namespace {

const char* const dovecot_binary = "/usr/sbin/dovecot";

class private_dovecot {
public:
    private_dovecot() {
        char pattern[] = "/tmp/qm-auth-load.XXXXXX";
        if (::mkdtemp(pattern)) dir_ = pattern;
        write("passwd",
              "alice@example.org:{PLAIN}wonderland\n"
              "bob@example.org:{PLAIN}builder\n");
        // Run by hand as another user than root, Dovecot's processes run as that user.
        std::string users;
        if (::getuid() != 0) {
            const passwd* me = ::getpwuid(::getuid());
            users = std::string("default_internal_user = ") + me->pw_name +
                    "\ndefault_login_user = " + me->pw_name + "\n";
        }
        write("dovecot.conf",
              "base_dir = " + dir_ + "/run\nstate_dir = " + dir_ + "/state\nlog_path = " + dir_ +
                  "/dovecot.log\ninstance_name = quillmar-load-test\nprotocols =\n" + users +
                  "ssl = no\ndisable_plaintext_auth = no\nauth_mechanisms = plain login\n"
                  "auth_failure_delay = 0\n"
                  "passdb {\n  driver = passwd-file\n  args = " +
                  dir_ + "/passwd\n}\nuserdb {\n  driver = static\n  args = uid=nobody\n}\n");
        qmpeer::hand_to(dir_, "dovecot");
        dovecot_.start({dovecot_binary, "-F", "-c", dir_ + "/dovecot.conf"}, {},
                       dir_ + "/dovecot.out");
        ready_ =
            qmpeer::wait_until([&] { return std::filesystem::exists(dir_ + "/run/auth-client"); });
    }
    ~private_dovecot() {
        dovecot_.stop();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    bool ready() const { return ready_; }
    const std::string& dir() const { return dir_; }
    std::string socket() const { return dir_ + "/run/auth-client"; }
    std::string log() const { return qmpeer::read_text(dir_ + "/dovecot.log"); }

    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ + "/" + name) << text;
        return dir_ + "/" + name;
    }

    // The pid of the auth process the master started, once it runs.
    pid_t auth_process() const {
        std::ifstream master(dir_ + "/run/master.pid");
        pid_t parent = 0;
        master >> parent;
        if (parent <= 0) return 0;
        std::ifstream children("/proc/" + std::to_string(parent) + "/task/" +
                               std::to_string(parent) + "/children");
        pid_t child;
        while (children >> child) {
            std::ifstream comm("/proc/" + std::to_string(child) + "/comm");
            std::string name;
            comm >> name;
            if (name == "auth") return child;
        }
        return 0;
    }

private:
    std::string dir_;
    bool ready_ = false;
    qmpeer::instance dovecot_;
};

// A count from the report: the number after "label " or "label: ".
// (Plain string search: GCC 12 warns inside <regex> under the sanitizers.)
long count(const std::string& report, const std::string& label) {
    for (std::size_t at = report.find(label); at != std::string::npos;
         at = report.find(label, at + 1)) {
        std::size_t digits = at + label.size();
        if (digits < report.size() && report[digits] == ':') ++digits;
        if (digits >= report.size() || report[digits] != ' ') continue;
        ++digits;
        std::size_t end = digits;
        while (end < report.size() && report[end] >= '0' && report[end] <= '9') ++end;
        if (end > digits) return std::stol(report.substr(digits, end - digits));
    }
    return -1;
}

// The report's line that begins with `start`, empty when there is none.
std::string line_of(const std::string& report, const std::string& start) {
    for (std::size_t at = 0; at < report.size();) {
        std::size_t end = report.find('\n', at);
        if (end == std::string::npos) end = report.size();
        if (report.compare(at, start.size(), start) == 0) return report.substr(at, end - at);
        at = end + 1;
    }
    return "";
}

qmtest::child_result generate(const std::vector<std::string>& args) {
    qmtest::child_options options;
    options.args = args;
    options.timeout = std::chrono::seconds(60);
    return qmtest::run_child(QM_AUTH_LOAD, "", options);
}

class AuthLoad : public ::testing::Test {
protected:
    void SetUp() override {
        std::string missing;
        if (!qmpeer::programs_here({dovecot_binary, "/usr/bin/doveadm"}, missing))
            GTEST_SKIP() << missing;
    }
};

// Each list against the same Dovecot: the counts of OK and FAIL, and the
// wrong answers when the list is wrong about a password.
TEST_F(AuthLoad, CountsAnswersAgainstDovecot) {
    private_dovecot dovecot;
    ASSERT_TRUE(dovecot.ready()) << dovecot.log();
    struct case_ {
        const char* users;
        int exit_code;
        bool wrong;
    } cases[] = {
        // Right and wrong passwords, and a user who is not there.
        {"alice@example.org wonderland\nbob@example.org builder\ncarol@example.org\n", 0, false},
        // The list is wrong about bob: Dovecot's every answer for him is
        // then a wrong one.
        {"alice@example.org wonderland\nbob@example.org bulldozer\n", 1, true},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.users);
        std::string users = dovecot.write("users", c.users);
        qmtest::child_result r =
            generate({"--socket", dovecot.socket(), "--users", users, "--clients", "20",
                      "--seconds", "1", "--param", "no-penalty"});
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err << dovecot.log();
        // Dovecot holds back each failure for half a second.
        EXPECT_GE(count(r.out, "checks"), 20) << r.out;
        EXPECT_GT(count(r.out, "OK"), 0) << r.out;
        EXPECT_GT(count(r.out, "FAIL"), 0) << r.out;
        EXPECT_EQ(count(r.out, "FAIL temp"), 0) << r.out;
        EXPECT_EQ(count(r.out, "wrong answers") > 0, c.wrong) << r.out;
        EXPECT_EQ(count(r.out, "protocol errors"), 0) << r.out;
        EXPECT_EQ(count(r.out, "unanswered"), 0) << r.out;
    }
}

// Dovecot's auth process killed under load: its clients lose their
// connections, connect again to the new process the master starts, and are
// answered rightly from then on; the command runs at its second.
TEST_F(AuthLoad, KillAndCommandUnderLoad) {
    private_dovecot dovecot;
    ASSERT_TRUE(dovecot.ready()) << dovecot.log();
    std::string users =
        dovecot.write("users", "alice@example.org wonderland\nbob@example.org builder\n");
    // The master starts the auth process at the first connection.
    ASSERT_EQ(generate({"--socket", dovecot.socket(), "--users", users, "--clients", "1",
                        "--seconds", "1", "--param", "no-penalty"})
                  .exit_code,
              0);
    pid_t auth = dovecot.auth_process();
    ASSERT_GT(auth, 0) << "no auth process under Dovecot's master";
    std::string marker = dovecot.dir() + "/ran";
    qmtest::child_result r =
        generate({"--socket", dovecot.socket(), "--users", users, "--clients", "20", "--seconds",
                  "3", "--param", "no-penalty", "--kill", std::to_string(auth), "--kill-at", "1",
                  "--run", "touch " + marker, "--run-at", "0.5"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err << dovecot.log();
    EXPECT_EQ(count(r.out, "wrong answers"), 0) << r.out;
    EXPECT_GT(count(r.out, "disconnects"), 0) << r.out;
    EXPECT_NE(r.out.find("kill " + std::to_string(auth) + " at 1.0 s: "), std::string::npos)
        << r.out;
    EXPECT_NE(line_of(r.out, "kill ").find("answers right again from +"), std::string::npos)
        << r.out;
    EXPECT_NE(line_of(r.out, "run 'touch ").find(": exited 0 after"), std::string::npos) << r.out;
    EXPECT_TRUE(std::filesystem::exists(marker));
    EXPECT_NE(dovecot.auth_process(), auth);
}

// nginx's auth_http against the service, over TCP and its unix socket: a
// connection per check, the counts as against Dovecot, and the wrong
// answers when the list is wrong about a password.
TEST(AuthLoadHttp, CountsAnswersAgainstTheService) {
    const std::string tcp = "127.0.0.1:" + std::to_string(qmpeer::free_port());
    struct case_ {
        std::string target, users;
        int exit_code;
        bool wrong;
    } cases[] = {
        {tcp,
         "alice@example.org wonderland\nbob builder\ndave@example.org p%4+ss "
         "w:rd\ncarol@example.org\n",
         0, false},
        {"", "alice@example.org wonderland\nbob@example.org builder\n", 0, false},
        {tcp, "alice@example.org wonderland\nbob@example.org bulldozer\n", 1, true},
    };
    for (const case_& c : cases) {
        qmdir::world w;
        qmsvc::fill_table(w);
        // A password that breaks unless escaped and unescaped alike.
        w.exec("INSERT INTO maildb VALUES ('dave@example.org', 'p%4+ss w:rd', NULL, NULL, NULL);");
        const std::string target = c.target.empty() ? w.env().dir() + "/http.sock" : c.target;
        SCOPED_TRACE(target + "\n" + c.users);
        qmsvc::service s(w,
                         "workers 2\nproxy_default_host 127.0.0.9\nlisten_http " + target + "\n");
        ASSERT_TRUE(s.ready()) << s.log();
        const std::string users = w.env().dir() + "/users";
        std::ofstream(users) << c.users;
        qmtest::child_result r =
            generate({"--http", target, "--users", users, "--clients", "20", "--seconds", "1"});
        EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err << s.log();
        EXPECT_GE(count(r.out, "checks"), 100) << r.out;
        EXPECT_GT(count(r.out, "OK"), 0) << r.out;
        EXPECT_GT(count(r.out, "FAIL"), 0) << r.out;
        EXPECT_EQ(count(r.out, "FAIL temp"), 0) << r.out;
        EXPECT_EQ(count(r.out, "wrong answers") > 0, c.wrong) << r.out;
        EXPECT_EQ(count(r.out, "protocol errors"), 0) << r.out;
        EXPECT_EQ(count(r.out, "unanswered"), 0) << r.out;
    }
}

// A figure of the report: the number after `label`, -1 when there is none.
double figure(const std::string& report, const std::string& label) {
    const std::size_t at = report.find(label);
    return at == std::string::npos ? -1 : std::atof(report.c_str() + at + label.size());
}

// auth_failure_delay under load: 100 clients with right passwords keep the
// rate and p99 they have alone while 100 others send only wrong ones, each
// of which waits the delay (so a guesser gets about one try a second).
TEST(AuthLoadDelay, GuessersWaitOthersDoNot) {
    qmdir::world w;
    qmsvc::fill_table(w);
    qmsvc::service s(w, "workers 2\nauth_failure_delay 1\n");
    ASSERT_TRUE(s.ready()) << s.log();
    const std::string users = w.env().dir() + "/users";
    std::ofstream(users) << "alice@example.org wonderland\nbob@example.org builder\n";
    auto load = [&](const char* seconds, const char* wrong_every) {
        return generate({"--socket", s.auth_socket(), "--users", users, "--clients", "100",
                         "--seconds", seconds, "--wrong-every", wrong_every});
    };
    const qmtest::child_result alone = load("2", "0");
    auto guessing = std::async(std::launch::async, [&] { return load("3", "1"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const qmtest::child_result beside = load("2", "0");
    const qmtest::child_result guessed = guessing.get();
    for (const qmtest::child_result* r : {&alone, &beside, &guessed}) {
        EXPECT_EQ(r->exit_code, 0) << r->out << r->err << s.log();
        EXPECT_EQ(count(r->out, "unanswered"), 0) << r->out;
    }
    // Generous: the machine is shared, and the guessers' checks still cost.
    EXPECT_GE(figure(beside.out, "checks: "), figure(alone.out, "checks: ") / 3)
        << alone.out << beside.out;
    EXPECT_LE(figure(beside.out, "p99 "), 5 * figure(alone.out, "p99 ") + 100)
        << alone.out << beside.out;
    // At most one check a second for each guesser, every one refused.
    EXPECT_LE(count(guessed.out, "checks"), 100 * 4) << guessed.out;
    EXPECT_EQ(count(guessed.out, "FAIL"), count(guessed.out, "checks")) << guessed.out;
    EXPECT_GE(figure(guessed.out, "p50 "), 1000) << guessed.out;
}

}  // namespace
