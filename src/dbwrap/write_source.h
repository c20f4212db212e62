// The data source of the one write, the rehash of a stored password, when
// it is not the one that answers the checks (odbc_write_dsn): the checks may
// then be served by standbys or replicas, which refuse writes, while the
// write goes to the primary. Its connection is opened at the first write and
// kept; without a write source the write goes to the main connection.
#pragma once

#include <optional>
#include <string>

// Names the write source and what it is opened with; nothing is connected
// yet. An empty data source leaves the write on the main connection.
void db_set_write_source(const std::optional<std::string>& data_source,
                         const std::optional<std::string>& login,
                         const std::optional<std::string>& password);
// Whether a write source of its own is set, and its name.
bool db_write_source_set();
const std::string& db_write_source_name();

// Opens the write source's connection now when it is not open: 1 when it is
// open, 0 with the driver's reason in db_write_source_failure() otherwise.
int db_open_write_source();
const std::string& db_write_source_failure();

// Ends the write source's connection and forgets the source.
void db_close_write_source();
