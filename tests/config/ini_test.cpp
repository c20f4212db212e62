// The ini reader: its line syntax, the four front-end keys, the hand-over of
// the others to the back end, the two places it looks, and the start buffer.
#include "config_fixture.h"
#include "support/child_process.h"

using qmtest::after_heads;
using qmtest::ConfigTest;
using qmtest::lines_of;
using qmtest::loaded_keys;
using key_list = std::vector<std::pair<std::string, std::string>>;

TEST(ProgramBaseName, DirectoryAndDots) {
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"C:\\mail\\auth\\prog.exe", "prog"},
        {"/usr/local/bin/quillmar", "quillmar"},
        {"quillmar", "quillmar"},
        {"./quillmar.exe", "quillmar"},
        {"/opt/my.dir/prog", "prog"},
        {"my.dir/prog", "prog"},
        {"dir\\sub/name.a.b", "name"},
        {"/srv/auth.v2", "auth"},
        {".hidden", ""},
        {"/usr/bin/", ""},
        {"", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(program_base_name(row.first), row.second) << row.first;
}

// The line syntax and the front end's keys, one ini text per row.
TEST_F(ConfigTest, LineSyntaxAndKeys) {
    struct row {
        const char* name;
        std::string ini;
        key_list loads;
        std::optional<std::string> domain, info_pass;
        std::string log_path;
    };
    const std::string long_value(5000, 'v');
    const std::vector<row> rows = {
        {"comments and blank lines",
         "# a comment\n\n\r\n#debug true\nodbc_dsn users\n  \n\t\n",
         {{"odbc_dsn", "users"}},
         {},
         {},
         "prog.log"},
        {"keys in any case",
         "DOMAIN Example.ORG\nInfo_Pass PassWord\nLOG_PATH Other.Log\nODBC_DSN Users\n",
         {{"ODBC_DSN", "Users"}},
         "Example.ORG",
         "PassWord",
         "Other.Log"},
        {"key without value", "domain\ninfo_pass\nodbc_dsn\nlog_path   \n", {}, {}, {}, "prog.log"},
        {"leading blank gives an empty key",
         " value here\n\tx  y\n",
         {{"", "value here"}, {"", "x  y"}},
         {},
         {},
         "prog.log"},
        {"value runs to the end of the line",
         "domain a.org # not a comment  \t\n",
         {},
         "a.org # not a comment",
         {},
         "prog.log"},
        {"blanks between key and value",
         "odbc_table \t \tuser table\t\n",
         {{"odbc_table", "user table"}},
         {},
         {},
         "prog.log"},
        {"CRLF lines and no final line feed",
         "domain a.org\r\nodbc_dsn d\r\ninfo_pass p",
         {{"odbc_dsn", "d"}},
         "a.org",
         "p",
         "prog.log"},
        {"no sections and no equals sign",
         "[general]\nkey=value x\n",
         {{"key=value", "x"}},
         {},
         {},
         "prog.log"},
        {"a later line replaces an earlier one",
         "domain a\ndomain b\nlog_path 1\nlog_path 2\n",
         {},
         "b",
         {},
         "2"},
        {"long lines stay one line",
         "odbc_dsn " + long_value + "\ndomain after.long\n" + std::string(3000, 'k') + " v\n",
         {{"odbc_dsn", long_value}, {std::string(3000, 'k'), "v"}},
         "after.long",
         {},
         "prog.log"},
        {"empty file", "", {}, {}, {}, "prog.log"},
        // Editors that save UTF-8 may put a byte-order mark at the very start.
        {"byte-order mark before the first key",
         "\xEF\xBB\xBF"
         "domain a.org\nodbc_dsn d\n",
         {{"odbc_dsn", "d"}},
         "a.org",
         {},
         "prog.log"},
        {"byte-order mark before a comment",
         "\xEF\xBB\xBF# c\nodbc_dsn d\n\xEF\xBB\xBF"
         "domain later\n",
         {{"odbc_dsn", "d"},
          {"\xEF\xBB\xBF"
           "domain",
           "later"}},
         {},
         {},
         "prog.log"},
        {"a NUL makes the line void",
         std::string("domain a.org\0evil\nodbc_password p\0q\n# c\0\n", 41),
         {},
         {},
         {},
         "prog.log"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        loaded_keys().clear();
        domain.reset();
        info_pass.reset();
        log_path.reset();
        write_file("prog.ini", r.ini);
        EXPECT_EQ(load_ini("/usr/sbin/prog.exe", qmtest::record_load), 1);
        EXPECT_EQ(loaded_keys(), r.loads);
        EXPECT_EQ(domain, r.domain);
        EXPECT_EQ(info_pass, r.info_pass);
        EXPECT_EQ(log_path, r.log_path);
        EXPECT_EQ(debug_mode, 0);
    }
    // The refused lines leave one error line each in the log.
    auto log = lines_of(read_file("prog.log"));
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(qmtest::after_heads(log[0]), "ERROR: INI: line holding a NUL byte ignored\n");
}

// The keys a session and the command-line tools both read; a refused
// interval is one error line and leaves the value as it was.
TEST_F(ConfigTest, ProcessWideKeys) {
    struct row {
        std::string ini;
        std::optional<std::string> stats_path;
        long interval;
        std::string flush_path;
        std::size_t error_lines;
    };
    const row rows[] = {
        {"", {}, default_stats_interval, default_cache_flush_path, 0},
        {"STATS_PATH /run/q\nstats_interval 60\ncache_flush_path /dev/shm/f\n", "/run/q", 60,
         "/dev/shm/f", 0},
        {"stats_interval 86400\n", {}, 86400, default_cache_flush_path, 0},
        {"stats_interval 30\nstats_interval 0\nstats_interval 86401\nstats_interval 5s\n"
         "stats_interval -1\nstats_interval 99999999999999999999\n",
         {},
         30,
         default_cache_flush_path,
         5},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.ini);
        stats_path.reset();
        stats_interval = default_stats_interval;
        cache_flush_path = default_cache_flush_path;
        std::vector<std::string> errors;
        divert_log(&errors);
        write_file("prog.ini", r.ini);
        load_ini("prog", qmtest::record_load);
        divert_log(nullptr);
        EXPECT_EQ(stats_path, r.stats_path);
        EXPECT_EQ(stats_interval, r.interval);
        EXPECT_EQ(cache_flush_path, r.flush_path);
        EXPECT_EQ(errors.size(), r.error_lines);
        EXPECT_TRUE(loaded_keys().empty());
    }
    stats_path.reset();
    stats_interval = default_stats_interval;
    cache_flush_path = default_cache_flush_path;
    // A cache key is the name a check looks up: the default domain attached.
    domain = "example.org";
    EXPECT_EQ(with_default_domain("bob"), "bob@example.org");
    EXPECT_EQ(with_default_domain("bob@other.net"), "bob@other.net");
    domain.reset();
    EXPECT_EQ(with_default_domain("bob"), "bob");
}

// "debug" is on only for "true" in any case, and the file overrides "-debug".
TEST_F(ConfigTest, DebugValues) {
    const std::vector<std::pair<const char*, int>> rows = {
        {"true", 1}, {"TRUE", 1},  {"tRuE", 1},   {"yes", 0},   {"1", 0},
        {"on", 0},   {"false", 0}, {"true x", 0}, {"truex", 0},
    };
    for (int before : {0, 1}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.first) + " after " + std::to_string(before));
            debug_mode = before;
            write_file("prog.ini", std::string("Debug ") + row.first + "\nlog_path x/y.log\n");
            std::string out = qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
            EXPECT_EQ(debug_mode, row.second);
        }
    }
    // A lone key changes nothing.
    debug_mode = 1;
    write_file("prog.ini", "debug\n");
    qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
    EXPECT_EQ(debug_mode, 1);
}

// The working directory is looked at first; the fixed system directory
// second. Only the first can be arranged here.
TEST_F(ConfigTest, FileNamedAfterTheProgram) {
    write_file("prog.ini", "domain from.cwd\n");
    write_file("other.ini", "domain wrong\n");
    EXPECT_EQ(load_ini("C:\\mail\\auth\\prog.exe", qmtest::record_load), 1);
    EXPECT_EQ(domain, "from.cwd");
    EXPECT_EQ(log_path, "prog.log");
}

TEST_F(ConfigTest, MissingFile) {
    EXPECT_EQ(load_ini("/no/such/qm-absent-program", qmtest::record_load), 0);
    EXPECT_EQ(log_path, "qm-absent-program.log");
    EXPECT_FALSE(file_exists("qm-absent-program.log"));

    // In debug mode the failure is logged with the second name.
    log_path.reset();
    debug_mode = 1;
    std::string out =
        qmtest::capture_stdout([] { load_ini("qm-absent-program", qmtest::record_load); });
    EXPECT_EQ(after_heads(out), "INI: Failed to load {/etc/qm-absent-program.ini}\r\n");
    auto log = lines_of(read_file("qm-absent-program.log"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("INI: Failed to load {/etc/qm-absent-program.ini}\n"), std::string::npos);
}

// The buffered lines reach the log named by the last "log_path" line, and
// only when debug mode is on once the whole file has been read.
TEST_F(ConfigTest, StartBufferGoesToTheFinalLog) {
    write_file(
        "prog.ini",
        "log_path first.log\r\ndebug true\r\n# comment\r\nodbc_dsn d\r\nlog_path second.log\r\n");
    std::string out = qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
    EXPECT_FALSE(file_exists("first.log"));
    EXPECT_FALSE(file_exists("prog.log"));
    auto log = lines_of(read_file("second.log"));
    const std::vector<std::string> messages = {
        "-- Emptying start message buffer now", "INI: Loading {prog.ini}",
        "INI:         Located {log_path}",      "log_path set to (first.log)",
        "INI:         Located {debug}",         "INI:         Located {odbc_dsn}",
        "INI:         Located {log_path}",      "log_path set to (second.log)",
        "-- End of start message buffer.",
    };
    ASSERT_EQ(log.size(), messages.size()) << read_file("second.log");
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i);
        // The first buffered line carries the prefix of the moment of
        // emptying ahead of its own.
        EXPECT_EQ(after_heads(log[i], i == 1 ? 2 : 1), messages[i] + "\n");
        EXPECT_EQ(log[i].rfind(std::to_string(process_id) + " ", 0), 0u);
    }
    // The same lines are echoed on stdout; the last of each entry ends in CR LF.
    auto echo = lines_of(out);
    ASSERT_EQ(echo.size(), log.size());
    EXPECT_EQ(echo[0].substr(echo[0].size() - 2), "\r\n");
    EXPECT_EQ(echo[1], log[1]);
}

TEST_F(ConfigTest, StartBufferDiscardedWithoutDebug) {
    const std::vector<std::string> inis = {
        "log_path a.log\ndomain x\n",
        "debug true\nlog_path a.log\ndebug false\n",
        "debug true\nlog_path a.log\ndebug yes\n",
    };
    for (const auto& ini : inis) {
        SCOPED_TRACE(ini);
        write_file("prog.ini", ini);
        std::string out = qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
        EXPECT_EQ(out, "");
        EXPECT_FALSE(file_exists("a.log"));
        EXPECT_FALSE(file_exists("prog.log"));
    }
    // "-debug" with a file that says nothing about debug keeps the lines.
    debug_mode = 1;
    write_file("prog.ini", "log_path a.log\n");
    qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
    EXPECT_EQ(lines_of(read_file("a.log")).size(), 5u);
    // A "debug true" after "debug false" keeps them too.
    debug_mode = 0;
    write_file("prog.ini", "debug false\nlog_path b.log\ndebug TRUE\n");
    qmtest::capture_stdout([] { load_ini("prog", qmtest::record_load); });
    EXPECT_EQ(lines_of(read_file("b.log")).size(), 7u);
}

// A key for the back end with no load slot ends the process, status 0,
// after one error line; the buffered lines are never written.
TEST_F(ConfigTest, BackEndKeyWithoutLoadSlot) {
    write_file("prog.ini",
               "debug true\nlog_path fatal.log\ndomain kept.org\nodbc_dsn d\ninfo_pass never\n");
    EXPECT_EXIT(load_ini("prog", nullptr), ::testing::ExitedWithCode(0), "");
    auto log = lines_of(read_file("fatal.log"));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find(" ERROR: FATAL: no auth_module.load function\n"), std::string::npos);
    // The front end's own keys never need the slot.
    write_file("prog.ini", "domain a\ninfo_pass b\nlog_path c\ndebug false\n");
    EXPECT_EQ(load_ini("prog", nullptr), 1);
    EXPECT_EQ(info_pass, "b");
}
