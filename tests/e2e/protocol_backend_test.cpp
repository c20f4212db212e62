// The line protocol of the real authenticator, with its directory back end
// in the module table: the answers that depend on present entry points, and
// the one-line-one-answer rule where it matters most, in front of real checks.
#include <gtest/gtest.h>

#include "directory_harness.h"

namespace {

using qmdir::full_ini;
using qmdir::world;

struct session_row {
    const char* name;
    std::string input, output;
};

}  // namespace

TEST(ProtocolWithBackEnd, AnswersOfPresentSlots) {
    const std::string help =
        "+DATA Valid command line options\r\n+DATA -debug\r\n+DATA -version\r\n"
        "+DATA Valid slave mode commands\r\n+DATA    version \r\n"
        "+DATA     check <username> <password> [fromIPaddress]\r\n"
        "+DATA     lookup <username>\r\n+DATA     exit\r\n+OK\r\n";
    const std::string bob_line = "+OK bob /var/mail/bob ";
    const std::vector<session_row> rows = {
        {"help", "help\nquit\n", help + "+OK\r\n"},
        {"exit", "exit\nhelp\n", "+OK\r\n"},
        {"quit", "QUIT\n", "-ERR Command not supported 'QUIT'\r\n"},
        {"version", "version\nhelp\n", "Tarvel's Quillmar Version 1.0b \r\n+OK\r\n"},
        {"check without password", "check bob\nlookup\nexit\n",
         "-ERR No username/password provided\r\n-ERR No username/password provided\r\n+OK\r\n"},
        {"wrong password", "check bob nope\nexit\n",
         "-ERR bob password wrong or not a valid user\r\n+OK\r\n"},
        {"unknown user", "lookup nobody\nexit\n", "-ERR nobody Not Located in database\r\n+OK\r\n"},
        // A NUL must never shorten the password to one that matches.
        {"NUL after the right password", std::string("check bob secret\0junk\nexit\n", 27),
         "-ERR Command line holds a NUL byte\r\n+OK\r\n"},
        {"NUL inside the user name", std::string("lookup bo\0b\nexit\n", 17),
         "-ERR Command line holds a NUL byte\r\n+OK\r\n"},
        // A password longer than any read buffer is one password, one answer.
        {"long password", "check bob secret" + std::string(5000, 'x') + "\nexit\n",
         "-ERR bob password wrong or not a valid user\r\n+OK\r\n"},
        {"over-long line", "check bob " + std::string(70000, 's') + "\nexit\n",
         "-ERR Command line too long\r\n+OK\r\n"},
    };
    world w;
    w.standard_table();
    w.write_ini(full_ini);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        qmtest::child_result r = w.run(row.input);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, row.output);
    }
    // After the refused and long lines the answers stay in step with the checks.
    qmtest::child_result r = w.run("check bob secret" + std::string(3000, 'x') +
                                   "\ncheck bob secret\nlookup bob\nexit\n");
    auto lines = qmtest::split_lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "-ERR bob password wrong or not a valid user\r\n");
    EXPECT_EQ(lines[1].rfind(bob_line, 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(bob_line, 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "+OK\r\n");
}
