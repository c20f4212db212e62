// Writing a value back into the user table: one statement without a result
// (an UPDATE), its values bound, executed once on the process's connection.
// The directory uses it to store a password made again in a stronger scheme.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class update_outcome {
    written,  // at least one row changed
    no_row,   // the statement ran and its condition matched nothing
    failed,   // the database refused it (logged), or there is no connection
};

// The parameters fill the "?" markers in order; bracketed names are sent
// with the driver's identifier quotes. A failure is not retried: a lost
// connection is opened again by the next query.
update_outcome db_update(const std::string& statement, const std::vector<std::string>& parameters);

// The longest value the column at this position of the open user-table
// recordset takes and gives back whole: the text the recordset binds, or
// less when the column's declared size is smaller. Read it while the query
// that found the row is still open; without one only the first is known.
std::size_t db_value_room(std::size_t position);
