// The steps of the table query that both of its ways take: the default way
// (every step at every query) and the fast path's kept statement. The
// wrapper's own view of how a query ended lives here too; db_query turns it
// into 0, 1 or -1 at its edge.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dbwrap/query_text.h"

enum class query_outcome {
    found,     // at least one row
    no_row,    // the statement ran and found nothing
    failed,    // a setting, the catalog or the class layer stopped it
    not_open,  // no connection, and none could be opened again
};

// The first row and the row count of a result walked once, for a cursor
// that cannot scroll back to them.
struct walked_result {
    std::vector<std::string> first_row;
    int rows = 0;
};

// Before each step: the waits of the statements to come (their query
// timeout, SQLite's wait for a locked file), and the query timeout of the
// open user-table statement, are fitted to what is left of the command's
// deadline.
void fit_waits_to_deadline();

// Every configured column is looked for in the catalog before the user table
// is read, so that a misspelt name in the ini file is reported by name.
bool columns_in_catalog(const query_parts& parts);

// Adds the statement's columns and the parameter values to the closed
// user-table recordset.
bool add_columns(const query_parts& parts, const std::vector<std::string>& parameters);
// The statement's condition goes to the recordset as its WHERE text.
void set_filter(const query_parts& parts);

// Opens the user-table recordset on the table with the columns added.
bool open_table(const query_parts& parts, int open_type, std::uint32_t options);

// Reads every field of every row for the debug lines. With `walked` the
// bound columns already hold each row: its first row and the count are
// kept there, and the fields are read again only in debug mode.
query_outcome read_rows(walked_result* walked);
