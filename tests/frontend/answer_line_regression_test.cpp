// Found by fuzzing the protocol: a result value with a line break in it
// split the "+OK" line, and its second half stood ready as the answer to the
// server's next command. A record that cannot be shown on one line (or
// whole: a NUL cuts a C text short) is now refused like a failed check or
// lookup, with an error line in the log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/globals.h"
#include "config/ini.h"
#include "frontend/front_end.h"
#include "module/auth_module.h"
#include "support/child_process.h"

namespace {

auth_result stored_record;

auth_result* found(command_words&) { return &stored_record; }

class AnswerLine : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = auth_module;
        auth_module = front_end_auth_module();
        auth_module.check = found;
        auth_module.lookup = found;
        debug_mode = 0;
        mail_uid = 0;
        char dir[] = "/tmp/qm-answer-line-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        log_path = dir_ + "/quillmar.log";
    }
    void TearDown() override {
        auth_module = saved_;
        log_path.reset();
        stored_record = auth_result{};
        std::remove((dir_ + "/quillmar.log").c_str());
        ::rmdir(dir_.c_str());
    }
    std::string log_text() const {
        std::ifstream in(dir_ + "/quillmar.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    auth_module_table saved_;
    std::string dir_;
};

}  // namespace

TEST_F(AnswerLine, RecordWithLineBreakIsRefused) {
    using text = std::optional<std::string>;
    struct row {
        text user, maildrop, options;
        bool refused;
    };
    const std::vector<row> rows = {
        {"ann", "/var/mail/ann", "fwd=\"x\"", false},
        {"ann", "/var/mail/ann\r\n+OK admin /var/mail/admin", "fwd=\"x\"", true},
        {"ann", "/var/mail/ann\n", std::nullopt, true},
        {"ann", "/var/mail/ann", "fwd=\"x\r\n+OK admin\"", true},
        {"ann", std::nullopt, "quota=\"1\"\r", true},
        {"ann\n+OK admin", "/var/mail/ann", std::nullopt, true},
        {"a\rnn", std::nullopt, std::nullopt, true},
        {"ann", std::string("/var/mail/ann\0/elsewhere", 24), std::nullopt, true},
        // Fields that are never shown may hold anything.
        {"ann", "/var/mail/ann", std::nullopt, false},
    };
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"check ann pw\r\n", "-ERR ann password wrong or not a valid user\r\n"},
        {"lookup ann\n", "-ERR ann Not Located in database\r\n"},
    };
    for (const auto& command : commands) {
        for (const row& r : rows) {
            SCOPED_TRACE(command.first + " with " + r.user.value_or("") + " " +
                         r.maildrop.value_or("") + " " + r.options.value_or(""));
            stored_record.user = r.user;
            stored_record.password = "pw\r\nwith a break";
            stored_record.mailmask = "10.0.0.0\n";
            stored_record.maildrop = r.maildrop;
            stored_record.options = r.options;
            std::string before = log_text();
            std::string out = qmtest::capture_stdout([&] { handle_command_line(command.first); });
            if (r.refused) {
                EXPECT_EQ(out, command.second);
                EXPECT_NE(
                    log_text().find(
                        "ERROR: Result record holds a line break or NUL: answered as a failure\n",
                        before.size()),
                    std::string::npos);
            } else {
                EXPECT_EQ(out.compare(0, 7, "+OK ann"), 0) << out;
                EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
                EXPECT_EQ(log_text(), before);
            }
            // Either way the back end's record is emptied for the next call.
            EXPECT_FALSE(stored_record.user || stored_record.password || stored_record.mailmask ||
                         stored_record.maildrop || stored_record.options);
        }
    }
}
