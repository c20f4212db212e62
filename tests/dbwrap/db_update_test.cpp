// The one write of the wrapper against the real SQLite ODBC driver: a value
// written only over the very bytes read, a changed row (in letter case too,
// under a collation that ignores it) told from a written one and from a
// refused statement, and the room of a column for a value written.
#include <gtest/gtest.h>

#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_query.h"
#include "dbwrap/db_update.h"
#include "log_capture.h"
#include "support/odbc_env.h"

namespace {

TEST(WrapperUpdate, WritesOnlyOverTheBytesRead) {
    odbc_env env;
    // A column that compares without letter case, as MariaDB's default
    // collations do.
    env.exec(
        "CREATE TABLE maildb (\"user\" TEXT, pass VARCHAR(20) COLLATE NOCASE);"
        "INSERT INTO maildb VALUES ('bob', 'old'), ('ann', 'Summer24'), ('twin', 'a'), "
        "('twin', 'a');");
    odbc_settings_record settings;
    settings.odbc_driver_name = env.dsn();
    ASSERT_EQ(db_open(settings, {}, {}), 1);
    struct row {
        const char* table;
        const char* key;
        const char* expected;
        update_outcome outcome;
    };
    const row rows[] = {
        {"maildb", "bob", "old", update_outcome::written},
        {"maildb", "bob", "old", update_outcome::no_row},  // changed meanwhile
        // Changed meanwhile in letter case or trailing blanks only.
        {"maildb", "ann", "summer24", update_outcome::no_row},
        {"maildb", "ann", "Summer24 ", update_outcome::no_row},
        {"maildb", "nobody", "old", update_outcome::no_row},
        {"maildb", "twin", "a", update_outcome::no_row},  // not one row
        {"nosuch", "bob", "old", update_outcome::failed},
    };
    {
        log_capture log;
        for (const row& r : rows) {
            value_change change{r.table, "[user]", r.key, "pass", r.expected, "new"};
            EXPECT_EQ(db_replace_value(change), r.outcome) << r.key << " " << r.expected;
        }
        EXPECT_EQ(log.messages().size(), 1u);  // the refused statement's error line
    }
    EXPECT_EQ(env.query("SELECT group_concat(pass, ',') FROM maildb").at(0).at(0),
              "new,Summer24,a,a");

    // The declared size bounds a value, and the bound text does for a column
    // of any length.
    ASSERT_EQ(db_query("SELECT [user],pass FROM maildb WHERE [user]=?", {"bob"}), 0);
    EXPECT_EQ(db_value_room(1), 20u);
    EXPECT_EQ(db_value_room(0), static_cast<std::size_t>(CRow::kTextLength));
    db_close_row();
    odbc_connection.Close();
}

}  // namespace
