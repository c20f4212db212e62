// The process's one connection and its one user-table recordset, and what
// the wrapper does with the class layer's errors. Both objects live from
// before main until after it; the recordset is built after the connection
// and so destroyed before it. Only the wrapper sees this header's classes:
// every error of the class layer is caught and logged here, and the layers
// above learn of it from return values.
#pragma once

#include <string>
#include <vector>

#include "dbwrap/crow.h"
#include "odbc/database.h"

extern CDatabase odbc_connection;
extern CRow row_recordset;

// Closes the user-table recordset without a log line, for a statement that
// is being thrown away (before a reconnection, or the fast path's kept
// statement): an error raised while closing it is of no further use and is
// swallowed.
void db_discard_row();

// Writes one error line with the state and error texts of an error raised
// by the class layer, the line ends inside it flattened so that the log
// keeps all of it. The texts of an error met while values were bound (a
// password among them) are logged with those values hidden.
void log_db_exception(const char* where, const CDBException& error,
                      const std::vector<std::string>& bound = {});

// The class layer throws more than its own errors: a fault of its own
// (std::logic_error, std::out_of_range) or memory that ran out. Called in a
// handler of any exception: one error line saying where it was met. The
// caller fails that one call and retries nothing, and leaves the connection
// and the recordset as a failed statement leaves them, so that the next
// command finds them sane.
void log_layer_fault(const char* where) noexcept;
// What that exception says, on one line.
std::string layer_fault_text();

// A driver's message with the values bound to a statement left out: every
// quoted span, every byte written as 0x.. and each value of four characters
// or more where it stands become "****" (PostgreSQL quotes a bound value, or
// shows its bytes, when it cannot read it as the column's type or encoding).
std::string db_hide_values(const std::string& text, const std::vector<std::string>& values);

// What the database behind the connection is, for the few things that
// differ between them.
enum class db_dbms { other, sqlite, postgres, mariadb };

// How a query failed, as far as the wrapper can tell.
enum class db_failure {
    statement,  // the statement: running it again gives the same (a table or
                // column gone, a syntax the database does not take)
    value,      // a value, given or stored, that the database or the layer
                // cannot carry: the same value fails again, others do not
    timed_out,  // a timeout, a locked file or the deadline: never run again
    lost,       // the connection went away: open it again and run once more
    unknown,    // neither, on a connection that lives (a passing trouble of
                // the server, such as a temporary file it lost): run once more
};
// The judgement by the error alone, its SQLSTATEs and the native codes the
// given database uses; unknown when they say nothing plain.
db_failure db_judge_failure(const CDBException& error, db_dbms dbms);
// The judgement of a query that failed just now: the command's deadline
// first, then the error, then, for what the error leaves open, the driver:
// lost unless it holds the connection for alive.
db_failure db_failure_of(const CDBException& error);

// The driver's message of an error, on one line; its states or return code
// when it carries no message.
std::string db_error_reason(const CDBException& error);

// One connect of a connection with the connect string, within what is left
// of the command's deadline. A failure's reason goes to `failure`, and to the
// log as met `where` unless that is null.
bool db_connect(CDatabase& database, const std::string& connect, const char* where,
                std::string& failure);
// What the database behind an open connection is.
db_dbms db_dbms_of(CDatabase& database);

// The write source's connection (write_source.h), opened when it is not
// open or `reopen` asks for a fresh one, and what database it is; null when
// it cannot be opened now (why in db_write_source_failure()).
CDatabase* db_write_connection(bool reopen, db_dbms& dbms);

// Closes the connection opened by db_open and opens it again with the same
// connect string (a second time at once when the first try failed within a
// second), logging the attempt as an error, all within what is left of the
// command's deadline. 1 when it is open again, 0 when it could not be
// reopened or was never opened by db_open.
int db_reconnect();

// SQLite keeps its file open: a file replaced at the data source's path
// (mv new.db users.db) or removed is not seen by the open connection. The
// path is looked at again when a tenth of a second has passed since the last
// look (at once while the file is known to differ or be gone).
enum class db_file_state { same, replaced, gone };
db_file_state db_database_file();
// The path db_database_file watches, for the log lines about it.
const std::string& db_database_path();

// Fits the waits the connection's statements may make from now on (their
// query timeout, SQLite's wait for a locked file) to what is left of the
// command's deadline.
void db_fit_connection_waits();
