// The table query: a SELECT taken apart, its columns checked against the
// catalog, the user-table recordset opened on them with the values bound as
// parameters, and the one row found copied into the row store.
#pragma once

#include <string>
#include <vector>

#include "dbwrap/row_values.h"

// 0 on success, 1 when the connection is not open, -1 on every other
// failure (no row, a misspelt column, or an error raised by the class layer).
// The parameters fill the "?" markers of the statement's filter in order;
// no value from a command line is ever part of the statement text.
int db_query(const std::string& statement, const std::vector<std::string>& parameters = {});

// Moves to the first row and copies its values into the row store.
row_value_table& db_store_row();
// The number of rows of the open result; leaves the recordset on its first row.
int db_count_rows();
// Empties the row store.
void db_clear_row();
