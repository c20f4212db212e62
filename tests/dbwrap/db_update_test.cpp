// The one write of the wrapper against the real SQLite ODBC driver: a bound
// UPDATE that tells a changed row from a condition that matched nothing and
// from a refused statement, and the room of a column for a value written.
#include <gtest/gtest.h>

#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_query.h"
#include "dbwrap/db_update.h"
#include "log_capture.h"
#include "support/odbc_env.h"

namespace {

TEST(WrapperUpdate, OutcomesAndColumnRoom) {
    odbc_env env;
    env.exec(
        "CREATE TABLE maildb (\"user\" TEXT, pass VARCHAR(20));"
        "INSERT INTO maildb VALUES ('bob', 'old');");
    odbc_settings_record settings;
    settings.odbc_driver_name = env.dsn();
    ASSERT_EQ(db_open(settings, {}, {}), 1);
    const std::string update = "UPDATE maildb SET pass=? WHERE [user]=? AND pass=?";
    struct row {
        std::string statement;
        std::vector<std::string> values;
        update_outcome outcome;
    };
    const row rows[] = {
        {update, {"new", "bob", "old"}, update_outcome::written},
        {update, {"newer", "bob", "old"}, update_outcome::no_row},  // changed meanwhile
        {update, {"x", "nobody", "new"}, update_outcome::no_row},
        {"UPDATE nosuch SET pass=? WHERE [user]=?", {"x", "bob"}, update_outcome::failed},
    };
    {
        log_capture log;
        for (const row& r : rows)
            EXPECT_EQ(db_update(r.statement, r.values), r.outcome) << r.values[0];
        EXPECT_EQ(log.messages().size(), 1u);  // the refused statement's error line
    }
    EXPECT_EQ(env.query("SELECT pass FROM maildb").at(0).at(0), "new");

    // The declared size bounds a value, and the bound text does for a column
    // of any length.
    ASSERT_EQ(db_query("SELECT [user],pass FROM maildb WHERE [user]=?", {"bob"}), 0);
    EXPECT_EQ(db_value_room(1), 20u);
    EXPECT_EQ(db_value_room(0), static_cast<std::size_t>(CRow::kTextLength));
    db_close_row();
    odbc_connection.Close();
}

}  // namespace
