// The one connection of the process and the two plain functions through
// which the directory opens it at start-up and closes the user-table
// recordset after every query.
#pragma once

#include <optional>
#include <string>

#include "dbwrap/odbc_settings.h"

class CDBException;

// Returns 1 when the connection was opened, 0 otherwise (already open, the
// driver refused, or the class layer raised an error).
int db_open(const odbc_settings_record& settings, const std::optional<std::string>& login,
            const std::optional<std::string>& password);

// Closes the user-table recordset and always leaves its column and
// parameter lists empty, so that a query that failed half-way never
// burdens the next one.
void db_close_row();

// The same without a log line, for a statement that is being thrown away
// (before a reconnection, or the fast path's kept statement): an error
// raised while closing it is of no further use and is swallowed.
void db_discard_row();

// Writes one error line with the state and error texts of an error raised
// by the class layer, the line ends inside it flattened so that the log
// keeps all of it.
void log_db_exception(const char* where, const CDBException& error);

// Whether an error says that the connection itself is gone (the server
// restarted, the network dropped it): any state of class 08, an
// administrator's shutdown (57P01 to 57P03), or a statement handle refused on
// a connection that was open, which is how a dropped MariaDB link shows first.
bool db_connection_lost(const CDBException& error);

// Closes the connection opened by db_open and opens it again with the same
// connect string (a second time at once when the first try failed within a
// second), logging the attempt as an error. 1 when it is open again, 0 when
// it could not be reopened or was never opened by db_open.
int db_reconnect();
