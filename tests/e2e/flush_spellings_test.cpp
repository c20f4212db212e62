// -flush of a user through the whole program on databases that take other
// spellings of a name for the user's row: SQLite with COLLATE RTRIM on the
// user column, and MariaDB, whose default collation ignores trailing blanks
// and letter case. A login kept under such a spelling must end with the
// flush of the row's own name, as the login under that name does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory_harness.h"

namespace {

using qmdir::db_kind;

class FlushSpellings : public qmdir::database_test {};
INSTANTIATE_TEST_SUITE_P(Db, FlushSpellings, qmdir::both_paths({db_kind::sqlite, db_kind::mariadb}),
                         qmdir::db_label);

TEST_P(FlushSpellings, EveryEntryOfTheRowDropped) {
    qmdir::world w(db());
    const std::string user_column =
        db() == db_kind::sqlite ? "[user] TEXT COLLATE RTRIM" : "[user] VARCHAR(64)";
    w.exec("CREATE TABLE maildb (" + user_column +
           ", pass VARCHAR(64), fwd VARCHAR(64), quota VARCHAR(64), mask VARCHAR(64), [drop] "
           "VARCHAR(64));"
           "INSERT INTO maildb VALUES ('bob@example.org', 'old', NULL, NULL, NULL, NULL)");
    const std::string flush_file = w.env().dir() + "/flush";
    w.write_ini(std::string(qmdir::full_ini) +
                "cache_ttl 600\ncache_negative_ttl 60\ncache_flush_path " + flush_file + "\n");
    // squid's escapes carry the blanks the line protocol would split at.
    std::vector<std::string> spellings = {"bob@example.org", "bob@example.org%20",
                                          "bob@example.org%20%20"};
    if (db() == db_kind::mariadb) spellings.push_back("BOB@Example.org%20");

    qmtest::child_session squid(QM_BINARY, w.options({"-protocol", "squid"}));
    unsigned channel = 0;
    auto answer = [&](const std::string& name, const std::string& password) {
        const std::string id = std::to_string(channel++);
        EXPECT_TRUE(squid.write(id + " " + name + " " + password + "\n"));
        const std::string line = squid.read_line();
        return line.rfind(id + " ", 0) == 0 ? line.substr(id.size() + 1) : "(" + line + ")";
    };
    for (const std::string& name : spellings) EXPECT_EQ(answer(name, "old"), "OK\n") << name;
    w.exec("UPDATE maildb SET pass = 'new' WHERE [user] = 'bob@example.org'");
    // Kept: the old password still answers from the cache under every spelling.
    for (const std::string& name : spellings) EXPECT_EQ(answer(name, "old"), "OK\n") << name;

    qmtest::child_result flush = w.run("", {"-flush", "bob@example.org"});
    ASSERT_EQ(flush.exit_code, 0) << flush.err;
    for (const std::string& name : spellings) {
        EXPECT_EQ(answer(name, "old"), "ERR\n") << name << " after the flush";
        EXPECT_EQ(answer(name, "new"), "OK\n") << name << " after the flush";
    }
    EXPECT_EQ(squid.finish().exit_code, 0);
}

}  // namespace
