// The one connection of the process and the two plain functions through
// which the directory opens it at start-up and closes the user-table
// recordset after every query.
#pragma once

#include <optional>
#include <string>

#include "dbwrap/odbc_settings.h"

// Returns 1 when the connection was opened, 0 otherwise (already open, the
// driver refused, or the class layer raised an error).
int db_open(const odbc_settings_record& settings, const std::optional<std::string>& login,
            const std::optional<std::string>& password);

// Ends the connection, its statements closed first; db_open may open it
// again. Nothing happens when it is not open.
void db_close();

// Why the last db_open failed, in the driver's own words where it gave any;
// empty after a success.
const std::string& db_open_failure();

// Closes the user-table recordset and always leaves its column and
// parameter lists empty, so that a query that failed half-way never
// burdens the next one.
void db_close_row();
