// What a hostile or unlucky parent hands the authenticator besides its
// commands: a file-size limit, a stdout that fails or does not block, a
// stdin that does not block, a log path that is no regular file, and stored
// values made to forge answers. The built binaries run as children, each
// fault set up in the child before exec.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "directory_harness.h"

namespace {

using qmdir::full_ini;
using qmdir::world;
using namespace std::chrono_literals;

std::size_t count_prefixed(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t n = 0;
    for (const std::string& line : lines) n += line.rfind(prefix, 0) == 0;
    return n;
}

const std::string nul_line("\0\n", 2);
const std::string nul_answer = "-ERR Command line holds a NUL byte\r\n";
const std::string info_answer = "+DATA 1.0b (Quillmar)\r\n+OK\r\n";

// A line past the limit fails and is lost whole, as on an unwritable log:
// the piece that fitted is taken back, so that no later line (of this
// process or another) is glued to it. The session goes on.
TEST(HostileProcess, FileSizeLimit) {
    world w;
    const std::string before = std::string(999, 'x') + "\n";
    w.env().write_file("quillmar.log", before);
    qmtest::child_options limited = w.options();
    limited.in_child = [] {
        rlimit limit{1010, 1010};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    qmtest::child_result r = qmtest::run_child(QM_FRONT_BINARY, nul_line + "info\n", limited);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, nul_answer + info_answer);
    EXPECT_EQ(w.log_text(), before);

    r = qmtest::run_child(QM_FRONT_BINARY, nul_line, w.options());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(w.log_messages(),
              (std::vector<std::string>{before.substr(0, 999),
                                        "ERROR: Command line holding a NUL byte refused"}));
}

// An answer that cannot be written ends the session with one error line and
// a failure status, rather than running the next queries for nobody.
TEST(HostileProcess, StdoutThatFails) {
    struct stdout_row {
        const char* name;
        std::function<void()> in_child;
    };
    auto reader_gone = [](void (*disposition)(int)) {
        return [disposition] {
            std::signal(SIGPIPE, disposition);
            int p[2];
            if (::pipe(p) != 0) ::_exit(125);
            ::dup2(p[1], 1);
            ::close(p[0]);
            ::close(p[1]);
        };
    };
    const std::vector<stdout_row> rows = {
        {"reader gone, SIGPIPE ignored", reader_gone(SIG_IGN)},
        {"reader gone, SIGPIPE as a shell leaves it", reader_gone(SIG_DFL)},
        {"full device",
         [] {
             int fd = ::open("/dev/full", O_WRONLY);
             if (fd < 0) ::_exit(125);
             ::dup2(fd, 1);
             ::close(fd);
         }},
    };
    for (const stdout_row& row : rows) {
        SCOPED_TRACE(row.name);
        world w;
        w.standard_table();
        w.write_ini(full_ini);
        qmtest::child_options options = w.options({"-debug"});
        options.in_child = row.in_child;
        qmtest::child_result r =
            qmtest::run_child(QM_BINARY, "lookup bob\nlookup bob\nlookup bob\n", options);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 1);
        std::vector<std::string> log = w.log_messages();
        EXPECT_EQ(count_prefixed(log, "...Lookup: User='bob'"), 1u);
        EXPECT_EQ(count_prefixed(log, "ERROR: "), 1u);
        EXPECT_EQ(count_prefixed(log, "ERROR: Answer not written to standard output ("), 1u);
    }
}

// A library that cannot start (libsodium, for the answer cache) gives the
// "-DEAD" line of a failed start and one error line, where std::terminate
// would end the process with neither.
TEST(HostileProcess, LibraryThatCannotStart) {
    world w;
    w.standard_table();
    w.write_ini(std::string(full_ini) + "cache_ttl 600\n");
    qmtest::child_options options = w.options();
    const std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    options.env.emplace_back("LD_PRELOAD", QM_SODIUM_FAILS);
    // The sanitizer build's runtime would refuse a library loaded before it.
    options.env.emplace_back("ASAN_OPTIONS",
                             asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0");
    qmtest::child_result r = qmtest::run_child(QM_BINARY, "lookup bob\n", options);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.out, "-DEAD: Internal problem, please try again later (libsodium cannot start)\n");
    EXPECT_EQ(w.log_messages(), std::vector<std::string>{
                                    "ERROR: Internal error in start-up: libsodium cannot start"});
}

// A parent may hand down descriptors in non-blocking mode: no input waiting
// yet must not end the session, and a reader that is slow must not lose
// answers.
TEST(HostileProcess, NonBlockingStdio) {
    const int commands = 3000;
    std::string input;
    for (int i = 0; i < commands; ++i) input += "help\n";
    for (int fd : {0, 1}) {
        SCOPED_TRACE(fd);
        world w;
        qmtest::child_options options = w.options();
        options.in_child = [fd] { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); };
        qmtest::child_session session(QM_FRONT_BINARY, options);
        std::this_thread::sleep_for(300ms);  // the first read finds nothing
        session.write(input);
        std::this_thread::sleep_for(700ms);  // the answers fill the pipe
        qmtest::child_result r = session.finish();
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(count_prefixed(qmtest::split_lines(r.out), "+OK"),
                  static_cast<std::size_t>(commands));
    }
}

// Log lines go only to a regular file: a FIFO without a reader must not
// hold up start-up, and stdout or stderr named as the log never get them.
TEST(HostileProcess, LogPathThatIsNoRegularFile) {
    for (const char* path : {"log.fifo", "/dev/stdout", "/dev/stderr"}) {
        SCOPED_TRACE(path);
        world w;
        ASSERT_EQ(::mkfifo((w.env().dir() + "/log.fifo").c_str(), 0600), 0);
        w.env().write_file("quillmar.ini", std::string("log_path ") + path + "\n");
        qmtest::child_options options = w.options();
        options.timeout = 5s;
        qmtest::child_result r = qmtest::run_child(QM_FRONT_BINARY, nul_line + "info\n", options);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, nul_answer + info_answer);
        EXPECT_EQ(r.err, "");
    }
}

// Stored values that would forge or change an answer: each record is
// refused with an error line naming why, in debug mode every line on stdout
// other than an answer is one echoed log line, and the session stays in step.
TEST(HostileProcess, StoredValuesThatWouldChangeTheAnswer) {
    world w;
    w.exec(
        "CREATE TABLE maildb ([user] TEXT, pass TEXT, fwd TEXT, quota TEXT, mask TEXT, [drop] "
        "TEXT);"
        "INSERT INTO maildb VALUES ('nl', 'pw', 'x' || char(10) || "
        "'+OK admin@example.org /var/mail/admin 0' || char(10) || 'y', '', '', '/m');"
        "INSERT INTO maildb VALUES ('sp', 'pw', '', '100', '', '/var/mail/x 8');"
        "INSERT INTO maildb VALUES ('fw', 'pw', 'me@x.org\" quota=\"0', '100', '', '');"
        "INSERT INTO maildb VALUES ('qu', 'pw', '', '1\" fwd=\"x', '', '/m');"
        "INSERT INTO maildb VALUES ('ok', 'pw', 'a@b.c', '5', '', '/var/mail/ok  ');");
    w.write_ini(full_ini);
    struct stored_row {
        const char* user;
        std::string answer, error;
    };
    const std::vector<stored_row> rows = {
        {"nl", "-ERR nl Not Located in database\r\n",
         "Result record holds a line break or NUL: answered as a failure"},
        {"sp", "-ERR sp Not Located in database\r\n",
         "Stored maildrop holds a blank (column [drop]): answered as a failure"},
        {"fw", "-ERR fw Not Located in database\r\n",
         "Stored forward holds a double quote (column fwd): answered as a failure"},
        {"qu", "-ERR qu Not Located in database\r\n",
         "Stored quota holds a double quote (column quota): answered as a failure"},
        {"ok", "+OK ok /var/mail/ok 0 fwd=\"a@b.c\" quota=\"5\"\r\n", ""},
    };
    std::string input;
    for (const stored_row& row : rows) input += "lookup " + std::string(row.user) + "\n";
    qmtest::child_result r = w.run(input, {"-debug"});
    EXPECT_EQ(r.exit_code, 0);
    std::vector<std::string> answers;
    for (const std::string& line : qmtest::split_lines(r.out))
        if (line.empty() || line[0] < '0' || line[0] > '9') answers.push_back(line);
    std::vector<std::string> expected;
    for (const stored_row& row : rows) {
        expected.push_back(row.answer);
        if (!row.error.empty()) {
            EXPECT_TRUE(w.log_has("ERROR: " + row.error)) << row.error;
        }
    }
    EXPECT_EQ(answers, expected);
    for (const std::string& line : qmtest::split_lines(w.log_text()))
        EXPECT_TRUE(line[0] >= '0' && line[0] <= '9') << line;
}

}  // namespace
