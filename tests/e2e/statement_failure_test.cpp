// A statement that fails under running front ends (the SQLite file replaced
// by one that is no database, the user table renamed on a server): every
// protocol that can say "try again later" says so, as it does for a lost
// connection, and the line protocol answers as it always has. Before the
// failure, and once it is mended, a name without a row stays refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "peer_harness.h"
#include "service_harness.h"

namespace {

using namespace std::string_literals;
using qmdir::world;

QM_ON_EVERY_DATABASE(StatementFailure);

enum class front { line, squid, auth, auth_1_0, socketmap, checkpassword, userdb };

struct row {
    front f;
    std::string request;
    std::string whole;   // the answer while the table is there
    std::string broken;  // the answer while its statement fails
};

// checkpassword's exit status, its program /bin/true (0 once accepted);
// the userdb call when `userdb`.
std::string checkpassword_status(world& w, const std::string& data, bool userdb) {
    qmtest::child_options o =
        w.options({"-config", "service.ini", "-protocol", "checkpassword", "/bin/true"});
    if (userdb) o.env.emplace_back("AUTHORIZED", "1");
    o.in_child = [data] {
        int p[2];
        if (::pipe(p) != 0 || ::write(p[1], data.data(), data.size()) < 0) ::_exit(125);
        ::close(p[1]);
        if (p[0] != 3) {
            ::dup2(p[0], 3);
            ::close(p[0]);
        }
    };
    return std::to_string(qmtest::run_child(QM_BINARY, "", o).exit_code);
}

TEST_P(StatementFailure, TemporaryWhereTheProtocolHasIt) {
    world w(db());
    qmsvc::fill_table(w);
    qmsvc::service s(w, "workers 1\nlog_auth_failures true\n");
    ASSERT_TRUE(s.ready()) << s.log();
    qmtest::child_session line(QM_BINARY, w.options({"-config", "service.ini"}));
    qmtest::child_session squid(QM_BINARY,
                                w.options({"-config", "service.ini", "-protocol", "squid"}));

    const std::string bh = "BH message=\"the user database cannot answer\"\n";
    const std::string temp = "FAIL\t1\tuser=alice\tcode=temp_fail\ttemp";
    const std::string map_temp = "TEMP the user database cannot answer";
    const std::vector<row> rows = {
        {front::line, "check alice wonderland", "+OK alice@example.org alice/\r\n",
         "-ERR alice@example.org password wrong or not a valid user\r\n"},
        {front::line, "lookup nobody", "-ERR nobody@example.org Not Located in database\r\n",
         "-ERR nobody@example.org Not Located in database\r\n"},
        {front::squid, "alice wonderland", "OK\n", bh},
        {front::squid, "nobody wonderland", "ERR\n", bh},
        // A name the database cannot read (PostgreSQL's data exception): no
        // user has it, whatever the database.
        {front::squid, "b%E4d wonderland", "ERR\n", bh},
        {front::auth, "alice wonderland", "OK\t1\tuser=alice@example.org", temp},
        {front::auth, "alice Wonderland", "FAIL\t1\tuser=alice", temp},
        {front::auth_1_0, "alice wonderland", "OK\t1\tuser=alice@example.org", "(closed)"},
        {front::socketmap, "mailbox alice@example.org", "OK alice/", map_temp},
        {front::socketmap, "mailbox nobody@example.org", "NOTFOUND ", map_temp},
        {front::socketmap,
         "mailbox b\xe4"
         "d@example.org",
         "NOTFOUND ", map_temp},
        {front::checkpassword, "alice\0wonderland\0"s, "0", "111"},
        {front::checkpassword, "nobody\0wonderland\0"s, "1", "111"},
        {front::userdb, "alice\0\0"s, "0", "111"},
        {front::userdb, "nobody\0\0"s, "3", "111"},
    };
    auto answer = [&](const row& r) -> std::string {
        const std::size_t blank = r.request.find(' ');
        const std::string first = r.request.substr(0, blank), rest = r.request.substr(blank + 1);
        switch (r.f) {
        case front::line:
            return qmdir::ask(line, r.request).back();
        case front::squid:
            squid.write(r.request + "\n");
            return squid.read_line(std::chrono::seconds(30));
        case front::auth:
        case front::auth_1_0: {
            qmsvc::auth_client c(s.auth_socket(), r.f == front::auth ? "1\t2" : "1\t0");
            c.plain(1, first, rest);
            const std::string got = c.line(std::chrono::seconds(30));
            return got.empty() && c.closed() && c.buffer().empty() ? "(closed)" : got;
        }
        case front::socketmap:
            return qmsvc::map_client(s.map_socket()).ask(r.request);
        case front::checkpassword:
        case front::userdb:
            return checkpassword_status(w, r.request, r.f == front::userdb);
        }
        return "";
    };
    auto walk = [&](const char* phase, bool broken) {
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(phase) + ": " + r.request);
            EXPECT_EQ(answer(r), broken ? r.broken : r.whole) << s.log();
        }
    };

    walk("whole", false);
    // A file published anew is looked for at most ten times a second.
    const auto file_seen = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    const std::string path = db() == qmtest::db_kind::sqlite ? w.env().db_path() : "";
    if (db() == qmtest::db_kind::sqlite) {
        std::filesystem::copy_file(path, path + ".kept");
        std::ofstream(path + ".new") << std::string(4096, 'x');
        std::filesystem::rename(path + ".new", path);
        file_seen();
    } else {
        w.exec("ALTER TABLE maildb RENAME TO gone");
    }
    walk("broken", true);
    EXPECT_NE(s.log().find("reason=database-error"), std::string::npos);
    if (db() == qmtest::db_kind::sqlite) {
        std::filesystem::rename(path + ".kept", path);
        file_seen();
    } else {
        w.exec("ALTER TABLE gone RENAME TO maildb");
    }
    walk("mended", false);
}

}  // namespace

// A value the database cannot read fails that value alone: a password that
// is no number for a numeric column (PostgreSQL's data exception) is a wrong
// password, not a database in trouble, and the others are served.
TEST_P(StatementFailure, ValueTheDatabaseCannotReadIsRefused) {
    world w(db());
    w.exec(
        "CREATE TABLE maildb ([user] VARCHAR(64), pass INTEGER); "
        "INSERT INTO maildb VALUES ('bob', 7)");
    w.write_ini("field_username [user]\nfield_password pass\nodbc_mail_user_table maildb\n");
    qmtest::child_result r = w.run("bob 99SECRET3\nbob 7\nbob 8\n", {"-protocol", "squid"});
    EXPECT_EQ(r.out, "ERR\nOK\nERR\n") << w.log_text();
}
