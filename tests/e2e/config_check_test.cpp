// The configuration check (-check [user]) as an administrator runs it after
// editing the ini file: what it prints, its exit status, and that it leaves
// no log file behind (run as root it would make one the mail server's user
// cannot write).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "directory_harness.h"

namespace {

using qmdir::world;

// The standard table's ini with one line replaced (or, with `from` empty,
// one added).
std::string full_ini_with(const std::string& from, const std::string& to) {
    std::string ini = qmdir::full_ini;
    if (from.empty()) return ini + to;
    return ini.replace(ini.find(from), from.size(), to);
}

std::string checked(const std::string& lines) { return "reading quillmar.ini\n" + lines; }

struct check_case {
    const char* name;
    std::string ini;  // empty: no ini file anywhere
    std::vector<std::string> args;
    std::string out;
    int exit_code;
};

TEST(ConfigCheck, SaysEachProblemInPlainWords) {
    const std::string problem = "\n1 problem\n";
    const check_case cases[] = {
        {"good settings", qmdir::full_ini, {"-check"}, checked("all is well\n"), 0},
        {"cache keys",
         full_ini_with("",
                       "cache_ttl 600\ncache_negative_ttl 60\ncache_size 100\n"
                       "CACHE_STALE_TTL 3600\n"),
         {"-check"},
         checked("all is well\n"),
         0},
        {"keys that have no effect are a note, no problem",
         full_ini_with("", "odbc_server db.example\nODBC_MAIL_USER_DB mail\n"),
         {"-check"},
         checked("note: odbc_server has no effect: data source 'quillmar' in odbc.ini names the "
                 "server\n"
                 "note: odbc_mail_user_db has no effect: data source 'quillmar' in odbc.ini names "
                 "the database\n"
                 "all is well\n"),
         0},
        {"values a start would only log",
         full_ini_with("", "cache_ttl ten\ndefault_pass_scheme NOSUCH\nodbc_mail_uid -1\n"),
         {"-check"},
         checked("quillmar.ini: Cache: cache_ttl wants a whole number from 0 to 2147483647, not "
                 "(ten); setting unchanged\n"
                 "Unknown password scheme (NOSUCH) in default_pass_scheme: every check fails\n"
                 "odbc_mail_uid (-1) is not a number from 0 to 4294967295: mail uid 0 used\n"
                 "3 problems\n"),
         1},
        {"hashed passwords: the dummy and the ceilings; a rewrite into an unsalted digest",
         full_ini_with("",
                       "default_pass_scheme CRYPT\npass_ceiling_bcrypt 12\n"
                       "pass_rehash_scheme SHA\n"),
         {"-check"},
         checked("unknown users are checked against a YESCRYPT value at 16384 KiB x passes, made "
                 "like default_pass_scheme's values at its defaults\n"
                 "cost ceilings (pass_ceiling_<family>): argon2 524288 KiB x passes, yescrypt "
                 "262144 KiB x passes, bcrypt 12 log2 rounds, sha_crypt 2000000 rounds, pbkdf2 "
                 "2000000 rounds, legacy_crypt 500000 rounds\n"
                 "pass_rehash_scheme (SHA) is an unsalted digest, quick to crack: stored "
                 "passwords are not rewritten" +
                 problem),
         1},
        {"no ini file",
         "",
         {"-check"},
         "the ini file was not found: neither qm_check.ini in the working directory nor "
         "/etc/qm_check.ini exists" +
             problem,
         1},
        {"misspelt key, so the password column is not set",
         full_ini_with("field_password", "field_pasword"),
         {"-check", "bob"},
         checked("unknown key 'field_pasword' in quillmar.ini: it is ignored\n"
                 "field_password is not set\n"
                 "user bob: not looked up until the problems above are mended\n2 problems\n"),
         1},
        {"misspelt column",
         full_ini_with("field_password pass", "field_password passwd"),
         {"-check"},
         checked("table maildb has no column 'passwd' (field_password)" + problem),
         1},
        {"missing table",
         full_ini_with("odbc_mail_user_table maildb", "odbc_mail_user_table nosuch"),
         {"-check"},
         checked("data source 'quillmar' has no table nosuch (odbc_mail_user_table)" + problem),
         1},
        {"unreachable data source",
         full_ini_with("", "odbc_driver_name nosuch\n"),
         {"-check", "bob"},
         checked("cannot connect to data source 'nosuch': Data source name not found and no "
                 "default driver specified\n"
                 "user bob: not looked up until the problems above are mended\n1 problem\n"),
         1},
        {"log folder missing",
         full_ini_with("", "log_path no/such/folder/q.log\n"),
         {"-check"},
         checked("the log folder no/such/folder does not exist (log_path no/such/folder/q.log): "
                 "every log line would be lost" +
                 problem),
         1},
        {"throttle keys: a value refused, the table's folder missing",
         full_ini_with("",
                       "log_auth_failures true\nauth_failure_limit 10\n"
                       "auth_failure_limit 10 300\nauth_failure_table no/such/folder/t\n"),
         {"-check"},
         checked("quillmar.ini: auth_failure_limit takes a count from 0 to 32767 and seconds "
                 "from 1 to 604800, as in 'auth_failure_limit 10 300', not (10); setting "
                 "unchanged\n"
                 "the throttle's folder no/such/folder does not exist (auth_failure_table "
                 "no/such/folder/t): checks would not be throttled\n"
                 "2 problems\n"),
         1},
        {"stats folder missing; a refused stats interval",
         full_ini_with("", "stats_path no/such/stats\nstats_interval 0\n"),
         {"-check"},
         checked("quillmar.ini: stats_interval wants a whole number of seconds from 1 to 86400, "
                 "not (0); 10 holds\n"
                 "the stats folder no/such/stats does not exist (stats_path): no counters would "
                 "be written\n2 problems\n"),
         1},
        {"user found",
         qmdir::full_ini,
         {"-check", "bob"},
         checked("user bob: found: +OK bob /var/mail/bob 0 quota=\"100\"\nall is well\n"),
         0},
        {"user not found",
         qmdir::full_ini,
         {"-check", "nobody"},
         checked("user nobody: not found" + problem),
         1},
        {"user on two rows",
         qmdir::full_ini,
         {"-check", "twin"},
         checked("user twin: cannot be looked up: More than one Row - non unique result!" +
                 problem),
         1},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.name);
        world w;
        w.standard_table();
        qmtest::child_options options = w.options(c.args);
        if (c.ini.empty())
            options.argv0 = "qm_check";  // a name no package puts into /etc
        else
            w.write_ini(c.ini);
        qmtest::child_result r = qmtest::run_child(QM_BINARY, "", options);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(w.log_text(), "");
    }
}

// Folders that others may write, where root's tools would find links and
// files planted under the names we use, and files of another user at those
// names; a folder only root may write is silent.
TEST(ConfigCheck, SaysWhoElseMayWriteTheSharedFolders) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give folders and files other owners";
    const uid_t other = 65534;
    const std::string other_user = ::getpwuid(other)->pw_name,
                      other_group = ::getgrgid(other)->gr_name;
    struct folder_case {
        const char* name;
        ::mode_t mode;
        uid_t owner;
        gid_t group;
        std::string lines;  // what the check says of folder "f" as the stats folder
    };
    const std::string not_only = ", not only by root\n";
    const folder_case cases[] = {
        {"only root writes", 0755, 0, 0, ""},
        {"every user", 0777, 0, 0, "may be written by every user" + not_only},
        {"every user, sticky", 01777, 0, 0, "may be written by every user" + not_only},
        {"a group", 0775, 0, other, "may be written by group " + other_group + not_only},
        {"another owner", 0755, other, 0, "may be written by user " + other_user + not_only},
    };
    for (const folder_case& c : cases) {
        SCOPED_TRACE(c.name);
        world w;
        w.standard_table();
        const std::string f = w.env().dir() + "/f";
        ASSERT_EQ(::mkdir(f.c_str(), 0700), 0);
        ASSERT_EQ(::chown(f.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(f.c_str(), c.mode), 0);
        w.write_ini(qmdir::full_ini + ("stats_path " + f + "\n"));
        qmtest::child_result r = w.run("", {"-check"});
        const std::string said =
            c.lines.empty() ? "" : "the stats folder " + f + " (stats_path) " + c.lines;
        EXPECT_EQ(r.out, checked(said + (c.lines.empty() ? "all is well\n" : "1 problem\n")));
        // The same folder as the flush file's and the throttle table's,
        // each file there another user's.
        for (const char* file : {"/flush", "/table"}) {
            ASSERT_EQ(::close(::open((f + file).c_str(), O_CREAT | O_WRONLY, 0600)), 0);
            ASSERT_EQ(::chown((f + file).c_str(), other, other), 0);
        }
        w.write_ini(qmdir::full_ini +
                    ("cache_flush_path " + f + "/flush\nauth_failure_table " + f + "/table\n"));
        r = w.run("", {"-check"});
        const std::string owned = " belongs to " + other_user + ", not to root\n";
        EXPECT_EQ(
            r.out,
            checked((c.lines.empty() ? ""
                                     : "the cache flush folder " + f + " (cache_flush_path " + f +
                                           "/flush) " + c.lines) +
                    "the cache flush file " + f + "/flush (cache_flush_path)" + owned +
                    (c.lines.empty() ? ""
                                     : "the throttle's folder " + f + " (auth_failure_table " + f +
                                           "/table) " + c.lines) +
                    "the throttle's table " + f + "/table (auth_failure_table)" + owned +
                    (c.lines.empty() ? "2 problems\n" : "4 problems\n")));
    }
}

// The catalog and the lookup through a server's driver.
class ConfigCheckServer : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, ConfigCheckServer,
                         ::testing::Values(qmdir::db_case(qmdir::db_kind::postgres)),
                         qmdir::db_label);

TEST_P(ConfigCheckServer, GoodSettingsAndUser) {
    world w(db());
    w.standard_table();
    w.write_ini(qmdir::full_ini);
    qmtest::child_result r = w.run("", {"-check", "bob"});
    EXPECT_EQ(r.out,
              checked("user bob: found: +OK bob /var/mail/bob 0 quota=\"100\"\nall is well\n"));
    EXPECT_EQ(r.exit_code, 0);
}

// The data source's password, in odbc.ini or in the ini file, reaches
// neither the log, nor the check's output, nor the trace, whatever refuses
// the connection: a wrong password, a server that is not there.
class ConfigCheckSecret : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, ConfigCheckSecret,
                         ::testing::Values(qmdir::db_case(qmdir::db_kind::postgres),
                                           qmdir::db_case(qmdir::db_kind::mariadb)),
                         qmdir::db_label);

TEST_P(ConfigCheckSecret, NeitherInTheLogNorTheCheckNorTheTrace) {
    const std::string secret = "Zq9x-not-the-password";
    struct secret_case {
        const char* name;
        bool in_ini;     // else in odbc.ini
        bool no_server;  // nothing listens on the data source's port
    };
    const secret_case cases[] = {
        {"wrong password in the data source", false, false},
        {"wrong password in the ini file", true, false},
        {"no server there", true, true},
    };
    for (const secret_case& c : cases) {
        SCOPED_TRACE(c.name);
        world w(db());
        w.standard_table();
        std::vector<std::pair<std::string, std::string>> settings = w.server().dsn_settings();
        for (auto& setting : settings) {
            if (setting.first == "Password" && !c.in_ini) setting.second = secret;
            if (setting.first == "Port" && c.no_server) setting.second = "1";
        }
        w.env().set_dsn("quillmar", settings);
        w.write_ini(qmdir::full_ini + std::string("debug true\n") +
                    (c.in_ini ? "odbc_password " + secret + "\n" : ""));
        const std::string trace = w.env().dir() + "/trace.txt";
        w.env().write_file(
            "DBTRACE.INI",
            "[Diagnostics]\nTraceEnabled=1\nTraceFlags=0x20\nTraceFile=" + trace + "\n");
        qmtest::child_result check = w.run("", {"-check", "bob"});
        EXPECT_NE(check.out.find("cannot connect to data source 'quillmar'"), std::string::npos)
            << check.out;
        qmtest::child_result start = w.run("check bob secret\nquit\n");
        EXPECT_NE(start.out.find("-DEAD: "), std::string::npos) << start.out;
        std::ifstream in(trace);
        std::stringstream traced;
        traced << in.rdbuf();
        EXPECT_NE(traced.str().find("State:"), std::string::npos) << "trace: " << traced.str();
        for (const std::string& text : {check.out, start.out, w.log_text(), traced.str()})
            EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
}

}  // namespace
