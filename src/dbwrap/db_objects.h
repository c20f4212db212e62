// The process's one connection and its one user-table recordset, and what
// the wrapper does with the class layer's errors. Both objects live from
// before main until after it; the recordset is built after the connection
// and so destroyed before it. Only the wrapper sees this header's classes:
// every error of the class layer is caught and logged here, and the layers
// above learn of it from return values.
#pragma once

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
// keeps all of it.
void log_db_exception(const char* where, const CDBException& error);

// The driver's message of an error, on one line; its states or return code
// when it carries no message.
std::string db_error_reason(const CDBException& error);

// Whether an error says that the connection itself is gone (the server
// restarted, the network dropped it): any state of class 08, an
// administrator's shutdown (57P01 to 57P03), or a statement handle refused on
// a connection that was open, which is how a dropped MariaDB link shows first.
bool db_connection_lost(const CDBException& error);

// Closes the connection opened by db_open and opens it again with the same
// connect string (a second time at once when the first try failed within a
// second), logging the attempt as an error. 1 when it is open again,
// 0 when it could not be reopened or was never opened by db_open.
int db_reconnect();
