// Settings that are not read: a file named by -config that the process
// cannot read ends the start in each mode with a line naming the file and
// the reason, and an option of ours written where checkpassword's program
// goes is refused rather than run.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "directory_harness.h"

namespace {

using namespace std::string_literals;
using qmdir::full_ini;
using qmdir::world;

// Root reads any file: the child drops the capabilities that let it, and
// then reads by owner and mode alone, as Dovecot's own user does.
void as_an_ordinary_reader() {
    const bool dropped = ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE) == 0 &&
                         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH) == 0;
    if (!dropped && ::geteuid() == 0) ::_exit(125);
}

// Descriptor 3 as Dovecot hands it to checkpassword.
void login_on_descriptor_3() {
    const std::string data = "bob\0secret\0"s;
    int p[2];
    ::close(3);
    if (::pipe(p) != 0 || ::write(p[1], data.data(), data.size()) < 0) ::_exit(125);
    ::close(p[1]);
    if (p[0] != 3) {
        ::dup2(p[0], 3);
        ::close(p[0]);
    }
}

TEST(SettingsNotRead, EndTheStartInEveryMode) {
    world w;
    w.standard_table();
    const std::string dir = w.env().dir();
    // What each file would say if it were read: a working table.
    const std::string settings = std::string(full_ini) + "log_path elsewhere.log\n";
    w.env().write_file("theirs.ini", settings);
    // Run as another user than root, the test's own file with no bits does.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown((dir + "/theirs.ini").c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(::chmod((dir + "/theirs.ini").c_str(), root ? 0600 : 0), 0);
    std::filesystem::create_directory(dir + "/shut");
    w.env().write_file("shut/quillmar.ini", settings);
    ASSERT_EQ(::chmod((dir + "/shut").c_str(), 0600), 0);
    std::filesystem::create_directory(dir + "/folder.ini");

    struct row {
        std::string file, reason;
        std::vector<std::string> mode;
        std::string input;
        int status;
        std::string out;  // "-DEAD" stands for the line naming file and reason
    };
    const std::string denied = "Permission denied";
    const std::vector<std::string> line,
        squid = {"-protocol", "squid"},
        checkpassword = {"-protocol", "checkpassword", "/usr/bin/env"}, serve = {"-serve"};
    const std::vector<row> rows = {
        {"theirs.ini", denied, line, "check bob secret\n", 0, "-DEAD"},
        {"theirs.ini", denied, squid, "0 bob secret\n", 0, "0 BH message=\"no user directory\"\n"},
        {"theirs.ini", denied, checkpassword, "", 111, ""},
        {"theirs.ini", denied, serve, "", 1, ""},
        {"shut/quillmar.ini", denied, line, "lookup bob\n", 0, "-DEAD"},
        {"folder.ini", "Is a directory", line, "lookup bob\n", 0, "-DEAD"},
        {"folder.ini", "Is a directory", checkpassword, "", 111, ""},
        {"none.ini", "No such file or directory", line, "lookup bob\n", 0, "-DEAD"},
        {"none.ini", "No such file or directory", serve, "", 1, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.file + " " + (r.mode.empty() ? "line" : r.mode.back()));
        std::filesystem::remove(dir + "/quillmar.log");
        std::vector<std::string> args = {"-config", r.file};
        args.insert(args.end(), r.mode.begin(), r.mode.end());
        qmtest::child_options options = w.options(args);
        options.timeout = std::chrono::milliseconds(5000);
        const bool logs_in = r.mode == checkpassword;
        options.in_child = [logs_in] {
            as_an_ordinary_reader();
            if (logs_in) login_on_descriptor_3();
        };
        qmtest::child_result result = qmtest::run_child(QM_BINARY, r.input, options);
        const std::string why = "the ini file " + r.file + " (-config) cannot be read: " + r.reason;
        EXPECT_EQ(result.exit_code, r.status);
        EXPECT_EQ(result.out,
                  r.out == "-DEAD"
                      ? "-DEAD: Configuration Problem, please try again later (" + why + ")\n"
                      : r.out);
        EXPECT_EQ(result.err, "quillmar: " + why + "\n");
        // The log may be a setting of the file not read: none is written.
        EXPECT_FALSE(std::filesystem::exists(dir + "/quillmar.log"));
        EXPECT_FALSE(std::filesystem::exists(dir + "/elsewhere.log"));
    }
    // -check says the same of each, in the same words.
    for (const char* file : {"folder.ini", "theirs.ini"}) {
        qmtest::child_options options = w.options({"-check", "-config", file});
        options.in_child = as_an_ordinary_reader;
        qmtest::child_result result = qmtest::run_child(QM_BINARY, "", options);
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.out.find("the ini file "s + file + " cannot be read: "), std::string::npos)
            << result.out;
    }
    ::chmod((dir + "/shut").c_str(), 0700);
}

// The word after "-protocol checkpassword" is the program: one of ours
// written there (as in Dovecot's args, which appends its program last) is
// refused before anything runs, and the order that works is named.
TEST(SettingsNotRead, OptionsAfterCheckpassword) {
    world w;
    w.standard_table();
    w.env().write_file("other.ini", full_ini);
    struct row {
        std::vector<std::string> args;
        const char* refused;  // the word named, or null: the login runs
    };
    const std::vector<row> rows = {
        {{"-protocol", "checkpassword", "-config", "other.ini", "/usr/bin/env"}, "-config"},
        {{"-config", "other.ini", "-protocol", "CheckPassword", "-DEBUG", "/usr/bin/env"},
         "-DEBUG"},
        {{"-protocol", "checkpassword", "-check", "bob"}, "-check"},
        {{"-config", "other.ini", "-protocol", "checkpassword", "/usr/bin/env", "-u", "X"},
         nullptr},
        {{"-protocol", "squid", "-config", "other.ini"}, nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[1] + " " + r.args[3]);
        qmtest::child_options options = w.options(r.args);
        options.in_child = login_on_descriptor_3;
        const bool squid = r.args[1] == "squid";
        qmtest::child_result result =
            qmtest::run_child(QM_BINARY, squid ? "bob secret\n" : "", options);
        EXPECT_EQ(result.exit_code, r.refused ? 2 : 0);
        EXPECT_EQ(result.err, r.refused ? "quillmar: -protocol checkpassword takes the program to "
                                          "run as its next word, not '"s +
                                              r.refused +
                                              "': write the options before -protocol (quillmar "
                                              "[-debug] [-config FILE] -protocol checkpassword "
                                              "PROGRAM [ARGS...])\n"
                                        : "");
        if (!r.refused) {
            EXPECT_NE(result.out.find(squid ? "OK\n" : "USER=bob\n"), std::string::npos);
        }
    }
}

}  // namespace
