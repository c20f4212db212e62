// quillmar-pw run as a child: every value it makes verifies in itself and in
// Dovecot's doveadm; its exit codes; and the terminal's twice-typed password.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "schemes/schemes.h"
#include "support/child_process.h"
#include "support/odbc_env.h"

namespace {

using qmtest::child_options;
using qmtest::run_child;

const std::string doveadm = "/usr/bin/doveadm";

qmtest::child_result pw(std::vector<std::string> args, const std::string& input) {
    child_options options;
    options.args = std::move(args);
    return run_child(QM_PW_BINARY, input, options);
}

// Costs kept small for the sanitizer build.
std::vector<std::string> cheap_cost(const std::string& scheme) {
    if (scheme == "ARGON2ID") return {"-r", "1", "-m", "64"};
    if (scheme == "ARGON2I") return {"-r", "3", "-m", "64"};
    if (scheme == "BLF-CRYPT") return {"-r", "4"};
    if (scheme == "SHA512-CRYPT" || scheme == "SHA256-CRYPT") return {"-r", "1000"};
    if (scheme == "CRYPT") return {"-r", "1"};
    return {};
}

TEST(Pwtool, EveryMadeValueVerifiesHereAndInDoveadm) {
    ASSERT_EQ(access(doveadm.c_str(), X_OK), 0) << "doveadm missing: scripts/deps.sh installs it";
    const std::string password = "it's \"a\" pa\\ss w\xc3\xb6rd";
    std::vector<std::vector<std::string>> makes = {{}};  // the default: ARGON2ID, interactive
    for (const scheme_listing& s : scheme_list()) {
        if (!s.makes) continue;
        std::vector<std::string> args = {"-s", s.name};
        for (const std::string& a : cheap_cost(s.name)) args.push_back(a);
        makes.push_back(args);
    }
    makes.push_back({"-s", "sha256.hex"});
    for (const auto& args : makes) {
        SCOPED_TRACE(args.empty() ? "default" : args[1]);
        qmtest::child_result made = pw(args, password + "\n");
        ASSERT_EQ(made.exit_code, 0) << made.err;
        ASSERT_EQ(qmtest::split_lines(made.out).size(), 1u);
        std::string value = made.out.substr(0, made.out.size() - 1);
        if (args.empty()) {
            EXPECT_EQ(value.rfind("{ARGON2ID}$argon2id$v=19$m=65536,t=2,p=1$", 0), 0u);
        }
        EXPECT_EQ(pw({"-t", value}, password + "\n").exit_code, 0);
        EXPECT_EQ(pw({"-t", value}, password + "!\n").exit_code, 1);
        child_options dove;
        dove.args = {"-O", "pw", "-t", value, "-p", password};
        qmtest::child_result checked = run_child(doveadm, "", dove);
        EXPECT_EQ(checked.exit_code, 0) << checked.err;
    }
}

// The same values in a user table: the authenticator verifies each of them
// (the password has no blank, which would end it on the command line).
TEST(Pwtool, EveryMadeValueVerifiesInTheAuthenticator) {
    const std::string password = "it's\"a\"pa\\ssw\xc3\xb6rd";
    std::vector<std::vector<std::string>> makes = {{}};
    for (const scheme_listing& s : scheme_list()) {
        if (!s.makes) continue;
        std::vector<std::string> args = {"-s", s.name};
        for (const std::string& a : cheap_cost(s.name)) args.push_back(a);
        makes.push_back(args);
    }
    odbc_env env("quillmar");
    std::string sql = "CREATE TABLE maildb (user TEXT, pass TEXT);", input, expected;
    for (std::size_t i = 0; i < makes.size(); ++i) {
        qmtest::child_result made = pw(makes[i], password + "\n");
        ASSERT_EQ(made.exit_code, 0) << made.err;
        std::string user = "u" + std::to_string(i), value;
        for (char c : made.out.substr(0, made.out.size() - 1))
            value += c == '\'' ? "''" : std::string(1, c);
        sql += "INSERT INTO maildb VALUES ('" + user + "', '" + value + "');";
        input += "check " + user + " " + password + "\ncheck " + user + " " + password + "!\n";
        expected +=
            "+OK " + user + " config 0\r\n-ERR " + user + " password wrong or not a valid user\r\n";
    }
    env.exec(sql);
    env.write_file("quillmar.ini",
                   "field_username user\nfield_password pass\ndefault_pass_scheme ARGON2ID\n");
    child_options options;
    options.cwd = env.dir();
    for (const std::string& setting : env.child_environment()) {
        std::size_t eq = setting.find('=');
        options.env.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
    }
    qmtest::child_result r = run_child(QM_BINARY, input + "quit\n", options);
    EXPECT_EQ(r.out, expected + "+OK\r\n");
}

// A file of the test's own holding `text`; removed with the object.
struct temp_file {
    explicit temp_file(const std::string& text) {
        char name[] = "/tmp/qm_pw_valueXXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        }
        path = name;
    }
    ~temp_file() { unlink(path.c_str()); }
    std::string path;
};

TEST(Pwtool, ExitCodes) {
    const std::string md5 = "{MD5-CRYPT}$1$D3x9CTMX$9ZmMD1mcFbEa06faWvxcp/";  // "secret"
    const temp_file plain("{PLAIN}s3cr3t\r\nsecond line\n"), empty(""), bare("s3cr3t");
    struct row {
        std::vector<std::string> args;
        std::string input;
        int exit_code;
    };
    const row rows[] = {
        {{"-t", "{PLAIN}s3cr3t"}, "s3cr3t\n", 0},
        {{"-t", "{PLAIN}s3cr3t"}, "s3cr3t", 0},
        {{"-t", "{PLAIN}s3cr3t"}, "s3cr3t\r\nsecond line\n", 0},
        {{"-t", "{PLAIN}s3cr3t"}, "s3cr3T\n", 1},
        {{"-t", "{PLAIN}s3cr3t"}, "", 2},
        {{"-t", "s3cr3t"}, "s3cr3t\n", 2},
        {{"-t", "s3cr3t", "-s", "plain"}, "s3cr3t\n", 0},
        {{"-t", "{NOPE}s3cr3t"}, "s3cr3t\n", 2},
        {{"-t", "{SHA256}bad base64"}, "s3cr3t\n", 2},
        {{"-t", md5}, "secret\n", 2},
        {{"-w", "-t", md5}, "secret\n", 0},
        {{"-s", "MD5-CRYPT"}, "s3cr3t\n", 1},
        {{"-s", "PLAIN"}, "\n", 1},
        {{"-s", "NOPE"}, "s3cr3t\n", 2},
        {{"extra"}, "s3cr3t\n", 2},
        {{"-x"}, "s3cr3t\n", 2},
        {{"-l", "-s", "PLAIN"}, "", 2},
        {{"-r", "many"}, "s3cr3t\n", 2},
        {{"-t", "{PLAIN}s3cr3t", "-r", "5"}, "s3cr3t\n", 2},
        {{"-w"}, "s3cr3t\n", 2},
        // The stored value on standard input, the line before the password,
        // or in a file.
        {{"-t", "-"}, "{PLAIN}s3cr3t\ns3cr3t\n", 0},
        {{"-t", "-"}, "{PLAIN}s3cr3t\r\ns3cr3t", 0},
        {{"-t", "-"}, "{PLAIN}s3cr3t\ns3cr3T\n", 1},
        {{"-t", "-"}, "{PLAIN}s3cr3t\n", 2},
        {{"-t", "-"}, "", 2},
        {{"-s", "plain", "-t", "-"}, "s3cr3t\ns3cr3t\n", 0},
        {{"-T", plain.path}, "s3cr3t\n", 0},
        {{"-T", plain.path}, "second line\n", 1},
        {{"-T", bare.path, "-s", "PLAIN"}, "s3cr3t\n", 0},
        {{"-T", empty.path}, "s3cr3t\n", 2},
        {{"-T", "/nonexistent/value"}, "s3cr3t\n", 2},
        {{"-T", plain.path, "-t", "-"}, "s3cr3t\n", 2},
        // Costs are plain numbers above 0, or a usage error.
        {{"-s", "PLAIN", "-r", " -1"}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", "+3"}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", "0"}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", ""}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", "0x10"}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", "3 "}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-r", "18446744073709551616"}, "s3cr3t\n", 2},
        {{"-s", "PLAIN", "-m", "-64"}, "s3cr3t\n", 2},
        {{"-s", "BLF-CRYPT", "-r", "04"}, "s3cr3t\n", 0},
    };
    for (const row& r : rows) {
        std::string shown;
        for (const std::string& a : r.args) shown += a + " ";
        SCOPED_TRACE(shown);
        qmtest::child_result got = pw(r.args, r.input);
        EXPECT_EQ(got.exit_code, r.exit_code) << got.err;
        EXPECT_EQ(got.err.find("s3cr3"), std::string::npos);
        if (r.exit_code != 0) {
            EXPECT_NE(got.err, "");
        }
    }
    qmtest::child_result list = pw({"-l"}, "");
    EXPECT_EQ(list.exit_code, 0);
    EXPECT_NE(list.out.find("ARGON2ID "), std::string::npos);
    EXPECT_NE(list.out.find("MD5-CRYPT "), std::string::npos);
}

// Runs quillmar-pw on a terminal, typing each answer once its prompt shows;
// returns everything the terminal showed and the exit status.
std::pair<std::string, int> on_terminal(const std::vector<std::string>& args,
                                        const std::vector<std::string>& answers) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<char*> argv = {const_cast<char*>(QM_PW_BINARY)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(QM_PW_BINARY, argv.data());
        _exit(127);
    }
    std::string shown;
    int status = 0;
    bool ended = false;
    std::size_t typed = 0, prompts_seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buffer[256];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0 && waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;  // the terminal is drained and closed
            break;
        }
        if (n <= 0) {
            usleep(10000);  // not yet opened by the child, or closed while it ends
            continue;
        }
        shown.append(buffer, static_cast<std::size_t>(n));
        // Typed only after the prompt, once echo is off and pending input flushed.
        std::size_t prompts = 0;
        for (const char* prompt : {"assword: ", "value: "})
            for (std::size_t at = 0; (at = shown.find(prompt, at)) != std::string::npos; ++at)
                ++prompts;
        while (prompts_seen < prompts && typed < answers.size()) {
            ++prompts_seen;
            std::string line = answers[typed++] + "\n";
            EXPECT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
    }
    if (!ended) {
        ADD_FAILURE() << "quillmar-pw still waits on the terminal";
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(master);
    return {shown, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Pwtool, TerminalAsksTwiceWithoutEcho) {
    auto same = on_terminal({"-s", "PLAIN"}, {"Typed1", "Typed1"});
    EXPECT_EQ(same.second, 0) << same.first;
    std::size_t value = same.first.find("{PLAIN}Typed1");
    ASSERT_NE(value, std::string::npos) << same.first;
    EXPECT_EQ(same.first.substr(0, value).find("Typed1"), std::string::npos) << same.first;

    auto differ = on_terminal({"-s", "PLAIN"}, {"Typed1", "Typed2"});
    EXPECT_EQ(differ.second, 1) << differ.first;
    EXPECT_EQ(differ.first.find("Typed"), std::string::npos) << differ.first;

    // The stored value typed for -t - is not shown either: a {PLAIN} value is
    // the password.
    auto stored = on_terminal({"-t", "-"}, {"{PLAIN}Typed1", "Typed1"});
    EXPECT_EQ(stored.second, 0) << stored.first;
    EXPECT_NE(stored.first.find("Stored value: "), std::string::npos) << stored.first;
    EXPECT_EQ(stored.first.find("Typed"), std::string::npos) << stored.first;
}

// quillmar-pw as a shell runs it on a terminal: the foreground job, in a
// process group of its own whose parent (the "shell", leader of the
// terminal's session) waits for it, so that a stop signal stops it. The
// shell reports the job's end and whether the terminal echoed then.
class terminal_job {
public:
    explicit terminal_job(const std::vector<std::string>& args) {
        int report[2];
        if (pipe(report) != 0) return;
        shell_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (shell_ == 0) {
            close(report[0]);
            pid_t job = fork();
            if (job == 0) {
                setpgid(0, 0);
                // As a shell starts a foreground job, whatever ran the test.
                for (int s : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGTSTP, SIGPIPE})
                    signal(s, SIG_DFL);
                signal(SIGTTOU, SIG_IGN);
                tcsetpgrp(STDIN_FILENO, getpid());
                signal(SIGTTOU, SIG_DFL);
                rlimit no_core{0, 0};
                setrlimit(RLIMIT_CORE, &no_core);
                std::vector<char*> argv = {const_cast<char*>(QM_PW_BINARY)};
                for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
                argv.push_back(nullptr);
                execv(QM_PW_BINARY, argv.data());
                _exit(127);
            }
            setpgid(job, job);
            int pid = job;
            [[maybe_unused]] ssize_t sent = write(report[1], &pid, sizeof pid);
            int status = 0;
            while (waitpid(job, &status, 0) < 0 && errno == EINTR) {
            }
            termios now{};
            tcgetattr(STDIN_FILENO, &now);
            int end[2] = {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status),
                          (now.c_lflag & ECHO) != 0};
            [[maybe_unused]] ssize_t n = write(report[1], end, sizeof end);
            _exit(0);
        }
        close(report[1]);
        report_ = report[0];
        int pid = 0;
        pollfd p{report_, POLLIN, 0};
        if (poll(&p, 1, 10000) > 0 && read(report_, &pid, sizeof pid) == sizeof pid) job_ = pid;
    }
    ~terminal_job() {
        if (shell_ > 0 && waitpid(shell_, nullptr, WNOHANG) == 0) {
            if (job_ > 0) kill(job_, SIGKILL);
            kill(shell_, SIGKILL);
            waitpid(shell_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
        if (report_ >= 0) close(report_);
    }

    pid_t job() const { return job_; }

    // Reads what the terminal shows until `text` has appeared `times` times.
    bool shows(const std::string& text, std::size_t times = 1) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count(text) < times && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buffer[256];
            ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) shown_.append(buffer, static_cast<std::size_t>(n));
        }
        return count(text) >= times;
    }

    bool echoes() const {
        termios now{};
        return tcgetattr(master_, &now) == 0 && (now.c_lflag & ECHO) != 0;
    }

    // Whether the job is stopped, within a few seconds.
    bool stopped() const {
        for (int i = 0; i < 100; ++i) {
            std::ifstream stat("/proc/" + std::to_string(job_) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            std::size_t close_paren = text.rfind(')');
            if (close_paren != std::string::npos && text.compare(close_paren, 4, ") T ") == 0)
                return true;
            usleep(50000);
        }
        return false;
    }

    void type(const std::string& line) {
        std::string text = line + "\n";
        EXPECT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The job's exit status (minus the signal that ended it) and whether
    // the terminal echoed once it had ended.
    std::pair<int, bool> end() {
        int end[2] = {-1, 0};
        pollfd p{report_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0 || read(report_, end, sizeof end) != sizeof end)
            ADD_FAILURE() << "quillmar-pw did not end";
        return {end[0], end[1] != 0};
    }

    const std::string& shown() const { return shown_; }

private:
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = shown_.find(text, at)) != std::string::npos; ++at) ++n;
        return n;
    }

    int master_ = -1, report_ = -1;
    pid_t shell_ = -1, job_ = -1;
    std::string shown_;
};

// Every signal that ends the tool at its prompt leaves the terminal echoing;
// a stop gives the echo back while stopped, and the continued prompt takes
// it away again and asks anew.
TEST(Pwtool, TerminalEchoesAgainAfterEverySignal) {
    for (int ending : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) {
        SCOPED_TRACE(strsignal(ending));
        terminal_job t({"-s", "PLAIN"});
        ASSERT_GT(t.job(), 0);
        ASSERT_TRUE(t.shows("Password: ")) << t.shown();
        EXPECT_FALSE(t.echoes());
        kill(t.job(), ending);
        std::pair<int, bool> end = t.end();
        EXPECT_EQ(end.first, 128 + ending);
        EXPECT_TRUE(end.second);
    }
    terminal_job t({"-s", "PLAIN"});
    ASSERT_GT(t.job(), 0);
    ASSERT_TRUE(t.shows("Password: ")) << t.shown();
    kill(t.job(), SIGTSTP);
    ASSERT_TRUE(t.stopped());
    EXPECT_TRUE(t.echoes());
    kill(t.job(), SIGCONT);
    ASSERT_TRUE(t.shows("Password: ", 2)) << t.shown();
    EXPECT_FALSE(t.echoes());
    t.type("Typed1");
    ASSERT_TRUE(t.shows("Retype password: ")) << t.shown();
    t.type("Typed1");
    ASSERT_TRUE(t.shows("{PLAIN}Typed1")) << t.shown();
    std::pair<int, bool> end = t.end();
    EXPECT_EQ(end.first, 0);
    EXPECT_TRUE(end.second);
}

}  // namespace
