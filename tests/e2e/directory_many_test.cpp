// Many authenticators on one PostgreSQL database and one log file, as a busy
// mail server runs them: every answer right, every log line whole.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "config/config_fixture.h"
#include "directory_harness.h"

namespace {

using qmdir::world;

class DirectoryManyProcesses : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, DirectoryManyProcesses, qmdir::both_paths({qmdir::db_kind::postgres}),
                         qmdir::db_label);

#if defined(__SANITIZE_ADDRESS__)
constexpr int kChecks = 2000;  // the sanitizer build is several times slower
#else
constexpr int kChecks = 10000;
#endif

TEST_P(DirectoryManyProcesses, EightAuthenticatorsOneLog) {
    world w(db());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    struct row {
        const char* command;
        const char* answer;
    };
    const row rows[] = {
        {"check bob secret", "+OK bob /var/mail/bob 0 quota=\"100\""},
        {"check bob secreT", "-ERR bob password wrong or not a valid user"},
        {"check ann pw 10.0.0.1", "+OK ann config 0 fwd=\"fwdbox\" quota=\"100\""},
        {"check cat meow 10.168.1.10", "-ERR cat password wrong or not a valid user"},
        {"check twin a", "-ERR twin password wrong or not a valid user"},  // logs an error line
        {"check dan x", "+OK dan config 0"},
        {"check nobody x", "-ERR nobody password wrong or not a valid user"},
    };
    const int n = static_cast<int>(sizeof rows / sizeof rows[0]);
    const int processes = 8;
    std::vector<qmtest::child_result> results(processes);
    std::vector<std::string> expected(processes);
    int twins = 0;
    std::vector<std::thread> threads;
    for (int p = 0; p < processes; ++p) {
        std::string input;
        for (int i = 0; i < kChecks; ++i) {
            const row& r = rows[(i + p) % n];
            input += std::string(r.command) + "\n";
            expected[p] += std::string(r.answer) + "\r\n";
            if (r.command == std::string("check twin a")) ++twins;
        }
        input += "quit\n";
        expected[p] += "+OK\r\n";
        threads.emplace_back([&, p, input] {
            qmtest::child_options o = w.options();
            o.timeout = std::chrono::minutes(15);
            results[p] = qmtest::run_child(QM_BINARY, input, o);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int p = 0; p < processes; ++p) {
        SCOPED_TRACE(p);
        EXPECT_FALSE(results[p].timed_out);
        EXPECT_EQ(results[p].exit_code, 0);
        EXPECT_TRUE(results[p].out == expected[p]) << results[p].out.substr(0, 2000);
    }

    // Each line: process id, time stamp, one whole message.
    std::map<std::string, int> messages;
    std::map<std::string, int> pids;
    std::istringstream log(w.log_text());
    std::string text;
    while (std::getline(log, text)) {
        std::size_t digits = text.find_first_not_of("0123456789");
        ASSERT_TRUE(digits != std::string::npos && digits > 0 && text[digits] == ' ') << text;
        std::string message = qmtest::after_heads(text);
        ASSERT_NE(message, "<no head>") << text;
        ++messages[message];
        ++pids[text.substr(0, digits)];
    }
    EXPECT_EQ(messages["ERROR: More than one Row - non unique result!"], twins);
    EXPECT_EQ(pids.size(), static_cast<std::size_t>(processes));
    for (const auto& [message, count] : messages)
        EXPECT_TRUE(message == "ERROR: More than one Row - non unique result!")
            << message << " x" << count;
}

}  // namespace
