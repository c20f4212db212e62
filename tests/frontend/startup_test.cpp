// The process entry against a recording back end: which entry points run,
// in which order, on each way through start-up, the command loop and shutdown.
#include <gtest/gtest.h>

#include <stdio_ext.h>
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/globals.h"
#include "config/ini.h"
#include "frontend/front_end.h"
#include "module/auth_module.h"
#include "support/child_process.h"

namespace {

std::vector<std::string> calls;
int start_answer = 1;

int rec_load(const char* key, const char* value) {
    calls.push_back(std::string("load ") + key + "=" + value);
    return 0;
}
int rec_init() {
    calls.push_back("init");
    return 0;
}
void rec_cleanup() { calls.push_back("cleanup"); }
std::exception_ptr start_throws;
int rec_start() {
    calls.push_back("start");
    if (start_throws) std::rethrow_exception(start_throws);
    return start_answer;
}
int rec_exit(command_words& words) {
    calls.push_back("exit " + *words[0]);
    return 1;
}
auth_result* rec_check(command_words& words) {
    calls.push_back("check " + *words[1]);
    return nullptr;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = auth_module;
        old_cwd_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "qm-fe-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        std::filesystem::current_path(dir_);
        auth_module = front_end_auth_module();
        auth_module.load = rec_load;
        auth_module.init = rec_init;
        auth_module.cleanup = rec_cleanup;
        auth_module.start = rec_start;
        auth_module.exit = rec_exit;
        auth_module.check = rec_check;
        calls.clear();
        start_answer = 1;
        start_throws = nullptr;
        debug_mode = 0;
        log_path.reset();
        saved_stdin_ = ::dup(0);
    }
    void TearDown() override {
        ::dup2(saved_stdin_, 0);
        ::close(saved_stdin_);
        __fpurge(stdin);
        std::clearerr(stdin);
        std::filesystem::current_path(old_cwd_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        auth_module = saved_;
        debug_mode = 0;
        log_path.reset();
        domain.reset();
        info_pass.reset();
    }
    // Runs the entry with `input` on stdin; returns what it wrote on stdout.
    std::string run(const std::string& input, std::vector<std::string> args = {}) {
        std::ofstream(dir_ / "stdin.txt", std::ios::binary) << input;
        std::FILE* in = std::fopen((dir_ / "stdin.txt").c_str(), "rb");
        ::dup2(::fileno(in), 0);
        std::fclose(in);
        __fpurge(stdin);
        std::clearerr(stdin);
        std::vector<std::string> argv_text = {"/usr/libexec/prog"};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        int status = -1;
        std::string out = qmtest::capture_stdout(
            [&] { status = quillmar_main(static_cast<int>(argv_text.size()), argv.data()); });
        EXPECT_EQ(status, 0);
        return out;
    }
    void write_ini(const std::string& text) { std::ofstream(dir_ / "prog.ini") << text; }

    std::filesystem::path dir_;

private:
    auth_module_table saved_;
    std::filesystem::path old_cwd_;
    int saved_stdin_ = -1;
};

using call_list = std::vector<std::string>;

}  // namespace

TEST_F(Startup, OrderOfCalls) {
    struct row {
        const char* name;
        std::string ini, input;
        int start;
        call_list expected;
        std::string out;
    };
    const std::vector<row> rows = {
        {"empty input never calls exit", "", "", 1, {"init", "start", "cleanup"}, ""},
        {"exit ends the loop",
         "",
         "check a b\nexit\ncheck c d\n",
         1,
         {"init", "start", "check a", "exit exit", "cleanup"},
         "-ERR a password wrong or not a valid user\r\n+OK\r\n"},
        {"version calls exit",
         "",
         "version\n",
         1,
         {"init", "start", "exit version", "cleanup"},
         "Tarvel's Quillmar Version 1.0b \r\n+OK\r\n"},
        {"back-end keys in file order, between init and start",
         "odbc_dsn users\ndomain d.org\nodbc_uid u\n",
         "quit\n",
         1,
         {"init", "load odbc_dsn=users", "load odbc_uid=u", "start", "exit quit", "cleanup"},
         "+OK\r\n"},
        {"failed start reads nothing and skips cleanup",
         "",
         "check a b\n",
         0,
         {"init", "start"},
         ""},
        {"end of input without line feed",
         "",
         "check x y",
         1,
         {"init", "start", "check x", "cleanup"},
         "-ERR x password wrong or not a valid user\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        calls.clear();
        start_answer = r.start;
        write_ini(r.ini);
        EXPECT_EQ(run(r.input), r.out);
        EXPECT_EQ(calls, r.expected);
        // Shutdown releases the log path; a failed start leaves it.
        EXPECT_EQ(log_path.has_value(), r.start == 0);
        log_path.reset();
    }
}

TEST_F(Startup, VersionOptionCallsNothing) {
    write_ini("odbc_dsn users\n");
    EXPECT_EQ(run("help\n", {"-Version"}), "Tarvel's Quillmar Version 1.0b\n+OK\n");
    EXPECT_EQ(calls, call_list{});
    EXPECT_FALSE(log_path.has_value());
}

TEST_F(Startup, TableWithoutEntryPoints) {
    auth_module = auth_module_table{};
    auth_module.names = auth_command_names;
    write_ini("domain a.org\n");
    EXPECT_EQ(run("help\ncheck a b\nlookup a\nexit\ninfo\n"),
              "-ERR 'help' is not supported\r\n-ERR 'check' is not supported\r\n"
              "-ERR 'lookup' is not supported\r\n-ERR 'exit' is not supported\r\n");
}

TEST_F(Startup, ProcessIdIsOurs) {
    process_id = 0;
    run("");
    EXPECT_EQ(process_id, static_cast<long>(::getpid()));
}

// Whatever the start-up throws (a library that cannot start, memory that ran
// out) gives the "-DEAD" line of a failed start and one error line.
TEST_F(Startup, ExceptionAtStartGivesTheDeadLine) {
    start_throws = std::make_exception_ptr(std::runtime_error("libsodium cannot start"));
    write_ini("");
    EXPECT_EQ(run("check a b\n"),
              "-DEAD: Internal problem, please try again later (libsodium cannot start)\n");
    EXPECT_EQ(calls, (call_list{"init", "start"}));
    std::ifstream log(dir_ / "prog.log");
    std::vector<std::string> lines;
    for (std::string l; std::getline(log, l);) lines.push_back(l.substr(l.find("ERROR: ")));
    EXPECT_EQ(lines, call_list{"ERROR: Internal error in start-up: libsodium cannot start"});
    log_path.reset();
}
