// Writing a value back into the user table: one column of one row, written
// only while it still holds the very bytes the caller read, on the
// process's connection. The directory uses it to store a password made
// again in a stronger scheme.
#pragma once

#include <cstddef>
#include <string>

enum class update_outcome {
    written,  // the row changed
    no_row,   // no row, more than one, or a column that no longer holds the bytes read
    failed,   // the database refused it (logged), or there is no connection
};

// The row whose key column equals the key (as the database compares), the
// column, the bytes it must still hold and the value to write. Bracketed
// names are sent with the driver's identifier quotes.
struct value_change {
    std::string table, key_column, key;
    std::string column, expected, value;
};

// Writes the value when exactly one row matches and its column holds the
// expected bytes exactly: a value that differs only in letter case or
// trailing blanks, which a database's collation may call equal, is left
// alone. On the main connection a failure is not retried: a lost connection
// is opened again by the next query. A write source of its own
// (write_source.h) takes the write instead, and is opened again for it.
update_outcome db_replace_value(const value_change& change);

// The longest value the column at this position of the open user-table
// recordset takes and gives back whole: the text the recordset binds, or
// less when the column's declared size is smaller. Read it while the query
// that found the row is still open; without one only the first is known.
std::size_t db_value_room(std::size_t position);
