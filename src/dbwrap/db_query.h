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

// Whether the last db_query failed because the database could not be
// reached in time: the connection was lost and could not be opened again
// (db_query answered 1, or -1 after a reconnection that failed), a statement
// timed out or waited out a locked file, the command's deadline passed, or
// the SQLite file is gone. False after a success, and after a failure that is
// the statement's or the data's (no row, a misspelt column, a value too
// long) or a server's that answered twice wrongly. A caller may answer from
// what it knew before only while this is true; db_query's 0, 1 and -1 stay
// as they are.
bool db_unavailable();

// Whether the last db_query failed because its statement ran and matched no
// row: the database's own answer, which a caller may remember, unlike a
// failure of the statement or the server.
bool db_found_no_row();

// Whether the last db_query failed on a value rather than on the database:
// a given one its column's type or encoding cannot read (SQLSTATE class 22),
// or a stored one too long to fetch. That value fails the same way at every
// query while the database answers others, so a caller refuses it; any other
// failure of the statement (a table or column gone, a file that is no
// database) is the database's trouble, which a caller may ask to try again.
bool db_value_failed();

// What the catalog says of the table and the columns a statement names, for
// the configuration check; the table itself is not read.
struct column_report {
    std::string failure;               // why the catalog could not be read; empty when it was
    bool table_found = false;          // the catalog lists a column of the table
    std::vector<std::string> missing;  // the statement's column names the table lacks
    // The declared size of the filter's column (the user name), in the
    // characters the catalog counts; 0 when the catalog did not say.
    std::size_t key_size = 0;
};
// At the write source (write_source.h) when asked, on its open connection.
column_report db_check_columns(const std::string& statement, bool at_write_source = false);

// The longest value, in bytes, a statement's parameter is bound with.
std::size_t db_parameter_room();

// Moves to the first row and copies its values into the row store. Null
// when the class layer raised an error (it is logged).
row_value_table* db_store_row();
// The number of rows of the open result, leaving the recordset on its first
// row; -1 when the class layer raised an error (it is logged).
int db_count_rows();
// Empties the row store.
void db_clear_row();

// The fast path for busy servers (ini key odbc_fast_path): the catalog check
// runs once for each statement shape (select list, table, filter) and again
// after any failure, and the user-table recordset stays open between queries
// of one shape, so that the next query only binds its values and executes
// the prepared statement once. Off, every query is checked, prepared,
// executed and requeried, and the recordset closed after it.
void db_set_fast_path(bool on);

// Ends a command's query: closes the user-table recordset, unless the fast
// path keeps it for the next query.
void db_end_query();

// The end of the session: a recordset the fast path kept is closed.
void db_release_kept_row();
