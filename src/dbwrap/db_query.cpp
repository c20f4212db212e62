#include "dbwrap/db_query.h"

#include "config/ascii_text.h"
#include "config/log.h"
#include "dbwrap/COLUMNST.h"
#include "dbwrap/db_connection.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/db_value_text.h"
#include "frontend/front_end.h"
#include "odbc/db_variant.h"

namespace {

row_value_table row_values;

// A statement shape: what the catalog check and the prepared statement
// depend on. The values bound to its markers are not part of it.
struct query_shape {
    bool has_filter = false;
    std::vector<std::string> names;
    std::string table, filter;

    bool matches(const query_parts& parts) const {
        return parts.has_filter == has_filter && parts.table == table && parts.filter == filter &&
               parts.names == names;
    }
};

// What the fast path remembers between queries: the shapes whose columns
// the catalog confirmed (check and lookup take turns, so there are two), and
// whether the recordset still holds the prepared statement of kept_shape,
// sound for another execution.
//
// The fast path's recordset is forward-only: a scrollable cursor makes
// psqlODBC put the values into the statement text and send it whole each
// time, where a forward-only one keeps a prepared statement on the server.
// So the result is walked once, and the first row and the row count are
// kept for the row store instead of scrolling back.
struct {
    bool on = false;
    std::vector<query_shape> checked;
    bool kept = false;
    query_shape kept_shape;
    bool walked = false;
    int rows = 0;
    std::vector<std::string> first_row;
} fast;

// Statement texts already split: the directory asks with the same few texts
// at every command, and splitting one again costs more than comparing it.
std::vector<std::pair<std::string, query_parts>> split_texts;

const query_parts& split_once(const std::string& statement) {
    for (const auto& known : split_texts)
        if (known.first == statement) return known.second;
    if (split_texts.size() >= 8) split_texts.clear();
    split_texts.emplace_back(statement, split_query(statement));
    return split_texts.back().second;
}

query_shape shape_of(const query_parts& parts) {
    return query_shape{parts.has_filter, parts.names, parts.table, parts.filter};
}

bool shape_checked(const query_parts& parts) {
    for (const query_shape& shape : fast.checked)
        if (shape.matches(parts)) return true;
    return false;
}

// After any failure the next query is checked and prepared afresh.
void forget_fast_state() {
    fast.checked.clear();
    fast.kept = false;
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

// Every configured column is looked for in the catalog before the user table
// is read, so that a misspelt name in the ini file is reported by name.
int check_columns(const query_parts& parts) {
    CColumns columns(&odbc_connection);
    columns.m_strTablePattern = parts.table;
    if (!columns.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly)) {
        error_log("connect to table (%s) for column setup failed\n", parts.table.c_str());
        return -1;
    }
    std::vector<bool> found(parts.names.size(), false);
    bool key_seen = false;
    int count = 0;
    while (!columns.AtEnd()) {
        ++count;
        if (same_name(parts.key_column, columns.m_strColumnName)) key_seen = true;
        bool matched = false;
        for (std::size_t i = 0; i < parts.names.size(); ++i) {
            if (same_name(parts.names[i], columns.m_strColumnName)) {
                found[i] = true;
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

    if (count == 0) {
        error_log("No Columns found in table - probably because table (%s) does not exist \n",
                  parts.table.c_str());
        return -1;
    }
    debug_log("Found %d columns\n", count);
    if (!key_seen) {
        error_log(
            "Table (%s) does not contain column called (%s), modify your ini file username "
            "setting to specify the correct column name \n",
            parts.table.c_str(), parts.key_column.c_str());
        return -1;
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
        return -1;
    }
    return 0;
}

// Walks the result: each field is read, as the row store will read it.
int read_rows() {
    short columns = row_recordset.ResultColumnCount();
    debug_log("Row contains %d fields.\n", static_cast<int>(columns));

    int rows = 0;
    CDBVariant value;
    std::string text;
    if (fast.on) {
        fast.walked = true;
        fast.rows = 0;
    }
    while (!row_recordset.AtEnd()) {
        if (fast.on && rows == 0)
            fast.first_row.assign(row_recordset.m_listValues.begin(),
                                  row_recordset.m_listValues.end());
        // The bound columns already hold the row; the fast path reads each
        // field again only for the debug lines.
        for (short i = 0; i < columns && (!fast.on || debug_mode); ++i) {
            row_recordset.GetFieldValue(i, value);
            // The text serves only the debug line; the value is read either way.
            if (debug_mode) {
                db_value_to_text(value, text, field_text_limit);
                debug_log("Field %d value (%s)\n", static_cast<int>(i), text.c_str());
            }
        }
        row_recordset.MoveNext();
        ++rows;
    }
    if (fast.on) fast.rows = rows;
    if (rows == 0) {
        debug_log("No records found\n");
        return -1;
    }
    return 0;
}

// The statement's condition goes to the recordset as its WHERE text.
void set_filter(const query_parts& parts) {
    row_recordset.m_strWhere = parts.has_filter ? parts.filter : std::string();
    if (parts.has_filter)
        debug_log("Requerying table with filter(%s)\n", parts.filter.c_str());
    else
        debug_log("Requerying table with no filter\n");
}

int run_query(const query_parts& parts, const std::vector<std::string>& parameters) {
    if (fast.on && shape_checked(parts)) {
        // The catalog confirmed these columns at an earlier query.
    } else {
        if (check_columns(parts) != 0) return -1;
        // A program whose statements are built afresh from settings never
        // has more than a few shapes; the list stays short regardless.
        if (fast.on) {
            if (fast.checked.size() >= 8) fast.checked.clear();
            fast.checked.push_back(shape_of(parts));
        }
    }

    for (const std::string& name : parts.names) {
        row_recordset.AddColumn(name);
        debug_log("added column name (%s) to row structure\n", name.c_str());
    }
    if (row_recordset.m_nFields != parts.names.size()) {
        error_log("FATAL: select_count (%d) does not match class m_nFields (%d)",
                  static_cast<int>(parts.names.size()), static_cast<int>(row_recordset.m_nFields));
        return -1;
    }
    for (const std::string& value : parameters) row_recordset.AddParameter(value);

    set_filter(parts);

    debug_log("isopen check");
    if (!row_recordset.IsOpen()) {
        debug_log("Opening table (%s)", parts.table.c_str());
        // The authenticator never writes through the recordset: the fast
        // path opens it read-only (no row versions for psqlODBC to fetch) and
        // forward-only (see the note on its state above).
        const int open_type = fast.on ? static_cast<int>(CRecordset::forwardOnly) : -1;
        const std::uint32_t options = fast.on ? CRecordset::readOnly : CRecordset::none;
        if (!row_recordset.Open(open_type, parts.table.c_str(), options)) {
            error_log("Could not open table (%s)", parts.table.c_str());
            return -1;
        }
        // The open has executed the statement with these very values; the
        // fast path does not execute it a second time.
        if (fast.on) {
            fast.kept = true;
            fast.kept_shape = shape_of(parts);
            return read_rows();
        }
    }
    debug_log("restart check");
    if (!row_recordset.AllowsRequery()) {
        error_log("Cannot requery table (%s), as no longer open!\n", parts.table.c_str());
        return -1;
    }
    debug_log("do requery");
    if (!row_recordset.Requery()) {
        error_log("Requery of table (%s) failed\n", parts.table.c_str());
        return -1;
    }
    debug_log("Requery success, initial record count = (%d)\n",
              static_cast<int>(row_recordset.RecordsSeen()));
    return read_rows();
}

// The fast path's query on the recordset kept open from the last query of
// the same shape: the new values go into the bound parameters in place and
// the prepared statement is executed once; the columns stay bound.
int run_kept_query(const query_parts& parts, const std::vector<std::string>& parameters) {
    auto param = row_recordset.m_listParams.begin();
    for (const std::string& value : parameters) *param++ = value;
    set_filter(parts);
    debug_log("isopen check");
    if (!row_recordset.IsOpen()) return -2;
    debug_log("restart check");
    if (!row_recordset.AllowsRequery()) return -2;
    debug_log("do requery");
    if (!row_recordset.Requery()) return -2;
    debug_log("Requery success, initial record count = (%d)\n",
              static_cast<int>(row_recordset.RecordsSeen()));
    return read_rows();
}

// A kept recordset goes without a log line: closing it is the fast path's
// own housekeeping, not a step of the query.
void drop_kept_row() {
    fast.kept = false;
    db_discard_row();
}

}  // namespace

row_value_table& db_row_values() { return row_values; }

int db_query(const std::string& statement, const std::vector<std::string>& parameters) {
    // A connection lost at an earlier command is opened again here first.
    if (!odbc_connection.IsOpen()) forget_fast_state();
    if (!odbc_connection.IsOpen() && !db_reconnect()) {
        error_log("FATAL: Database is not yet open.");
        return 1;
    }
    fast.walked = false;
    const query_parts& parts = split_once(statement);
    if (!parts.has_filter) debug_log("no filter for query\n");
    if (!parts.has_table) debug_log("no tablename for query\n");
    if (!parts.has_select) debug_log("no select statement for query\n");
    if (!parts.has_table || !parts.has_select) return -1;

    if (debug_mode) {
        std::string list;
        for (const std::string& name : parts.names) {
            if (!list.empty()) list += ',';
            list += name;
        }
        debug_log("SELECT = (%s), FROM = (%s)\n", list.c_str(), parts.table.c_str());
    }

    if (fast.kept) {
        if (fast.kept_shape.matches(parts) && row_recordset.m_hstmt != SQL_NULL_HSTMT &&
            row_recordset.m_listParams.size() == parameters.size()) {
            // Whatever goes wrong on the kept statement (the table changed
            // under it, the connection went away) is not reported from here:
            // the query runs afresh below, catalog check included, so that
            // the answer and the error lines are those of a fresh query.
            try {
                int result = run_kept_query(parts, parameters);
                if (result != -2) return result;
            } catch (const CDBException&) {
            }
            debug_log("Kept statement failed, querying afresh");
            forget_fast_state();
            drop_kept_row();
        } else {
            fast.kept = false;
            db_close_row();
        }
    }

    // A dropped connection, an over-long value or a cursor the driver refuses
    // fails this one command; the caller closes the row and serves the next.
    // A connection that went away is opened again and the query run once
    // more; a second failure waits for the next command.
    for (int attempt = 0;; ++attempt) {
        try {
            int result = run_query(parts, parameters);
            if (result != 0 && !fast.kept) forget_fast_state();
            return result;
        } catch (const CDBException& error) {
            forget_fast_state();
            log_db_exception("querying", error);
            if (attempt > 0 || !db_connection_lost(error) || !db_reconnect()) return -1;
        }
    }
}

void db_set_fast_path(bool on) {
    fast.on = on;
    forget_fast_state();
}

void db_end_query(bool failed) {
    if (failed) forget_fast_state();
    // A query that met no error leaves its statement for the next one.
    if (fast.on && fast.kept && row_recordset.m_hstmt != SQL_NULL_HSTMT) return;
    fast.kept = false;
    db_close_row();
}

void db_release_kept_row() {
    if (fast.kept) drop_kept_row();
    forget_fast_state();
}

row_value_table& db_store_row() {
    if (fast.walked) {
        auto kept_value = fast.first_row.begin();
        std::size_t entry = 0;
        for (auto name = row_recordset.m_listNames.begin();
             name != row_recordset.m_listNames.end() && kept_value != fast.first_row.end();
             ++name, ++kept_value) {
            debug_log("Adding to row result,  column name (%s) and column value (%s)",
                      name->c_str(), kept_value->c_str());
            if (entry < row_values.size()) row_values[entry++] = *kept_value;
        }
        return row_values;
    }
    row_recordset.MoveToRow(1);
    auto value = row_recordset.m_listValues.begin();
    std::size_t entry = 0;
    for (auto name = row_recordset.m_listNames.begin(); name != row_recordset.m_listNames.end();
         ++name, ++value) {
        debug_log("Adding to row result,  column name (%s) and column value (%s)", name->c_str(),
                  value->c_str());
        if (entry < row_values.size()) row_values[entry++] = *value;
    }
    return row_values;
}

int db_count_rows() {
    int count = 0;
    if (fast.walked) {
        count = fast.rows;
    } else {
        while (!row_recordset.AtEnd()) {
            ++count;
            row_recordset.MoveNext();
        }
    }
    if (count == 0)
        error_log("No Rows to store");
    else if (!fast.walked)
        row_recordset.MoveToRow(1);
    if (count > 1) error_log("More than one Row - non unique result!");
    return count;
}

void db_clear_row() {
    for (std::optional<std::string>& value : row_values) value.reset();
}
