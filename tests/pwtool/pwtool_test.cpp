// quillmar-pw run as a child: every value it makes verifies in itself and in
// Dovecot's doveadm; its exit codes; and the terminal's twice-typed password.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

TEST(Pwtool, ExitCodes) {
    const std::string md5 = "{MD5-CRYPT}$1$D3x9CTMX$9ZmMD1mcFbEa06faWvxcp/";  // "secret"
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
        for (std::size_t at = 0; (at = shown.find("assword: ", at)) != std::string::npos; ++at)
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
}

}  // namespace
