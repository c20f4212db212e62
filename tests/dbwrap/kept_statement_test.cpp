// The fast path's kept statement against the real SQLite driver: which
// queries list the catalog and prepare, and that a failure or a lost
// connection sends the next query the whole way again.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_query.h"
#include "log_capture.h"
#include "odbc/call_counter.h"
#include "support/odbc_env.h"

namespace {

// A query as the directory makes one: the row read and counted, the query
// ended. An empty statement stands for closing the connection under it.
struct step {
    std::string statement;
    std::vector<std::string> parameters;
    int result;
    std::string sql_before = "";  // run on the database file first
};

struct scenario {
    const char* name;
    std::vector<step> steps;
    int catalog_listings, prepares;
    std::vector<std::string> expected_lines;
};

const std::string check = "SELECT user,pass FROM maildb WHERE user=? AND pass=?";
const std::string lookup = "SELECT user,pass FROM maildb WHERE user=?";

std::string select_of(const std::string& list) {
    return "SELECT " + list + " FROM maildb WHERE user=?";
}

// Nine select lists on the same table: one shape more than are remembered.
const std::vector<std::string> nine_lists = {
    "user",           "user,pass",           "user,fwd",
    "user,quota",     "user,pass,fwd",       "user,pass,quota",
    "user,fwd,quota", "user,pass,fwd,quota", "user,quota,fwd"};

std::vector<step> shapes(std::size_t count) {
    std::vector<step> steps;
    for (std::size_t i = 0; i < count; ++i) steps.push_back({select_of(nine_lists[i]), {"bob"}, 0});
    steps.push_back({select_of(nine_lists[0]), {"bob"}, 0});
    return steps;
}

class kept_statement_test : public ::testing::Test {
protected:
    void SetUp() override {
        env_.exec(
            "CREATE TABLE maildb (user TEXT, pass TEXT, fwd TEXT, quota TEXT);"
            "INSERT INTO maildb VALUES ('bob', 'secret', '', '100');"
            "INSERT INTO maildb VALUES ('ann', 'pw', '', '');");
        settings_.odbc_driver_name = env_.dsn();
        ASSERT_EQ(db_open(settings_, {}, {}), 1);
        db_set_fast_path(true);
    }
    void TearDown() override {
        db_release_kept_row();
        db_set_fast_path(false);
        db_close_row();
        odbc_connection.Close();
    }

    int ask(const step& s) {
        if (!s.sql_before.empty()) env_.exec(s.sql_before);
        if (s.statement.empty()) {
            odbc_connection.Close();
            return 0;
        }
        int result = db_query(s.statement, s.parameters);
        if (result == 0) {
            EXPECT_NE(db_store_row(), nullptr);
            EXPECT_EQ(db_count_rows(), 1);
            EXPECT_EQ(db_row_values()[0], s.parameters[0]);
        }
        db_clear_row();
        db_end_query();
        return result;
    }

    odbc_env env_;
    odbc_settings_record settings_;
};

TEST_F(kept_statement_test, CatalogAndPrepareOnlyWhenTheShapeIsNew) {
    const scenario scenarios[] = {
        {"checks and a lookup between them",
         {{check, {"bob", "secret"}, 0},
          {check, {"ann", "pw"}, 0},
          {check, {"nobody", "x"}, -1},  // no row: the statement stays
          {lookup, {"bob"}, 0},
          {check, {"bob", "secret"}, 0}},
         2,
         3,
         {}},
        {"eight shapes are remembered", shapes(8), 8, 9, {}},
        {"a ninth empties the list", shapes(9), 10, 10, {}},
        {"a table changed under the kept statement",
         {{check, {"bob", "secret"}, 0},
          {check, {"ann", "pw"}, -1, "ALTER TABLE maildb RENAME COLUMN pass TO pw"},
          {check, {"ann", "pw"}, 0, "ALTER TABLE maildb RENAME COLUMN pw TO pass"}},
         3,
         2,
         {"Kept statement failed, querying afresh", "ERROR: Column (pass) not found!"}},
        {"a connection closed under it",
         {{check, {"bob", "secret"}, 0}, {"", {}, 0}, {check, {"ann", "pw"}, 0}},
         2,
         2,
         {"ERROR: Reconnecting to database driver (" + env_.dsn() + ")"}},
    };
    for (const scenario& sc : scenarios) {
        SCOPED_TRACE(sc.name);
        db_release_kept_row();
        db_set_fast_path(true);
        log_capture log;
        call_counter calls;
        std::vector<int> results, expected;
        for (const step& s : sc.steps) {
            results.push_back(ask(s));
            expected.push_back(s.result);
        }
        EXPECT_EQ(results, expected);
        std::vector<std::string> lines = log.messages();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "columns class now closed"),
                  sc.catalog_listings);
        EXPECT_EQ(calls["SQLPrepare"], sc.prepares);
        for (const std::string& line : sc.expected_lines)
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
}

}  // namespace
