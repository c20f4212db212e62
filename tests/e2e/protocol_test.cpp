// Whole-program tests of the line protocol: the front end alone is run as a
// child over pipes, the way a mail server runs it, in a directory of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace fs = std::filesystem;
using qmtest::child_options;
using qmtest::child_result;
using qmtest::run_child;

namespace {

const std::string help_lines =
    "+DATA Valid command line options\r\n"
    "+DATA -debug\r\n"
    "+DATA -version\r\n"
    "+DATA Valid slave mode commands\r\n"
    "+DATA    version \r\n";

class work_dir {
public:
    work_dir() {
        std::string pattern = (fs::temp_directory_path() / "qm-e2e-XXXXXX").string();
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~work_dir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool exists(const std::string& name) const { return fs::exists(path_ / name); }

private:
    fs::path path_;
};

// Runs the front end as "quillmar" in `dir`, so that it looks for quillmar.ini
// there and logs to quillmar.log there.
child_result run_front(const work_dir& dir, const std::string& input,
                       std::vector<std::string> args = {}) {
    child_options options;
    options.argv0 = "quillmar";
    options.args = std::move(args);
    options.cwd = dir.path().string();
    return run_child(QM_FRONT_BINARY, input, options);
}

void expect_clean_end(const child_result& r) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
}

struct protocol_row {
    const char* name;
    std::string input;
    std::string output;
};

// Each row's input given to a fresh front end, which must end cleanly with
// exactly the row's output.
void expect_answers(const std::vector<protocol_row>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        work_dir dir;
        child_result r = run_front(dir, row.input);
        expect_clean_end(r);
        EXPECT_EQ(r.out, row.output);
    }
}

}  // namespace

// Every command of the table as the front end answers it with no back end:
// the absent slots, the reserved and unknown words, and the splitting rules.
TEST(Protocol, EveryCommandWithoutBackEnd) {
    const std::vector<protocol_row> rows = {
        {"exit", "exit\n", "-ERR 'exit' is not supported\r\n"},
        {"quit", "quit\n", "-ERR 'exit' is not supported\r\n"},
        {"version", "version\n",
         "Tarvel's Quillmar Version 1.0b \r\n-ERR 'exit' is not supported\r\n"},
        {"check", "check user pass\n", "-ERR 'check' is not supported\r\n"},
        {"check before arguments", "check\n", "-ERR 'check' is not supported\r\n"},
        {"lookup", "lookup user\n", "-ERR 'lookup' is not supported\r\n"},
        {"lookup alone", "lookup\n", "-ERR 'lookup' is not supported\r\n"},
        {"help", "help\n", help_lines + "+OK\r\n"},
        {"info", "info\n", "+DATA 1.0b (Quillmar)\r\n+OK\r\n"},
        {"info with password but none set", "info secret\n", "+DATA 1.0b (Quillmar)\r\n+OK\r\n"},
        {"debug", "debug\n", "+OK Debug Turned ON\r\n"},
        {"set", "set a b\n", "-ERR Command not supported 'set'\r\n"},
        {"mod", "mod a\n", "-ERR Command not supported 'mod'\r\n"},
        {"del", "del\n", "-ERR Command not supported 'del'\r\n"},
        {"search", "search x y z w\n", "-ERR Command not supported 'search'\r\n"},
        {"unknown", "frobnicate now\n", "-ERR Command not supported 'frobnicate'\r\n"},
        {"empty line", "\n", "-ERR Command not supported ''\r\n"},
        {"line of blanks", "  \t \r\n", "-ERR Command not supported ''\r\n"},
        {"leading blanks", "  help\n", "-ERR Command not supported ''\r\n"},
        {"capital first letter", "Help\n", "-ERR Command not supported 'Help'\r\n"},
        {"all capitals", "CHECK a b\n", "-ERR Command not supported 'CHECK'\r\n"},
        {"later letters fold", "hELP\n", help_lines + "+OK\r\n"},
        {"later letters fold for check", "cHECK a b\n", "-ERR 'check' is not supported\r\n"},
        {"TAB inside a word", "check\tuser pass\n", "-ERR Command not supported 'check\tuser'\r\n"},
        {"21-character word", "abcdefghijklmnopqrstu\n",
         "-ERR Command not supported 'abcdefghijklmnopqrst'\r\n"},
        {"20-character word", "abcdefghijklmnopqrst x\n",
         "-ERR Command not supported 'abcdefghijklmnopqrst'\r\n"},
        {"CRLF", "help\r\n", help_lines + "+OK\r\n"},
        {"trailing blanks", "info \t \r\n", "+DATA 1.0b (Quillmar)\r\n+OK\r\n"},
        {"last line without line feed", "info", "+DATA 1.0b (Quillmar)\r\n+OK\r\n"},
        {"empty input", "", ""},
        {"debug twice", "debug\ndebug\n", "+OK Debug Turned ON\r\n+OK Debug Turned OFF\r\n"},
    };
    expect_answers(rows);
}

// After an ending command nothing more is read, and the answer still goes out.
TEST(Protocol, EndingCommandsLeaveLaterLinesUnread) {
    const std::vector<protocol_row> rows = {
        {"exit", "exit\nhelp\ninfo\n", "-ERR 'exit' is not supported\r\n"},
        {"quit", "quit\ndebug\n", "-ERR 'exit' is not supported\r\n"},
        {"version", "version\nhelp\n",
         "Tarvel's Quillmar Version 1.0b \r\n-ERR 'exit' is not supported\r\n"},
        {"exit with arguments", "exit now please\ninfo\n", "-ERR 'exit' is not supported\r\n"},
        {"answers before exit", "info\nexit\ninfo\n",
         "+DATA 1.0b (Quillmar)\r\n+OK\r\n-ERR 'exit' is not supported\r\n"},
    };
    expect_answers(rows);
}

TEST(Protocol, NormalModeLeavesNoLogFile) {
    work_dir dir;
    child_result r = run_front(dir, "help\ninfo\ncheck a b\nbogus\n");
    expect_clean_end(r);
    EXPECT_FALSE(dir.exists("quillmar.log"));
}

// The option is looked at only as argument 1, in any case.
TEST(Options, VersionAndDebug) {
    enum kind { banner, plain, debug_echo };
    struct option_row {
        const char* name;
        std::vector<std::string> args;
        std::string input, output;
        kind what;
    };
    const std::string version = "Tarvel's Quillmar Version 1.0b\n+OK\n";
    const std::vector<option_row> rows = {
        {"-version", {"-version"}, "help\n", version, banner},
        {"-VERSION", {"-VERSION"}, "", version, banner},
        {"-Version with more", {"-Version", "x"}, "", version, banner},
        {"-version second", {"x", "-version"}, "info\n", "+DATA 1.0b (Quillmar)\r\n+OK\r\n", plain},
        {"-debug then -version",
         {"-debug", "-version"},
         "debug\n",
         "+OK Debug Turned OFF\r\n",
         debug_echo},
        {"-DEBUG",
         {"-DEBUG"},
         "debug\ndebug\n",
         "+OK Debug Turned OFF\r\n+OK Debug Turned ON\r\n",
         debug_echo},
        {"-debug second", {"x", "-debug"}, "debug\n", "+OK Debug Turned ON\r\n", plain},
        {"unknown option", {"-verbose"}, "debug\n", "+OK Debug Turned ON\r\n", plain},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        work_dir dir;
        // With the banner the ini file must not even be read: its back-end
        // key would end the process without one.
        dir.write("quillmar.ini", row.what == banner ? "odbc_dsn nothing\n" : "# no keys\n");
        child_result r = run_front(dir, row.input, row.args);
        expect_clean_end(r);
        if (row.what == debug_echo) {
            // Debug mode echoes the ini reader's buffered lines ahead of the answers.
            EXPECT_NE(r.out.find("-- Emptying start message buffer now\r\n"), std::string::npos);
            ASSERT_GE(r.out.size(), row.output.size());
            EXPECT_EQ(r.out.substr(r.out.size() - row.output.size()), row.output);
        } else {
            EXPECT_EQ(r.out, row.output);
        }
        if (row.what == banner) {
            EXPECT_FALSE(dir.exists("quillmar.log"));
        }
    }
}

TEST(Options, VersionOfTheRealBinary) {
    work_dir dir;
    child_options options;
    options.args = {"-VERSION"};
    options.cwd = dir.path().string();
    child_result r = run_child(QM_BINARY, "", options);
    expect_clean_end(r);
    EXPECT_EQ(r.out, "Tarvel's Quillmar Version 1.0b\n+OK\n");
}

// The details of `info` appear only for the right password, exactly as set.
TEST(Protocol, InfoDetails) {
    struct info_row {
        const char* name;
        std::string ini, input, details;
    };
    const std::string head = "+DATA 1.0b (Quillmar)\r\n";
    const std::vector<info_row> rows = {
        {"no password given", "info_pass s3cret\n", "info\n", ""},
        {"wrong password", "info_pass s3cret\n", "info nope\n", ""},
        {"password in other case", "info_pass s3cret\n", "info S3CRET\n", ""},
        {"a beginning of the password", "info_pass s3cret\n", "info s3cre\n", ""},
        {"the password and more", "info_pass s3cret\n", "info s3crets\n", ""},
        {"no info_pass set", "domain example.org\n", "info s3cret\n", ""},
        {"right password, defaults", "info_pass s3cret\n", "info s3cret\n",
         "+DATA\r\n+DATA       Domain = (NULL)\r\n+DATA     Log Path = quillmar.log\r\n"},
        {"with domain and log_path", "info_pass s3cret\ndomain example.org\nlog_path /tmp/x.log\n",
         "info s3cret\n",
         "+DATA\r\n+DATA       Domain = example.org\r\n+DATA     Log Path = /tmp/x.log\r\n"},
        {"password with blanks", "info_pass two words\n", "info two words\n", ""},
        {"debug mode", "info_pass p\n", "debug\ninfo p\n",
         "+DATA\r\n+DATA       Domain = (NULL)\r\n+DATA     Log Path = quillmar.log\r\n"
         "+DATA (DEBUG MODE)\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        work_dir dir;
        dir.write("quillmar.ini", row.ini);
        child_result r = run_front(dir, row.input);
        expect_clean_end(r);
        std::string expected = head + row.details + "+OK\r\n";
        if (row.input.rfind("debug\n", 0) == 0) expected = "+OK Debug Turned ON\r\n" + expected;
        EXPECT_EQ(r.out, expected);
    }
}

// One line, one answer: a line longer than any read buffer still gets
// exactly one answer, and the answers after it stay in step.
TEST(Protocol, LongLinesGetOneAnswer) {
    work_dir dir;
    const std::string password(5000, 'p');
    const std::string word(3000, 'w');
    const std::string huge(200 * 1024, 'x');
    std::string input = "check user " + password + "\n" + word + "\ncheck user " + huge +
                        "\ninfo\n" + "lookup " + std::string(64 * 1024 - 7, 'u') + "\n" +
                        "lookup " + std::string(64 * 1024 - 7, 'v') + "\r\n" + "lookup " +
                        std::string(64 * 1024 - 6, 'w') + "\r\n";
    child_result r = run_front(dir, input);
    expect_clean_end(r);
    EXPECT_EQ(r.out,
              "-ERR 'check' is not supported\r\n"
              "-ERR Command not supported '" +
                  word.substr(0, 20) +
                  "'\r\n"
                  "-ERR Command line too long\r\n"
                  "+DATA 1.0b (Quillmar)\r\n+OK\r\n"
                  "-ERR 'lookup' is not supported\r\n"
                  "-ERR 'lookup' is not supported\r\n"
                  "-ERR Command line too long\r\n");
    // The refused line leaves an error line, never its text.
    std::string log = dir.read("quillmar.log");
    EXPECT_NE(log.find(" ERROR: Command line longer than 65536 characters discarded\n"),
              std::string::npos);
    EXPECT_EQ(log.find("xxxx"), std::string::npos);
}

TEST(Protocol, LongLineAnsweredInStepInteractively) {
    work_dir dir;
    child_options options;
    options.argv0 = "quillmar";
    options.cwd = dir.path().string();
    qmtest::child_session session(QM_FRONT_BINARY, options);
    ASSERT_TRUE(session.write("check user " + std::string(100000, 'p') + "\n"));
    EXPECT_EQ(session.read_answer(), std::vector<std::string>{"-ERR Command line too long\r\n"});
    ASSERT_TRUE(session.write("debug\n"));
    EXPECT_EQ(session.read_answer(), std::vector<std::string>{"+OK Debug Turned ON\r\n"});
    ASSERT_TRUE(session.write("debug\n"));
    EXPECT_EQ(session.read_answer(), std::vector<std::string>{"+OK Debug Turned OFF\r\n"});
    child_result r = session.finish();
    expect_clean_end(r);
    EXPECT_EQ(r.out, "");
}

// A NUL must never shorten what is checked, and a bare CR would be echoed
// into the answer, where a reader that splits at CR sees a line of its own
// ("check x\r+OK pw"): such a line is refused whole.
TEST(Protocol, LinesHoldingNulOrCrAreRefused) {
    const std::string nul = "-ERR Command line holds a NUL byte\r\n";
    const std::string cr = "-ERR Command line holds a carriage return\r\n";
    struct refused_row {
        const char* name;
        std::string input, output, log;
    };
    const std::vector<refused_row> rows = {
        {"NUL in the password", std::string("check user secret\0more\n", 23), nul, "NUL byte"},
        {"NUL alone", std::string("\0\n", 2), nul, "NUL byte"},
        {"NUL after a command", std::string("help\0\n", 6), nul, "NUL byte"},
        {"NUL in the last line unended", std::string("info\0x", 6), nul, "NUL byte"},
        {"CR in the user name", "check x\r+OK pw\n", cr, "carriage return"},
        {"CR in an unknown word", "x\r+OK\r\n", cr, "carriage return"},
        {"CR before the line end's CR", "help\r\r\n", cr, "carriage return"},
        {"CR among trailing blanks", "help\r \n", cr, "carriage return"},
        {"CR and NUL", std::string("x\r\0\n", 4), nul, "NUL byte"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        work_dir dir;
        child_result r = run_front(dir, row.input + "info\n");
        expect_clean_end(r);
        std::string expected = row.output;
        if (row.input.back() == '\n') expected += "+DATA 1.0b (Quillmar)\r\n+OK\r\n";
        EXPECT_EQ(r.out, expected);
        std::string log = dir.read("quillmar.log");
        EXPECT_NE(log.find(" ERROR: Command line holding a " + row.log + " refused\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(qmtest::split_lines(log).size(), 1u);
    }
}

// A key for the back end while the table has no load slot ends the process
// at once, with status 0, before any command is read.
TEST(Startup, BackEndKeyWithoutLoadSlotIsFatal) {
    work_dir dir;
    dir.write("quillmar.ini", "log_path auth.log\nodbc_dsn users\ndomain never.example\n");
    child_result r = run_front(dir, "info\nhelp\n");
    expect_clean_end(r);
    EXPECT_EQ(r.out, "");
    std::string log = dir.read("auth.log");
    auto lines = qmtest::split_lines(log);
    ASSERT_EQ(lines.size(), 1u) << log;
    EXPECT_NE(lines[0].find(" ERROR: FATAL: no auth_module.load function\n"), std::string::npos);
    EXPECT_FALSE(dir.exists("quillmar.log"));
}

// Debug mode echoes each log line ahead of the answer of the command that
// caused it, and writes the same line to the file.
TEST(Startup, DebugModeEchoesStartBufferAndLogs) {
    work_dir dir;
    dir.write("quillmar.ini", "debug true\r\nlog_path auth.log\r\n");
    child_result r = run_front(dir, std::string("help\0\n", 6));
    expect_clean_end(r);
    auto out = qmtest::split_lines(r.out);
    auto log = qmtest::split_lines(dir.read("auth.log"));
    ASSERT_GE(out.size(), 5u) << r.out;
    EXPECT_NE(out[0].find(" -- Emptying start message buffer now\r\n"), std::string::npos);
    EXPECT_NE(out[1].find(" INI: Loading {quillmar.ini}\n"), std::string::npos);
    EXPECT_EQ(out.back(), "-ERR Command line holds a NUL byte\r\n");
    EXPECT_NE(out[out.size() - 2].find(" ERROR: Command line holding a NUL byte refused\r\n"),
              std::string::npos);
    ASSERT_EQ(log.size(), out.size() - 1);
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        std::string echo = out[i];
        if (echo.size() >= 2 && echo.compare(echo.size() - 2, 2, "\r\n") == 0)
            echo.replace(echo.size() - 2, 2, "\n");
        EXPECT_EQ(echo, log[i]);
    }
}

// Whatever bytes a line holds, it gets exactly one final line: a session of
// random lines (fixed seed) gives as many "+OK"/"-ERR" lines as input lines.
TEST(Protocol, EveryLineExactlyOneFinalAnswer) {
    const std::vector<std::string> pieces = {"check",
                                             "lookup",
                                             "help",
                                             "info",
                                             "debug",
                                             "set",
                                             "Check",
                                             "cHECK",
                                             " ",
                                             "  ",
                                             "\t",
                                             "\r",
                                             std::string(1, '\0'),
                                             "user",
                                             "pw",
                                             "#",
                                             "+OK",
                                             "-ERR",
                                             std::string(1500, 'a'),
                                             std::string(70000, 'b'),
                                             "\xff\xfe",
                                             "'"};
    unsigned seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    std::string input;
    const int line_count = 400;
    for (int i = 0; i < line_count; ++i) {
        int n = static_cast<int>(next() % 6);
        for (int j = 0; j < n; ++j) input += pieces[next() % pieces.size()];
        input += "\n";
    }
    work_dir dir;
    child_result r = run_front(dir, input);
    expect_clean_end(r);
    int finals = 0;
    for (const auto& line : qmtest::split_lines(r.out)) {
        ASSERT_GE(line.size(), 2u);
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
        if (line.rfind("+OK", 0) == 0 || line.rfind("-ERR", 0) == 0) {
            ++finals;
        } else {
            // In debug mode log lines are echoed too; they begin with the process id.
            EXPECT_TRUE(line.rfind("+DATA", 0) == 0 || (line[0] >= '0' && line[0] <= '9'))
                << line.substr(0, 60);
        }
    }
    EXPECT_EQ(finals, line_count);
}
