#include "dbwrap/db_connection.h"

#include <chrono>

#include "config/log.h"
#include "dbwrap/connect_string.h"
#include "dbwrap/db_objects.h"

// Defined together so that their order of construction is fixed.
CDatabase odbc_connection;
CRow row_recordset(&odbc_connection);

namespace {

// What db_open used, kept for reconnecting after the database went away.
struct {
    bool known = false;
    std::string sent, data_source;
} last_connect;

// One log line keeps only what stands before its last line end, so the
// records' line ends become " | " and nothing of them is lost.
std::string one_line(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += " | ";
        } else if (c != '\r') {
            out += c;
        }
    }
    while (out.size() >= 3 && out.compare(out.size() - 3, 3, " | ") == 0) out.erase(out.size() - 3);
    return out;
}

// The layer's own codes carry no driver text, so the log names them.
const char* layer_code_name(SQLRETURN code) {
    switch (code) {
    case DBERR_FORWARD_ONLY:
        return ": forward-only recordset";
    case DBERR_NO_COLUMNS:
        return ": no columns to select";
    case DBERR_KEYSET_UNSUPPORTED:
        return ": keyset cursor not supported";
    case DBERR_STATIC_UNSUPPORTED:
        return ": static cursor not supported";
    case DBERR_API_CONFORMANCE:
        return ": driver API conformance too low";
    case DBERR_SQL_CONFORMANCE:
        return ": driver SQL conformance too low";
    case DBERR_NO_DATA:
        return ": no current row";
    case DBERR_DRIVER_TOO_OLD:
        return ": driver too old";
    case DBERR_DATA_TRUNCATED:
        return ": field data truncated";
    case DBERR_ROW_FETCH:
        return ": error fetching row";
    case DBERR_DYNAMIC_CURSOR_UNSUPPORTED:
        return ": dynamic cursor not supported";
    case DBERR_FIELD_NOT_FOUND:
        return ": field not found";
    default:
        return "";
    }
}

// Why the last db_open failed, for the configuration check.
std::string open_failure;

}  // namespace

std::string db_error_reason(const CDBException& error) {
    if (!error.m_strErrorText.empty()) return one_line(error.m_strErrorText);
    if (!error.m_strStateText.empty()) return one_line(error.m_strStateText);
    return "error code " + std::to_string(error.m_nReturnCode) +
           layer_code_name(error.m_nReturnCode);
}

const std::string& db_open_failure() { return open_failure; }

void log_db_exception(const char* where, const CDBException& error) {
    error_log("Database error while %s (code %d%s) %s %s", where,
              static_cast<int>(error.m_nReturnCode), layer_code_name(error.m_nReturnCode),
              one_line(error.m_strStateText).c_str(), one_line(error.m_strErrorText).c_str());
}

bool db_connection_lost(const CDBException& error) {
    if (error.m_nReturnCode == SQL_INVALID_HANDLE) return true;
    for (const std::string& state : error.m_states) {
        if (state.compare(0, 2, "08") == 0 || state == "57P01" || state == "57P02" ||
            state == "57P03")
            return true;
    }
    return false;
}

int db_open(const odbc_settings_record& settings, const std::optional<std::string>& login,
            const std::optional<std::string>& password) {
    connect_strings connect = build_connect_string(settings.odbc_driver_name, login, password);
    if (odbc_connection.IsOpen()) {
        debug_log("database is already open");
        open_failure = "the connection is already open";
        return 0;
    }
    open_failure = "the driver gave no reason";
    last_connect.known = true;
    last_connect.sent = connect.sent;
    last_connect.data_source = settings.odbc_driver_name.value_or("(null)");
    debug_log("connecting with (%s)\n", connect.shown.c_str());
    bool opened = false;
    try {
        opened = odbc_connection.OpenConnection(connect.sent.c_str(), 0);
    } catch (const CDBException& error) {
        log_db_exception("connecting", error);
        open_failure = db_error_reason(error);
    } catch (const CException&) {
        // Out of memory for the environment: a failed open like any other.
        open_failure = "the ODBC environment could not be allocated";
    }
    if (opened) {
        open_failure.clear();
        debug_log("open success\n");
        return 1;
    }
    error_log("open of database driver (%s) failed\n",
              settings.odbc_driver_name ? settings.odbc_driver_name->c_str() : "(null)");
    return 0;
}

namespace {

// The statement goes whenever one is held, and the lists are emptied even
// when the recordset never opened, so a failed query leaves nothing behind.
void close_held_row() {
    if (row_recordset.HoldsStatement())
        row_recordset.Close();
    else
        row_recordset.RemoveColumns();
}

}  // namespace

void db_close_row() {
    // The recordset is still asked whether it is open, so that an error the
    // driver raises there reaches the log; the answer cannot change what is
    // closed, since only a held statement can be open.
    try {
        row_recordset.IsOpen();
    } catch (const CDBException& error) {
        log_db_exception("closing the row", error);
    }
    close_held_row();
    debug_log("odbc row now closed");
}

void db_discard_row() {
    try {
        close_held_row();
    } catch (const CException&) {
    }
}

int db_reconnect() {
    if (!last_connect.known) return 0;
    error_log("Reconnecting to database driver (%s)", last_connect.data_source.c_str());
    // The recordset leaves the connection's list first: closing the
    // connection would otherwise detach it from the connection for good.
    db_discard_row();
    row_recordset.Reattach(&odbc_connection);
    odbc_connection.Close();
    // A server that is dying as we connect may take the connection and then
    // drop it, and a driver with a list of servers does not go on to the
    // next one then. A failure that quick is tried once more at once, when
    // the dead server refuses and the next one answers; a slow one (a login
    // timeout) is not waited for twice.
    bool opened = false;
    for (int attempt = 0; attempt < 2 && !opened; ++attempt) {
        auto started = std::chrono::steady_clock::now();
        try {
            opened = odbc_connection.OpenConnection(last_connect.sent.c_str(), 0);
        } catch (const CDBException& error) {
            log_db_exception("reconnecting", error);
        } catch (const CException&) {
        }
        if (std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) break;
    }
    if (!opened) {
        error_log("Reconnect to database driver (%s) failed", last_connect.data_source.c_str());
        return 0;
    }
    error_log("Reconnected to database driver (%s)", last_connect.data_source.c_str());
    return 1;
}
