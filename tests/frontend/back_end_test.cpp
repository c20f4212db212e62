// The protocol against a back end of the test's own: the result line for
// every shape of record, the ownership of the record and the words, and the
// answers that depend on which entry points are present.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/globals.h"
#include "config/ini.h"
#include "frontend/front_end.h"
#include "module/auth_module.h"
#include "support/child_process.h"
#include "support/paired_timing.h"

namespace {

// What the test back end does on its next call, and what it saw.
struct script {
    auth_result record;
    bool answer = true;
    std::optional<std::string> replace_word1;
    int exit_answer = 1;
    int calls = 0;
    command_words seen;
    std::exception_ptr thrown;  // thrown by the next call when set
} back;

auth_result* scripted(command_words& words) {
    ++back.calls;
    back.seen = words;
    if (back.thrown) std::rethrow_exception(back.thrown);
    if (back.replace_word1) words[1] = back.replace_word1;
    return back.answer ? &back.record : nullptr;
}

int scripted_exit(command_words& words) {
    ++back.calls;
    back.seen = words;
    if (back.thrown) std::rethrow_exception(back.thrown);
    return back.exit_answer;
}

class BackEnd : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = auth_module;
        back = script{};
        auth_module = front_end_auth_module();
        auth_module.check = scripted;
        auth_module.lookup = scripted;
        auth_module.exit = scripted_exit;
        debug_mode = 0;
        mail_uid = 0;
        log_path.reset();
    }
    void TearDown() override {
        auth_module = saved_;
        mail_uid = 0;
        debug_mode = 0;
    }
    static std::string answer(const std::string& line, int* result = nullptr) {
        int r = 0;
        std::string out = qmtest::capture_stdout([&] { r = handle_command_line(line); });
        if (result) *result = r;
        return out;
    }

private:
    auth_module_table saved_;
};

// A help that has written a line when it fails.
void help_that_throws(command_words&) {
    std::printf("+DATA first line\r\n");
    std::rethrow_exception(back.thrown);
}

std::optional<std::string> text(const char* s) {
    return s ? std::optional<std::string>(s) : std::nullopt;
}

}  // namespace

// Every shape of record, and which fields may never reach the line.
TEST_F(BackEnd, ResultLineTable) {
    struct row {
        const char *user, *maildrop, *options;
        long uid;
        const char* line;
    };
    const std::vector<row> rows = {
        {"ann", "/var/mail/ann", "fwd=x 100", 42, "+OK ann /var/mail/ann 42 fwd=x 100\r\n"},
        {"ann", "/var/mail/ann", "fwd=x 100", 0, "+OK ann /var/mail/ann 0 fwd=x 100\r\n"},
        {"ann", nullptr, "quota", 0, "+OK ann config 0 quota\r\n"},
        {"ann", nullptr, "quota", 7, "+OK ann config 7 quota\r\n"},
        {"ann", "/drop", nullptr, 0, "+OK ann /drop\r\n"},
        {"ann", "/drop", nullptr, 9, "+OK ann /drop\r\n"},
        {"ann", nullptr, nullptr, 0, "+OK ann config 0\r\n"},
        // No form exists for this one; the line keeps the shape of its neighbours.
        {"ann", nullptr, nullptr, 5, "+OK ann config 5\r\n"},
        {"ann", nullptr, nullptr, -3, "+OK ann config -3\r\n"},
        {"user with spaces", "", "", 1, "+OK user with spaces  1 \r\n"},
    };
    for (const char* command : {"check ann pw", "lookup ann"}) {
        for (const auto& r : rows) {
            SCOPED_TRACE(std::string(command) + " -> " + r.line);
            back.record.user = text(r.user);
            back.record.password = "never-shown";
            back.record.mailmask = "10.0.0.0/8";
            back.record.maildrop = text(r.maildrop);
            back.record.options = text(r.options);
            mail_uid = r.uid;
            EXPECT_EQ(answer(std::string(command) + "\n"), r.line);
            // The front end empties the back end's record after printing it.
            EXPECT_FALSE(back.record.user || back.record.password || back.record.mailmask ||
                         back.record.maildrop || back.record.options);
        }
    }
}

TEST_F(BackEnd, PrintOkLineUsesTheGivenPrefix) {
    auth_result record;
    record.user = "bo";
    record.maildrop = "/m";
    std::string out = qmtest::capture_stdout([&] { print_ok_line(record, "+OK"); });
    EXPECT_EQ(out, "+OK bo /m\r\n");
    EXPECT_FALSE(record.user || record.maildrop);
}

// Two checks in a row share nothing: the second record starts empty even if
// the back end sets fewer fields than the first time.
TEST_F(BackEnd, SecondCheckStartsFromAnEmptyRecord) {
    back.record.user = "first";
    back.record.maildrop = "/first/drop";
    back.record.options = "first-options";
    mail_uid = 0;
    EXPECT_EQ(answer("check first pw\n"), "+OK first /first/drop 0 first-options\r\n");
    back.record.user = "second";
    EXPECT_EQ(answer("check second pw\n"), "+OK second config 0\r\n");
    EXPECT_EQ(back.calls, 2);
}

// The negative answers show word 1 as the back end left it.
TEST_F(BackEnd, ReplacedWordShowsInNegativeAnswer) {
    back.answer = false;
    back.replace_word1 = "ann@example.org";
    EXPECT_EQ(answer("check ann pw\n"),
              "-ERR ann@example.org password wrong or not a valid user\r\n");
    EXPECT_EQ(answer("lookup ann\n"), "-ERR ann@example.org Not Located in database\r\n");
    back.replace_word1.reset();
    EXPECT_EQ(answer("check bob pw\n"), "-ERR bob password wrong or not a valid user\r\n");
    EXPECT_EQ(answer("lookup bob\n"), "-ERR bob Not Located in database\r\n");
}

// The words the back end receives: spaces separate, runs of them count
// once, and word 3 keeps the rest of the line whole.
TEST_F(BackEnd, WordsHandedToTheBackEnd) {
    struct row {
        const char* line;
        const char *w1, *w2, *w3;
    };
    const std::vector<row> rows = {
        {"check ann pw\n", "ann", "pw", nullptr},
        {"check   ann    pw  \r\n", "ann", "pw", nullptr},
        {"check ann pw 10.1.2.3\n", "ann", "pw", "10.1.2.3"},
        {"check ann pw 10.1.2.3 and  more words\n", "ann", "pw", "10.1.2.3 and  more words"},
        {"check ann p\tw\n", "ann", "p\tw", nullptr},
        {"check ann pw    \t\n", "ann", "pw", nullptr},
    };
    back.answer = false;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        answer(r.line);
        EXPECT_EQ(back.seen[0], "check");
        EXPECT_EQ(back.seen[1], text(r.w1));
        EXPECT_EQ(back.seen[2], text(r.w2));
        EXPECT_EQ(back.seen[3], text(r.w3));
    }
}

// Slot presence is tested before the arguments; the arguments before the call.
TEST_F(BackEnd, MissingArgumentsNeverReachTheBackEnd) {
    EXPECT_EQ(answer("check\n"), "-ERR No username/password provided\r\n");
    EXPECT_EQ(answer("check ann\n"), "-ERR No username/password provided\r\n");
    EXPECT_EQ(answer("check ann   \n"), "-ERR No username/password provided\r\n");
    EXPECT_EQ(answer("lookup\n"), "-ERR No username/password provided\r\n");
    EXPECT_EQ(answer("lookup   \n"), "-ERR No username/password provided\r\n");
    EXPECT_EQ(back.calls, 0);
}

TEST_F(BackEnd, HelpListsThePresentSlots) {
    const std::string common =
        "+DATA Valid command line options\r\n+DATA -debug\r\n+DATA -version\r\n"
        "+DATA Valid slave mode commands\r\n+DATA    version \r\n";
    const std::string check = "+DATA     check <username> <password> [fromIPaddress]\r\n";
    const std::string lookup = "+DATA     lookup <username>\r\n";
    const std::string exit = "+DATA     exit\r\n";
    EXPECT_EQ(answer("help\n"), common + check + lookup + exit + "+OK\r\n");
    auth_module.lookup = nullptr;
    EXPECT_EQ(answer("help\n"), common + check + exit + "+OK\r\n");
    auth_module.check = nullptr;
    auth_module.exit = nullptr;
    auth_module.lookup = scripted;
    EXPECT_EQ(answer("help\n"), common + lookup + "+OK\r\n");
    auth_module.help = nullptr;
    EXPECT_EQ(answer("help\n"), "-ERR 'help' is not supported\r\n");
}

TEST_F(BackEnd, EndingCommandsCallExit) {
    struct row {
        const char* line;
        int exit_answer;
        std::string out;
    };
    const std::string banner = "Tarvel's Quillmar Version 1.0b \r\n";
    const std::vector<row> rows = {
        {"exit\n", 1, "+OK\r\n"},
        {"quit\n", 7, "+OK\r\n"},
        {"exit\n", 0, "-ERR Failed Exit\r\n"},
        {"quit\n", 0, "-ERR Failed Exit\r\n"},
        {"version\n", 1, banner + "+OK\r\n"},
        {"version\n", 0, banner + "-ERR Failed Exit\r\n"},
        {"eXIT now\n", 1, "+OK\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        back.exit_answer = r.exit_answer;
        back.calls = 0;
        int ends = 0;
        EXPECT_EQ(answer(r.line, &ends), r.out);
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(back.calls, 1);
    }
    // The other commands go on and never call exit.
    back.calls = 0;
    for (const char* line : {"help\n", "info\n", "debug\n", "debug\n", "set\n", "x\n"}) {
        int ends = 1;
        answer(line, &ends);
        EXPECT_EQ(ends, 0) << line;
    }
    EXPECT_EQ(back.calls, 0);
}

// The refused lines never reach the back end, however they would split.
TEST_F(BackEnd, RefusedLinesNeverReachTheBackEnd) {
    EXPECT_EQ(answer(std::string("check ann secret\0tail\n", 22)),
              "-ERR Command line holds a NUL byte\r\n");
    EXPECT_EQ(answer("check ann\r+OK secret\r\n"), "-ERR Command line holds a carriage return\r\n");
    EXPECT_EQ(answer("check ann " + std::string(max_command_line, 'p') + "\n"),
              "-ERR Command line too long\r\n");
    EXPECT_EQ(back.calls, 0);
    // Exactly at the limit the line is still a command.
    back.answer = false;
    std::string line = "check a " + std::string(max_command_line - 8, 'p');
    ASSERT_EQ(line.size(), max_command_line);
    EXPECT_EQ(answer(line + "\r\n"), "-ERR a password wrong or not a valid user\r\n");
    EXPECT_EQ(back.calls, 1);
}

// A wrong info password takes as long when it goes wrong at its first byte
// as at its last: the time does not lead a guess along the password.
TEST(InfoPassword, TimeDoesNotTellHowMuchWasRight) {
    const std::string secret(max_command_line - 8, 's');
    command_words early{std::string("info"), secret}, late = early;
    early[1]->front() = 'x';
    late[1]->back() = 'x';
    info_pass = secret;
    std::fflush(stdout);
    const int saved = ::dup(1), null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    auto info = [](command_words& words) {
        return [&words] {
            print_info(words);
            std::fflush(stdout);
        };
    };
    const double ratio = qmtest::ratio_within(0.9, 1.1, info(early), info(late), 201);
    ::dup2(saved, 1);
    ::close(saved);
    ::close(null);
    info_pass.reset();
    EXPECT_GE(ratio, 0.9);
    EXPECT_LE(ratio, 1.1);
}

// Whatever a back end throws fails that command alone: one error line, and
// "-ERR" as its one final line after whatever it had written; the commands
// that end the session still end it.
TEST_F(BackEnd, ExceptionFailsTheCommandAlone) {
    struct row {
        const char* line;
        std::exception_ptr thrown;
        std::string out, logged;
        int ends;
    };
    const std::string failed = "-ERR Internal error\r\n";
    const std::vector<row> rows = {
        {"check ann pw\n", std::make_exception_ptr(std::logic_error("count\nmismatch")), failed,
         "check: count mismatch", 0},
        {"lookup ann\n", std::make_exception_ptr(std::out_of_range("FieldIndexMap::at")), failed,
         "lookup: FieldIndexMap::at", 0},
        {"check ann pw\n", std::make_exception_ptr(std::bad_alloc()), failed,
         "check: std::bad_alloc", 0},
        {"check ann pw\n", std::make_exception_ptr(42), failed,
         "check: an exception of unknown type", 0},
        {"help\n", std::make_exception_ptr(std::runtime_error("help")),
         "+DATA first line\r\n" + failed, "help: help", 0},
        {"quit\n", std::make_exception_ptr(std::runtime_error("gone")), failed, "quit: gone", 1},
    };
    char name[] = "/tmp/qm_frontend_logXXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    log_path = name;
    auth_module.help = help_that_throws;
    for (const row& r : rows) {
        SCOPED_TRACE(r.line);
        std::ofstream(name, std::ios::trunc);
        back.thrown = r.thrown;
        int ends = -1;
        EXPECT_EQ(answer(r.line, &ends), r.out);
        EXPECT_EQ(ends, r.ends);
        std::ifstream in(name);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l.substr(l.find("ERROR: ")));
        EXPECT_EQ(lines, std::vector<std::string>{"ERROR: Internal error in " + r.logged});
    }
    back.thrown = nullptr;
    back.answer = false;
    EXPECT_EQ(answer("check ann pw\n"), "-ERR ann password wrong or not a valid user\r\n");
    std::remove(name);
    log_path.reset();
}
