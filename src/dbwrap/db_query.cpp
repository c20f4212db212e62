#include "dbwrap/db_query.h"

#include <chrono>

#include "config/ascii_text.h"
#include "config/globals.h"
#include "config/log.h"
#include "dbwrap/COLUMNST.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_value_text.h"
#include "dbwrap/kept_statement.h"
#include "dbwrap/query_steps.h"
#include "dbwrap/secret_column.h"
#include "odbc/db_variant.h"
#include "stats/counters.h"

namespace {

row_value_table row_values;

kept_statement fast_path;

// Whether the last query failed because the database could not be reached
// in time (db_unavailable).
bool unavailable = false;
// Whether the last query ran and found no row (db_found_no_row).
bool found_no_row = false;
// Whether the last query failed on a value (db_value_failed).
bool value_failed = false;

// The query timeout the user-table statement was given when it was opened,
// 0 when the driver takes none.
unsigned row_timeout = 0;

// Statement texts already split: the directory asks with the same few texts
// at every command, and splitting one again costs more than comparing it.
// Measured (scripts/bench.sh, SQLite, pinned, 10 alternating runs): without
// it the fast path's median check is 0.7 us (about 5%) slower, the default
// check's 1.4 us (about 1.6%).
std::vector<std::pair<std::string, query_parts>> split_texts;

const query_parts& split_once(const std::string& statement) {
    for (const auto& known : split_texts)
        if (known.first == statement) return known.second;
    if (split_texts.size() >= 8) split_texts.clear();
    split_texts.emplace_back(statement, split_query(statement));
    return split_texts.back().second;
}

// Field texts are cut here for the log lines, as they always were.
constexpr std::size_t field_text_limit = 999;

// A name the ini file wrote in brackets, such as [user], reaches the driver
// quoted; the catalog knows it without them. Compared in place: the catalog
// check runs for every catalog row at every command.
bool same_name(const std::string& bracketed, const std::string& b) {
    std::string_view a = bracketed;
    if (a.size() >= 2 && a.front() == '[' && a.back() == ']') a = a.substr(1, a.size() - 2);
    return ascii_equal_ignoring_case(a, b);
}

// The default way: every step at every query, the statement executed by the
// open and again by the requery.
query_outcome query_afresh(const query_parts& parts, const std::vector<std::string>& parameters) {
    if (!columns_in_catalog(parts)) return query_outcome::failed;
    if (!add_columns(parts, parameters)) return query_outcome::failed;
    set_filter(parts);
    debug_log("isopen check");
    if (!row_recordset.IsOpen() && !open_table(parts, -1, CRecordset::none))
        return query_outcome::failed;
    debug_log("restart check");
    if (!row_recordset.AllowsRequery()) {
        error_log("Cannot requery table (%s), as no longer open!\n", parts.table.c_str());
        return query_outcome::failed;
    }
    debug_log("do requery");
    fit_waits_to_deadline();
    if (!row_recordset.Requery()) {
        error_log("Requery of table (%s) failed\n", parts.table.c_str());
        return query_outcome::failed;
    }
    debug_log("Requery success, initial record count = (%d)\n",
              static_cast<int>(row_recordset.RecordsSeen()));
    return read_rows(nullptr);
}

// The query of one command by the way chosen at start-up. An over-long
// value, a cursor the driver refuses or a timeout fails this one command;
// the caller closes the row and serves the next. Any other failure is tried
// once more while the command's deadline allows: on a connection opened
// again when it went away (closed by the server, dropped, or held for dead
// by the driver), on the same one otherwise; a second failure waits for the
// next command. A timed-out query is never run again: a timeout is no
// changed table.
query_outcome run_query(const query_parts& parts, const std::vector<std::string>& parameters) {
    for (int attempt = 0;; ++attempt) {
        try {
            return fast_path.on() ? fast_path.query(parts, parameters)
                                  : query_afresh(parts, parameters);
        } catch (const CDBException& error) {
            fast_path.forget();
            log_db_exception("querying", error, parameters);
            const db_failure failure = db_failure_of(error);
            if (failure == db_failure::statement || failure == db_failure::value) {
                value_failed = failure == db_failure::value;
                return query_outcome::failed;
            }
            if (failure != db_failure::timed_out && attempt == 0 && !command_deadline::passed() &&
                (failure == db_failure::unknown || db_reconnect()))
                continue;
            // Lost or timed out, the database was not reached in time; an
            // unknown failure met twice was the server's answer, so it was.
            if (failure != db_failure::unknown) unavailable = true;
            return query_outcome::failed;
        } catch (...) {
            // A fault of the layer or memory that ran out: a second try
            // would meet it again.
            fast_path.forget();
            log_layer_fault("querying");
            return query_outcome::failed;
        }
    }
}

int edge(query_outcome outcome) {
    switch (outcome) {
    case query_outcome::found:
        return 0;
    case query_outcome::not_open:
        return 1;
    case query_outcome::no_row:
    case query_outcome::failed:
        break;
    }
    return -1;
}

// Copies one row into the row store, name by name.
template <typename Values>
void store(const std::list<std::string>& names, const Values& values) {
    std::size_t entry = 0;
    auto value = values.begin();
    for (auto name = names.begin(); name != names.end() && value != values.end(); ++name, ++value) {
        debug_log("Adding to row result,  column name (%s) and column value (%s)", name->c_str(),
                  db_shown_value(entry, *value).c_str());
        if (entry < row_values.size()) row_values[entry++] = *value;
    }
}

// The table's columns as the catalog lists them, held against a statement.
struct catalog_walk {
    int columns = 0;          // catalog rows for the table
    bool key_seen = false;    // the filter's column is one of them
    long key_size = 0;        // its declared size, as the catalog gives it
    std::vector<bool> found;  // for each name of the select list
};

// False when the catalog could not be opened.
bool walk_catalog(const query_parts& parts, catalog_walk& walk,
                  CDatabase& database = odbc_connection) {
    if (&database == &odbc_connection) fit_waits_to_deadline();
    CColumns columns(&database);
    columns.SetTablePattern(parts.table);
    if (!columns.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly)) return false;
    walk.found.assign(parts.names.size(), false);
    while (!columns.AtEnd()) {
        ++walk.columns;
        if (same_name(parts.key_column, columns.m_strColumnName)) {
            walk.key_seen = true;
            walk.key_size = columns.m_lPrecision;
        }
        bool matched = false;
        for (std::size_t i = 0; i < parts.names.size(); ++i) {
            if (same_name(parts.names[i], columns.m_strColumnName)) {
                walk.found[i] = true;
                matched = true;
                break;
            }
        }
        if (matched)
            debug_log("Found column named (%s)", columns.m_strColumnName.c_str());
        else
            debug_log("Found column named (%s) - not in SELECT query\n",
                      columns.m_strColumnName.c_str());
        columns.MoveNext();
    }
    columns.Close();
    debug_log("columns class now closed");
    return true;
}

}  // namespace

void fit_waits_to_deadline() {
    db_fit_connection_waits();
    const unsigned seconds = command_deadline::left_seconds();
    if (row_timeout != 0 && row_timeout != seconds && row_recordset.HoldsStatement()) {
        row_recordset.SetQueryTimeout(seconds);
        row_timeout = seconds;
    }
}

bool columns_in_catalog(const query_parts& parts) {
    catalog_walk walk;
    if (!walk_catalog(parts, walk)) {
        error_log("connect to table (%s) for column setup failed\n", parts.table.c_str());
        return false;
    }
    const std::vector<bool>& found = walk.found;
    if (walk.columns == 0) {
        error_log("No Columns found in table - probably because table (%s) does not exist \n",
                  parts.table.c_str());
        return false;
    }
    debug_log("Found %d columns\n", walk.columns);
    if (!walk.key_seen) {
        error_log(
            "Table (%s) does not contain column called (%s), modify your ini file username "
            "setting to specify the correct column name \n",
            parts.table.c_str(), parts.key_column.c_str());
        return false;
    }
    bool missing = false;
    for (std::size_t i = 0; i < parts.names.size(); ++i) {
        if (!found[i]) {
            error_log("Column (%s) not found!", parts.names[i].c_str());
            missing = true;
        }
    }
    if (missing) {
        error_log(
            "The columns above that you have specified in the ini file were not found in the "
            "table (%s) - Please remove or correct those settings.",
            parts.table.c_str());
        return false;
    }
    return true;
}

bool add_columns(const query_parts& parts, const std::vector<std::string>& parameters) {
    for (const std::string& name : parts.names) {
        row_recordset.AddColumn(name);
        debug_log("added column name (%s) to row structure\n", name.c_str());
    }
    if (row_recordset.m_nFields != parts.names.size()) {
        error_log("FATAL: select_count (%d) does not match class m_nFields (%d)",
                  static_cast<int>(parts.names.size()), static_cast<int>(row_recordset.m_nFields));
        return false;
    }
    for (const std::string& value : parameters) row_recordset.AddParameter(value);
    return true;
}

void set_filter(const query_parts& parts) {
    row_recordset.SetFilter(parts.has_filter ? parts.filter : std::string());
    if (parts.has_filter)
        debug_log("Requerying table with filter(%s)\n", parts.filter.c_str());
    else
        debug_log("Requerying table with no filter\n");
}

bool open_table(const query_parts& parts, int open_type, std::uint32_t options) {
    debug_log("Opening table (%s)", parts.table.c_str());
    fit_waits_to_deadline();
    row_timeout = odbc_connection.m_dwQueryTimeout == CDatabase::kNoQueryTimeout
                      ? 0
                      : odbc_connection.m_dwQueryTimeout;
    if (!row_recordset.Open(open_type, parts.table.c_str(), options)) {
        error_log("Could not open table (%s)", parts.table.c_str());
        return false;
    }
    return true;
}

query_outcome read_rows(walked_result* walked) {
    short columns = row_recordset.ResultColumnCount();
    debug_log("Row contains %d fields.\n", static_cast<int>(columns));

    int rows = 0;
    CDBVariant value;
    std::string text;
    while (!row_recordset.AtEnd()) {
        if (walked && rows == 0)
            walked->first_row.assign(row_recordset.m_listValues.begin(),
                                     row_recordset.m_listValues.end());
        for (short i = 0; i < columns && (!walked || debug_mode); ++i) {
            row_recordset.GetFieldValue(i, value);
            // The text serves only the debug line; the value is read either way.
            if (debug_mode) {
                db_value_to_text(value, text, field_text_limit);
                debug_log("Field %d value (%s)\n", static_cast<int>(i),
                          db_shown_value(static_cast<std::size_t>(i), text).c_str());
            }
        }
        row_recordset.MoveNext();
        ++rows;
    }
    if (walked) walked->rows = rows;
    if (rows == 0) {
        debug_log("No records found\n");
        return query_outcome::no_row;
    }
    return query_outcome::found;
}

column_report db_check_columns(const std::string& statement, bool at_write_source) {
    column_report report;
    CDatabase* database = &odbc_connection;
    db_dbms dbms = db_dbms::other;
    if (at_write_source) database = db_write_connection(false, dbms);
    const query_parts parts = split_query(statement);
    if (!parts.has_select || !parts.has_table) {
        report.failure = "the statement names no table";
        return report;
    }
    catalog_walk walk;
    try {
        if (!database || !database->IsOpen())
            report.failure = "the connection is not open";
        else if (!walk_catalog(parts, walk, *database))
            report.failure = "the driver did not list the catalog";
    } catch (...) {
        report.failure = layer_fault_text();
    }
    if (!report.failure.empty()) return report;
    report.table_found = walk.columns > 0;
    if (!report.table_found) return report;
    if (walk.key_seen && walk.key_size > 0)
        report.key_size = static_cast<std::size_t>(walk.key_size);
    for (std::size_t i = 0; i < parts.names.size(); ++i)
        if (!walk.found[i]) report.missing.push_back(parts.names[i]);
    bool key_listed = false;
    for (const std::string& name : parts.names) key_listed = key_listed || name == parts.key_column;
    if (!walk.key_seen && !key_listed) report.missing.push_back(parts.key_column);
    return report;
}

std::size_t db_parameter_room() { return CRow::kTextLength; }

row_value_table& db_row_values() { return row_values; }

bool db_unavailable() { return unavailable; }

bool db_found_no_row() { return found_no_row; }

bool db_value_failed() { return value_failed; }

namespace {

int query_once(const std::string& statement, const std::vector<std::string>& parameters) {
    unavailable = false;
    found_no_row = false;
    value_failed = false;
    command_deadline::begin_query();
    fast_path.start_query();
    // A connection lost at an earlier command, or an SQLite file that is no
    // longer the one at the data source's path, is opened again here first.
    const db_file_state file = db_database_file();
    if (file == db_file_state::replaced)
        error_log("Database file (%s) was replaced: opening it again", db_database_path().c_str());
    if (file != db_file_state::same || !odbc_connection.IsOpen()) {
        fast_path.forget();
        if (!db_reconnect()) {
            error_log("FATAL: Database is not yet open.");
            unavailable = true;
            return edge(query_outcome::not_open);
        }
    }
    const query_parts& parts = split_once(statement);
    if (!parts.has_filter) debug_log("no filter for query\n");
    if (!parts.has_table) debug_log("no tablename for query\n");
    if (!parts.has_select) debug_log("no select statement for query\n");
    if (!parts.has_table || !parts.has_select) return edge(query_outcome::failed);

    if (debug_mode) {
        std::string list;
        for (const std::string& name : parts.names) {
            if (!list.empty()) list += ',';
            list += name;
        }
        debug_log("SELECT = (%s), FROM = (%s)\n", list.c_str(), parts.table.c_str());
    }
    const query_outcome outcome = run_query(parts, parameters);
    found_no_row = outcome == query_outcome::no_row;
    return edge(outcome);
}

}  // namespace

int db_query(const std::string& statement, const std::vector<std::string>& parameters) {
    const auto started = std::chrono::steady_clock::now();
    const int result = query_once(statement, parameters);
    count_query(std::chrono::steady_clock::now() - started, result != 0 && !found_no_row);
    return result;
}

void db_set_fast_path(bool on) { fast_path.switch_on(on); }

void db_end_query() {
    // A query that met no error leaves its statement for the next one.
    if (!fast_path.keeps_statement()) db_close_row();
    command_deadline::end_query();
}

void db_release_kept_row() {
    fast_path.drop();
    command_deadline::end_query();
}

row_value_table* db_store_row() {
    if (const walked_result* walked = fast_path.walked()) {
        store(row_recordset.m_listNames, walked->first_row);
        return &row_values;
    }
    try {
        row_recordset.MoveToRow(1);
        store(row_recordset.m_listNames, row_recordset.m_listValues);
        return &row_values;
    } catch (const CDBException& error) {
        log_db_exception("reading the row", error);
        return nullptr;
    } catch (...) {
        log_layer_fault("reading the row");
        return nullptr;
    }
}

int db_count_rows() {
    int count = 0;
    if (const walked_result* walked = fast_path.walked()) {
        count = walked->rows;
    } else {
        try {
            while (!row_recordset.AtEnd()) {
                ++count;
                row_recordset.MoveNext();
            }
            if (count > 0) row_recordset.MoveToRow(1);
        } catch (const CDBException& error) {
            log_db_exception("reading the row", error);
            return -1;
        } catch (...) {
            log_layer_fault("reading the row");
            return -1;
        }
    }
    if (count == 0) error_log("No Rows to store");
    if (count > 1) error_log("More than one Row - non unique result!");
    return count;
}

void db_clear_row() {
    for (std::optional<std::string>& value : row_values) value.reset();
}
