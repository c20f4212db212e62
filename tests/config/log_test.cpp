// The log writers: line layout, the message cuts, what goes to the file and
// what is echoed in each mode, the start buffer's limits, and several
// processes appending to one file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <ctime>
#include <map>

#include "config_fixture.h"
#include "support/child_process.h"

using qmtest::after_heads;
using qmtest::ConfigTest;
using qmtest::lines_of;

namespace {

class utc_zone {
public:
    utc_zone() {
        const char* tz = std::getenv("TZ");
        if (tz) saved_ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~utc_zone() {
        if (saved_)
            ::setenv("TZ", saved_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

}  // namespace

TEST(LogTimeStamp, LayoutWithTwoDigitDay) {
    utc_zone utc;
    const std::vector<std::pair<std::time_t, const char*>> rows = {
        {0, "Jan 01 00:00:00 1970"},
        {1700000000, "Nov 14 22:13:20 2023"},
        {1709596800 + 3 * 3600 + 4 * 60 + 5, "Mar 05 03:04:05 2024"},
        {1709164800, "Feb 29 00:00:00 2024"},
        {1735689599, "Dec 31 23:59:59 2024"},
        {1751328000 + 9 * 86400, "Jul 10 00:00:00 2025"},
    };
    for (const auto& row : rows) EXPECT_EQ(log_time_stamp(row.first), row.second);
}

// Line ends inside a message never make a second line, in the file or in
// the echo: a stored value such as "x\n+OK admin ..." in a progress line
// would otherwise stand on stdout as an answer of its own.
TEST_F(ConfigTest, MessageCuts) {
    log_path = "cuts.log";
    debug_mode = 1;
    const std::string x1100(1100, 'x');
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"plain", "plain"},
        {"ends with CRLF\r\n", "ends with CRLF"},
        {"ends with LF\n", "ends with LF"},
        {"first\nsecond", "first"},
        // What follows the last line end goes; the line ends before it become blanks.
        {"a\nb\nc", "a b"},
        {"a\rb\nc", "a"},
        {"a\nb\rc", "a"},
        {"a\rb\rc", "a b"},
        {"Field 0 value (x\n+OK admin@example.org /var/mail/admin 0\ny)\n",
         "Field 0 value (x +OK admin@example.org /var/mail/admin 0 y)"},
        {"", ""},
        {x1100, x1100.substr(0, 1023)},
        {std::string(1022, 'y') + "\r\nzz", std::string(1022, 'y')},
        {std::string(1023, 'y') + "\nzz", std::string(1023, 'y')},
        {std::string(1000, 'y') + "\n" + std::string(100, 'z'), std::string(1000, 'y')},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        for (bool error : {false, true}) {
            std::filesystem::remove(dir_ / "cuts.log");
            std::string out = qmtest::capture_stdout([&] {
                if (error)
                    error_log("%s", row.first.c_str());
                else
                    debug_log("%s", row.first.c_str());
            });
            const std::string mark = error ? "ERROR: " : "";
            EXPECT_EQ(after_heads(read_file("cuts.log")), mark + row.second + "\n");
            EXPECT_EQ(after_heads(out), mark + row.second + "\r\n");
        }
    }
}

TEST_F(ConfigTest, NormalMode) {
    log_path = "normal.log";
    std::string out = qmtest::capture_stdout([] {
        debug_log("progress %d", 1);
        debug_log("%s", "more progress");
    });
    EXPECT_EQ(out, "");
    EXPECT_FALSE(file_exists("normal.log"));

    out = qmtest::capture_stdout([] { error_log("query failed: %s (%d)", "no table", 42); });
    EXPECT_EQ(out, "");
    auto log = lines_of(read_file("normal.log"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(after_heads(log[0]), "ERROR: query failed: no table (42)\n");
    EXPECT_EQ(log[0].rfind(std::to_string(process_id) + " ", 0), 0u);
}

TEST_F(ConfigTest, DebugModeWritesTwice) {
    debug_mode = 1;
    log_path = "debug.log";
    std::string out = qmtest::capture_stdout([] {
        debug_log("connected to %s", "users");
        error_log("lost %s", "connection");
    });
    auto echo = lines_of(out);
    auto log = lines_of(read_file("debug.log"));
    ASSERT_EQ(echo.size(), 2u);
    ASSERT_EQ(log.size(), 2u);
    const std::string pid = std::to_string(process_id) + " ";
    EXPECT_EQ(after_heads(echo[0]), "connected to users\r\n");
    EXPECT_EQ(after_heads(echo[1]), "ERROR: lost connection\r\n");
    EXPECT_EQ(after_heads(log[0]), "connected to users\n");
    EXPECT_EQ(after_heads(log[1]), "ERROR: lost connection\n");
    for (const auto& line : {echo[0], echo[1], log[0], log[1]}) EXPECT_EQ(line.rfind(pid, 0), 0u);
}

TEST_F(ConfigTest, NoLogPathOrNoFile) {
    struct row {
        int debug;
        std::optional<std::string> path;
        std::string out;
    };
    const std::vector<row> rows = {
        {1, std::nullopt, "No log_path is set\nERROR: No log_path set\n"},
        {0, std::nullopt, ""},
        {0, std::string("missing/dir/x.log"), ""},
    };
    for (const auto& r : rows) {
        debug_mode = r.debug;
        log_path = r.path;
        std::string out = qmtest::capture_stdout([] {
            debug_log("progress");
            error_log("error");
        });
        EXPECT_EQ(out, r.out);
    }
    // The echo stays even when the file cannot be opened.
    debug_mode = 1;
    std::string out = qmtest::capture_stdout([] { error_log("unwritable"); });
    EXPECT_NE(out.find(" ERROR: unwritable\r\n"), std::string::npos);
    EXPECT_FALSE(file_exists("missing"));
}

// Only a regular file (or a new one) is a log: a FIFO, a device or the file
// that is our stdout would put log lines where they do not belong, and are
// unwritable logs instead.
TEST_F(ConfigTest, LogThatIsNoRegularFile) {
    ASSERT_EQ(::mkfifo((dir_ / "log.fifo").c_str(), 0600), 0);
    int reader = ::open((dir_ / "log.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const char* path : {"log.fifo", "/dev/stdout"}) {
        SCOPED_TRACE(path);
        log_path = path;
        std::string out = qmtest::capture_stdout([] { error_log("lost"); });
        EXPECT_EQ(out, "");
        char buf[64];
        EXPECT_LE(::read(reader, buf, sizeof buf), 0);
    }
    ::close(reader);
}

// The start buffer holds whole lines below 1990 characters; emptying it
// writes the lines that lie wholly within the first 1023 characters.
TEST_F(ConfigTest, StartBufferLimits) {
    log_path = "start.log";
    start_log("before the buffer begins");
    start_buffer_begin();
    start_log("%s", std::string(1995, 'L').c_str());  // never fits
    for (int i = 0; i < 40; ++i)
        start_log("line %02d %s", i, std::string(90, 'a' + i % 26).c_str());
    start_log("short");
    debug_mode = 1;
    qmtest::capture_stdout([] { start_buffer_empty(); });
    std::string text = read_file("start.log");
    auto log = lines_of(text);
    ASSERT_GE(log.size(), 4u);
    EXPECT_NE(log.front().find("-- Emptying start message buffer now\n"), std::string::npos);
    EXPECT_NE(log.back().find("-- End of start message buffer.\n"), std::string::npos);
    EXPECT_EQ(text.find("before the buffer"), std::string::npos);
    EXPECT_EQ(text.find("LLLL"), std::string::npos);
    // The buffered entry: its message (after the emptying prefix) is at most
    // 1023 characters and made of whole lines, in order.
    std::size_t first = log[0].size();
    std::size_t end = text.size() - log.back().size();
    std::string entry = text.substr(first, end - first);
    std::string message = entry.substr(entry.find(' ', entry.find(' ') + 17) + 1);
    EXPECT_LE(message.size(), 1024u);  // 1023 characters and the line end
    std::size_t count = log.size() - 2;
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(i);
        char tag[32];
        std::snprintf(tag, sizeof tag, "line %02zu ", i);
        EXPECT_NE(log[1 + i].find(tag), std::string::npos);
        EXPECT_NE(log[1 + i].find(std::string(90, 'a' + i % 26) + "\n"), std::string::npos);
    }
    // All buffered lines have one length; as many as fit whole in 1023
    // characters are written, the rest dropped.
    std::size_t line_length = log[2].size();
    EXPECT_EQ(count, 1023 / line_length);
    EXPECT_GE(count, 5u);
    // A second empty is a no-op: the buffer is gone.
    std::filesystem::remove(dir_ / "start.log");
    qmtest::capture_stdout([] { start_buffer_empty(); });
    EXPECT_FALSE(file_exists("start.log"));
}

TEST_F(ConfigTest, StartBufferKeepsBelow1990) {
    log_path = "fill.log";
    start_buffer_begin();
    // Lines too long for what is left are dropped; later short ones still fit.
    for (int i = 0; i < 30; ++i) start_log("%s", std::string(200, 'f').c_str());
    start_log("tail-line");
    debug_mode = 1;
    std::string out = qmtest::capture_stdout([] { start_buffer_empty(); });
    EXPECT_NE(out.find("-- End of start message buffer."), std::string::npos);
    // 200-character messages make lines of about 240 characters: eight fit
    // below 1990 (about 1920), the ninth does not, and "tail-line" (about 40)
    // does. Only whole lines within 1023 characters are written: four.
    auto log = lines_of(read_file("fill.log"));
    EXPECT_EQ(log.size(), 2u + 4u);
    EXPECT_EQ(read_file("fill.log").find("tail-line"), std::string::npos);
}

// Several processes append to one log: each line is written whole, with its
// writer's process id.
TEST_F(ConfigTest, TwoProcessesAppendWholeLines) {
    log_path = "shared.log";
    const int per_process = 400;
    std::vector<pid_t> children;
    for (char letter : {'p', 'q'}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            process_id = static_cast<long>(::getpid());
            std::string body(900, letter);
            for (int i = 0; i < per_process; ++i) error_log("%04d %s", i, body.c_str());
            ::_exit(0);
        }
        children.push_back(pid);
    }
    std::map<std::string, int> count;
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const auto& l : lines_of(read_file("shared.log"))) {
        std::string rest = after_heads(l);
        ASSERT_EQ(rest.size(), 7u + 5u + 900u + 1u) << l.substr(0, 80);
        char letter = rest[12];
        ASSERT_EQ(rest.substr(12), std::string(900, letter) + "\n") << l.substr(0, 80);
        ++count[l.substr(0, l.find(' ')) + letter];
    }
    ASSERT_EQ(count.size(), 2u);
    for (const auto& c : count) EXPECT_EQ(c.second, per_process) << c.first;
}
