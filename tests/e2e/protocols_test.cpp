// The command line's -config and -protocol, and the squid and checkpassword
// protocols of the built binary driven over pipes and descriptor 3 as their
// peers drive them, on the standard user table.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "directory_harness.h"

namespace {

using namespace std::string_literals;
using qmdir::full_ini;
using qmdir::world;

// The settings under another name than the program's, so that only -config
// finds them.
world& standard_world(world& w) {
    w.standard_table();
    w.env().write_file("other.ini", std::string(full_ini) + "odbc_fast_path true\n");
    return w;
}

TEST(CommandLine, ConfigAndProtocol) {
    world w;
    standard_world(w);
    w.env().write_file("flush.ini", "cache_flush_path run/flush\n");
    struct row {
        const char* name;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out, err;
    };
    const std::vector<row> rows = {
        {"unknown protocol",
         {"-protocol", "ldap"},
         "",
         2,
         "",
         "quillmar: unknown protocol 'ldap' (known: line, squid, checkpassword)\n"},
        {"protocol without its name",
         {"-config", "other.ini", "-protocol"},
         "",
         2,
         "",
         "quillmar: -protocol needs a value\n"},
        {"config without its file",
         {"-debug", "-config"},
         "",
         2,
         "",
         "quillmar: -config needs a value\n"},
        {"checkpassword without a program",
         {"-protocol", "checkpassword"},
         "",
         2,
         "",
         "quillmar: -protocol checkpassword needs the program to run after a login\n"},
        {"line protocol named, any case",
         {"-PROTOCOL", "Line", "-config", "other.ini"},
         "check bob secret\n",
         0,
         qmdir::bob_found[0],
         ""},
        {"-stats reads the file -config names",
         {"-stats", "-config", "none.ini"},
         "",
         1,
         "",
         "quillmar: INI: cannot read {none.ini}: No such file or directory\n"
         "quillmar: no folder given, and no stats_path in the ini file\n"},
        {"-flush follows the file -config names",
         {"-config", "flush.ini", "-FLUSH", "bob"},
         "",
         0,
         "flushed bob from the answer cache of every process (run/flush)\n",
         ""},
        {"config file missing",
         {"-config", "none.ini"},
         "check bob secret\n",
         0,
         "-DEAD: Configuration Problem, please try again later (the ini file none.ini (-config) "
         "cannot be read: No such file or directory)\n",
         "quillmar: the ini file none.ini (-config) cannot be read: No such file or directory\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        qmtest::child_result result = w.run(r.input, r.args);
        EXPECT_EQ(result.exit_code, r.status);
        EXPECT_EQ(result.out, r.out);
        EXPECT_EQ(result.err, r.err);
    }
    EXPECT_FALSE(w.log_has_prefix("ERROR: INI: cannot read {none.ini}"));
    EXPECT_TRUE(std::filesystem::exists(w.env().dir() + "/run/flush"));
}

TEST(CommandLine, CheckKnowsBoth) {
    world w;
    standard_world(w);
    qmtest::child_result r = w.run("", {"-check", "bob", "-config", "other.ini", "-protocol",
                                        "checkpassword", "/usr/bin/env"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "protocol checkpassword\nreading other.ini\nuser bob: found: +OK bob /var/mail/bob 0 "
              "quota=\"100\"\ncheckpassword sets: USER=bob userdb_mail=maildir:/var/mail/bob "
              "userdb_quota_rule=*:storage=100 EXTRA=userdb_mail userdb_quota_rule\nall is well\n");
    r = w.run("", {"-check", "-config", "none.ini", "-protocol", "checkpassword", "/no/program"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("the ini file none.ini (-config) does not exist"), std::string::npos);
    EXPECT_NE(r.out.find("the program /no/program cannot be run"), std::string::npos) << r.out;
}

// Requests with and without channel IDs, escaped names, the client's
// address, lines that are no request; -debug writes nothing between the
// answers.
TEST(SquidProtocol, OverPipes) {
    world w;
    standard_world(w);
    const std::string input =
        "bob secret\n"
        "0 bob secret\n"
        "1 bob wrong\n"
        "2 carl%40example.org c 127.0.0.1\n"
        "3 ann pw 192.168.0.1\n"
        "4 ann pw 10.0.0.1\n"
        "5\n"
        "nonsense\n"
        "6 " +
        std::string(70000, 'x') + " pw\n7 twin a\n";
    qmtest::child_result r = w.run(input, {"-debug", "-config", "other.ini", "-protocol", "squid"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "OK\n0 OK\n1 ERR\n2 OK\n3 ERR\n4 OK\n5 BH message=\"malformed request\"\n"
              "BH message=\"malformed request\"\n6 BH message=\"line too long\"\n7 ERR\n");
    EXPECT_NE(r.err.find("...Checking: User='bob'"), std::string::npos) << "debug lines on stderr";
}

// A database that cannot be reached at start-up: BH for every request, the
// helper stays (squid takes a helper that dies at once for a crash).
TEST(SquidProtocol, DatabaseAbsentAtStart) {
    world w;
    standard_world(w);
    w.env().write_file("broken.ini", std::string(full_ini) + "odbc_driver_name nosuchsource\n");
    qmtest::child_result r =
        w.run("0 bob secret\n1 bob secret\n", {"-config", "broken.ini", "-protocol", "squid"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out,
              "0 BH message=\"the user database cannot answer\"\n"
              "1 BH message=\"the user database cannot answer\"\n");
    EXPECT_NE(r.err.find("-DEAD"), std::string::npos);
}

// Exit statuses and the environment handed to the program (env, which
// shows it), as Dovecot runs the authenticator.
TEST(CheckpasswordProtocol, Logins) {
    world w;
    standard_world(w);
    w.env().write_file("broken.ini", std::string(full_ini) + "odbc_driver_name nosuchsource\n");
    struct row {
        const char* name;
        std::optional<std::string> fd3;
        std::vector<std::pair<std::string, std::string>> env;
        int status;
        std::vector<std::string> shown;
        const char* ini = "other.ini";
        const char* program = "/usr/bin/env";
    };
    const std::vector<row> rows = {
        {"right password",
         "bob\0secret\0"
         "1700000000\0"s,
         {},
         0,
         {"USER=bob\n", "EXTRA="}},
        {"wrong password", "bob\0wrong\0"s, {}, 1, {}},
        {"unknown user", "nobody\0secret\0"s, {}, 1, {}},
        {"empty password", "dan\0\0"s, {}, 1, {}},
        {"address through the mask",
         "ann\0pw\0"s,
         {{"TCPREMOTEIP", "10.0.0.1"}},
         0,
         {"USER=ann\n"}},
        {"address outside the mask", "ann\0pw\0"s, {{"TCPREMOTEIP", "192.168.0.1"}}, 1, {}},
        {"userdb call", "bob\0\0"s, {{"AUTHORIZED", "1"}}, 0, {"AUTHORIZED=2\n", "USER=bob\n"}},
        {"userdb call, unknown user", "nobody\0\0"s, {{"AUTHORIZED", "1"}}, 3, {}},
        {"credentials lookup",
         "bob\0\0"s,
         {{"AUTHORIZED", "1"}, {"CREDENTIALS_LOOKUP", "1"}},
         2,
         {}},
        {"no descriptor 3", std::nullopt, {}, 2, {}},
        {"no NUL after the password", "bob\0secret"s, {}, 2, {}},
        {"more than 512 bytes", "bob\0"s + std::string(600, 'x') + "\0"s, {}, 2, {}},
        {"database absent", "bob\0secret\0"s, {}, 111, {}, "broken.ini"},
        {"program absent", "bob\0secret\0"s, {}, 111, {}, "other.ini", "/no/program"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        qmtest::child_options options =
            w.options({"-config", r.ini, "-protocol", "checkpassword", r.program});
        options.env.insert(options.env.end(), r.env.begin(), r.env.end());
        options.env.emplace_back("HOME", "/root/not/the/user");
        const std::optional<std::string> data = r.fd3;
        options.in_child = [data] {
            ::close(3);
            if (!data) return;
            int p[2];
            if (::pipe(p) != 0 || ::write(p[1], data->data(), data->size()) < 0) ::_exit(125);
            ::close(p[1]);
            if (p[0] != 3) {
                ::dup2(p[0], 3);
                ::close(p[0]);
            }
        };
        qmtest::child_result result = qmtest::run_child(QM_BINARY, "", options);
        EXPECT_EQ(result.exit_code, r.status) << result.err;
        if (r.status != 0) {
            EXPECT_EQ(result.out, "");
        }
        for (const std::string& text : r.shown)
            EXPECT_NE(("\n" + result.out).find("\n" + text), std::string::npos) << result.out;
        if (r.status == 0) {
            EXPECT_EQ(result.out.find("\nHOME="), std::string::npos);
        }
    }
}

}  // namespace
