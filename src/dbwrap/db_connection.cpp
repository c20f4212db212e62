#include "dbwrap/db_connection.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "config/log.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/connect_string.h"
#include "dbwrap/db_objects.h"
#include "odbc/data_source.h"
#include "stats/counters.h"

// Defined together so that their order of construction is fixed.
CDatabase odbc_connection;
CRow row_recordset(&odbc_connection);

namespace {

// Why the last db_open failed, for the configuration check.
std::string open_failure;

// What db_open used, kept for reconnecting after the database went away.
struct {
    bool known = false;
    std::string sent, data_source;
} last_connect;

// A file as the file system knows it, whatever its name.
struct file_id {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_id& o) const { return device == o.device && inode == o.inode; }
};

bool identify(const std::string& path, file_id& id) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// What the open connection is, learnt when it was opened.
struct {
    db_dbms dbms = db_dbms::other;
    // SQLite: the data source's file and the file it was when opened; empty
    // for a database that is no file (":memory:").
    std::string file;
    file_id opened;
    bool opened_known = false;
    // When the file at the path was last compared with the one opened.
    std::chrono::steady_clock::time_point looked_at;
    // SQLite's busy wait as last set, in milliseconds; -1 before the first.
    long step_wait_ms = -1;
} facts;

db_dbms dbms_named(const std::string& name) {
    if (name == "SQLite") return db_dbms::sqlite;
    if (name == "PostgreSQL") return db_dbms::postgres;
    if (name.compare(0, 7, "MariaDB") == 0 || name.compare(0, 5, "MySQL") == 0)
        return db_dbms::mariadb;
    return db_dbms::other;
}

// SQLite's driver takes no query timeout. A statement it cannot run for a
// locked file is tried twice, each try waiting as long as SQLite's own busy
// wait, and tried again until the data source's Timeout (100 s unless set)
// has passed, which cannot change once connected; the catalog is read with
// one wait. So the driver's Timeout is made as short as can be (the
// connect-string piece overrides the data source's), and SQLite's busy wait
// is fitted to half of what is left of the command's deadline before each
// step. NoCreat keeps the driver from making an empty file where none
// stands (a path mistyped, a file not yet published): that would refuse
// every user as unknown, where a failed connect says what is wrong.
const char* const sqlite_wait_piece = "Timeout=1;NoCreat=1;";

// Whether a driver library is SQLite's (libsqlite3odbc.so, libsqliteodbc.so),
// by its file name.
bool sqlite_library(const std::string& library) {
    std::string name = library.substr(library.rfind('/') + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name.find("sqlite") != std::string::npos;
}

// Called right after a connection opened. `before` is the file at the
// path just before the connect, when the path was known: a file replaced
// while the driver opened it is not taken for the one it opened.
void learn_connection(const file_id* before) {
    facts.dbms = dbms_named(odbc_connection.GetInfoText(SQL_DBMS_NAME));
    if (facts.dbms != db_dbms::sqlite) {
        facts.file.clear();
        return;
    }
    facts.step_wait_ms = -1;
    db_fit_connection_waits();
    std::string path = odbc_connection.GetInfoText(SQL_DATABASE_NAME);
    file_id now;
    if (!identify(path, now)) {
        facts.file.clear();
        return;
    }
    facts.file = path;
    facts.opened = now;
    facts.opened_known = !before || *before == now;
    facts.looked_at = std::chrono::steady_clock::now();
}

// No window system: a driver allowed to prompt for what a failed connect
// lacks (MariaDB's) reports that its dialog failed (IM008) instead of why
// the connect failed.
constexpr std::uint32_t connect_options = CDatabase::optNoPrompt;

// One connect; the class layer's error is logged as met `where`. Unless
// told otherwise, what the new connection is is learnt (`before` as for
// learn_connection).
bool connect_with(const std::string& connect, const char* where, const file_id* before,
                  bool learn = true) {
    const bool opened = db_connect(odbc_connection, connect, where, open_failure);
    if (opened && learn) learn_connection(before);
    return opened;
}

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

}  // namespace

bool db_connect(CDatabase& database, const std::string& connect, const char* where,
                std::string& failure) {
    // A second short of what is left: a driver with a list of servers (libpq
    // applies the login timeout to each) then still has time for the next
    // one after a first that never answers.
    database.SetLoginTimeout(command_deadline::left_seconds(1000));
    try {
        if (database.OpenConnection(connect.c_str(), connect_options)) return true;
        failure = "the driver gave no reason";
    } catch (const CDBException& error) {
        if (where) log_db_exception(where, error);
        failure = db_error_reason(error);
    } catch (const CException&) {
        // Out of memory for the environment: a failed open like any other.
        failure = "the ODBC environment could not be allocated";
    } catch (...) {
        if (where) log_layer_fault(where);
        failure = layer_fault_text();
    }
    return false;
}

db_dbms db_dbms_of(CDatabase& database) {
    try {
        return dbms_named(database.GetInfoText(SQL_DBMS_NAME));
    } catch (...) {
        return db_dbms::other;
    }
}

std::string db_error_reason(const CDBException& error) {
    if (!error.m_strErrorText.empty()) return one_line(error.m_strErrorText);
    if (!error.m_strStateText.empty()) return one_line(error.m_strStateText);
    return "error code " + std::to_string(error.m_nReturnCode) +
           layer_code_name(error.m_nReturnCode);
}

const std::string& db_open_failure() { return open_failure; }

std::string db_hide_values(const std::string& text, const std::vector<std::string>& values) {
    static const char* const hidden = "****";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        std::size_t value_length = 0;
        // Shorter values would hide letters of every word; a driver quotes
        // a value it shows, and the quotes are hidden below whatever their
        // length.
        for (const std::string& value : values)
            if (value.size() >= 4 && value.size() > value_length &&
                text.compare(i, value.size(), value) == 0)
                value_length = value.size();
        if (value_length > 0) {
            out += hidden;
            i += value_length;
        } else if (c == '"' || c == '\'') {
            // A span cut by the message's length has no closing quote; it
            // is hidden to the end all the same.
            std::size_t close = text.find(c, i + 1);
            out += c;
            out += hidden;
            if (close == std::string::npos) break;
            out += c;
            i = close + 1;
        } else if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
                   (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1])))) {
            out += "0x";
            out += hidden;
            i += 2;
            while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

void log_db_exception(const char* where, const CDBException& error,
                      const std::vector<std::string>& bound) {
    std::string text = one_line(error.m_strErrorText);
    if (!bound.empty()) text = db_hide_values(text, bound);
    error_log("Database error while %s (code %d%s) %s %s", where,
              static_cast<int>(error.m_nReturnCode), layer_code_name(error.m_nReturnCode),
              one_line(error.m_strStateText).c_str(), text.c_str());
}

std::string layer_fault_text() {
    try {
        throw;
    } catch (const CDBException& error) {
        return db_error_reason(error);
    } catch (const std::exception& error) {
        return one_line(error.what());
    } catch (...) {
        return "an exception of unknown type";
    }
}

void log_layer_fault(const char* where) noexcept {
    try {
        error_log("Internal error of the database layer while %s: %s", where,
                  layer_fault_text().c_str());
    } catch (...) {
        // Memory ran out for the line: the call fails all the same.
    }
}

db_failure db_judge_failure(const CDBException& error, db_dbms dbms) {
    if (error.m_nReturnCode == SQL_INVALID_HANDLE) return db_failure::lost;
    // The layer's own codes: a stored value too long for its buffer, a
    // cursor the driver lacks, a field out of range.
    if (error.m_nReturnCode == DBERR_DATA_TRUNCATED) return db_failure::value;
    if (error.m_nReturnCode > 1000 && error.m_nReturnCode < 1029) return db_failure::statement;
    bool lost = false, statement = false, value = false;
    for (std::size_t i = 0; i < error.m_states.size(); ++i) {
        const std::string& state = error.m_states[i];
        const long native = i < error.m_natives.size() ? error.m_natives[i] : 0;
        const std::string kind = state.substr(0, 2);
        if (state == "HYT00" || state == "HYT01" || state == "S1T00" || state == "57014" ||
            (dbms == db_dbms::sqlite && (native == 5 || native == 6)) ||
            (dbms == db_dbms::mariadb && (native == 1205 || native == 1969 || native == 3024)))
            return db_failure::timed_out;
        if (kind == "08" || (state.compare(0, 4, "57P0") == 0 && state.size() == 5) ||
            (dbms == db_dbms::mariadb &&
             (native == 2006 || native == 2013 || native == 5014 || native == 1927)))
            lost = true;
        // Syntax, access and integrity errors, a missing table or
        // column (the ODBC 2 states S0001 to S0022 among them). SQLite's
        // driver gives every error a general state; its code 1 is an error
        // of the statement.
        for (const char* plain :
             {"07", "0A", "21", "23", "24", "34", "37", "3D", "3F", "42", "44", "S0"})
            if (kind == plain) statement = true;
        if (dbms == db_dbms::sqlite && native == 1) statement = true;
        // A data exception: a given value the column's type or encoding
        // cannot read (a password that is no number for a numeric column).
        // MariaDB says it of a name in bytes the column's character set
        // lacks in a general state, as a mix of collations or an incorrect
        // string value.
        if (kind == "22" || (dbms == db_dbms::mariadb && (native == 1267 || native == 1270 ||
                                                          native == 1271 || native == 1366)))
            value = true;
    }
    if (lost) return db_failure::lost;
    if (statement) return db_failure::statement;
    return value ? db_failure::value : db_failure::unknown;
}

db_failure db_failure_of(const CDBException& error) {
    if (command_deadline::passed() || command_deadline::cut()) return db_failure::timed_out;
    db_failure failure = db_judge_failure(error, facts.dbms);
    if (failure != db_failure::unknown) return failure;
    return odbc_connection.ConnectionDead() == 0 ? db_failure::unknown : db_failure::lost;
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
    // A server that takes the connection and never answers would otherwise
    // hold the start-up for good. A query's own deadline left running by a
    // caller that never ended the query has no part in it.
    command_deadline::end_query();
    db_command_deadline start_up;
    // SQLite's driver waits for a locked file at connect as long as its
    // Timeout (100 s unless set), so a data source whose driver is SQLite's
    // gets the short wait from its first connect: a file that a nightly job
    // holds locked must not hold the start-up past its deadline.
    const bool sqlite_named =
        sqlite_library(data_source_driver_library(settings.odbc_driver_name.value_or("")));
    bool opened = connect_with(connect.sent + (sqlite_named ? sqlite_wait_piece : ""), "connecting",
                               nullptr, sqlite_named);
    // A driver that is SQLite's under another name shows it once open.
    if (opened && !sqlite_named &&
        dbms_named(odbc_connection.GetInfoText(SQL_DBMS_NAME)) == db_dbms::sqlite) {
        odbc_connection.Close();
        opened = connect_with(connect.sent + sqlite_wait_piece, "connecting", nullptr);
    } else if (opened && !sqlite_named) {
        learn_connection(nullptr);
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

db_file_state db_database_file() {
    if (facts.file.empty()) return db_file_state::same;
    // Looked at no more than ten times a second: on a busy server the path's
    // lookup would be a twentieth of a fast check.
    const auto now = std::chrono::steady_clock::now();
    if (facts.opened_known && now - facts.looked_at < std::chrono::milliseconds(100))
        return db_file_state::same;
    facts.looked_at = now;
    file_id there;
    if (!identify(facts.file, there)) return db_file_state::gone;
    return facts.opened_known && there == facts.opened ? db_file_state::same
                                                       : db_file_state::replaced;
}

const std::string& db_database_path() { return facts.file; }

void db_fit_connection_waits() {
    if (odbc_connection.m_dwQueryTimeout != CDatabase::kNoQueryTimeout)
        odbc_connection.SetQueryTimeout(command_deadline::left_seconds());
    if (facts.dbms != db_dbms::sqlite) return;
    // Set again only when it moved by more than a quarter of a second: a
    // command that met no lock finds it as the previous one left it.
    const long step = std::max(1L, command_deadline::left_ms() / 2);
    if (facts.step_wait_ms >= 0 && std::labs(facts.step_wait_ms - step) <= 250) return;
    facts.step_wait_ms = step;
    try {
        odbc_connection.ExecuteSQL(("PRAGMA busy_timeout = " + std::to_string(step)).c_str());
    } catch (const CDBException& error) {
        log_db_exception("setting the busy wait", error);
    } catch (...) {
        log_layer_fault("setting the busy wait");
    }
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
    } catch (...) {
        log_layer_fault("closing the row");
    }
    // Called as a command ends, also while an exception leaves it.
    try {
        close_held_row();
    } catch (...) {
        log_layer_fault("closing the row");
    }
    debug_log("odbc row now closed");
}

void db_discard_row() {
    try {
        close_held_row();
    } catch (...) {
    }
}

void db_close() {
    db_discard_row();
    try {
        if (!odbc_connection.IsOpen()) return;
        row_recordset.Reattach(&odbc_connection);
        odbc_connection.Close();
    } catch (const CException&) {
        error_log("Closing the database connection failed");
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
    file_id before;
    const bool watched = !facts.file.empty();
    if (watched && !identify(facts.file, before)) {
        // Opening it would make an empty database in its place.
        error_log("Database file (%s) is gone", facts.file.c_str());
    } else {
        // The login gets what is left of the command's deadline.
        const std::string connect =
            last_connect.sent + (facts.dbms == db_dbms::sqlite ? sqlite_wait_piece : "");
        for (int attempt = 0; attempt < 2 && !opened && !command_deadline::passed(); ++attempt) {
            auto started = std::chrono::steady_clock::now();
            opened = connect_with(connect, "reconnecting", watched ? &before : nullptr);
            if (std::chrono::steady_clock::now() - started > std::chrono::seconds(1)) break;
        }
    }
    if (!opened) {
        ++process_stats.reconnections_failed;
        error_log("Reconnect to database driver (%s) failed", last_connect.data_source.c_str());
        return 0;
    }
    ++process_stats.reconnections;
    error_log("Reconnected to database driver (%s)", last_connect.data_source.c_str());
    return 1;
}
