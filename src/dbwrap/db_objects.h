// The process's one connection and its one user-table recordset. Both live
// from before main until after it; the recordset is built after the
// connection and so destroyed before it.
#pragma once

#include "dbwrap/crow.h"
#include "odbc/database.h"

extern CDatabase odbc_connection;
extern CRow row_recordset;
