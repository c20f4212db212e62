#include "dbwrap/db_update.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "config/log.h"
#include "dbwrap/command_deadline.h"
#include "dbwrap/db_objects.h"
#include "dbwrap/write_source.h"

namespace {

// A statement handle of its own on the connection, freed however the
// update ends; the user-table recordset keeps its statement meanwhile.
class update_statement {
public:
    explicit update_statement(CDatabase& database) : database_(database) {
        SQLRETURN rc = SQLAllocStmt(database_.m_hdbc, &handle_);
        if (!database_.CheckReturn(rc)) {
            handle_ = SQL_NULL_HSTMT;
            RaiseDBException(rc, &database_);
        }
        // The connection's query timeout bounds a write as it bounds a read.
        database_.ApplyStatementOptions(handle_);
    }
    ~update_statement() { SQLFreeStmt(handle_, SQL_DROP); }
    update_statement(const update_statement&) = delete;
    update_statement& operator=(const update_statement&) = delete;

    void check(SQLRETURN rc) {
        if (!CheckReturnOnStatement(&database_, rc, handle_))
            RaiseDBException(rc, &database_, handle_);
    }

    // Binds the values to the "?" markers in order and executes the text.
    void execute(std::string text, const std::vector<const std::string*>& values) {
        database_.ReplaceQuoteBrackets(text);
        // The lengths stay where they are bound until the statement is freed.
        lengths_.assign(values.size(), 0);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::string& value = *values[i];
            lengths_[i] = static_cast<SQLLEN>(value.size());
            check(SQLBindParameter(handle_, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT,
                                   SQL_C_CHAR, SQL_VARCHAR, std::max<SQLULEN>(value.size(), 1), 0,
                                   const_cast<char*>(value.data()), lengths_[i], &lengths_[i]));
        }
        std::vector<SQLCHAR> sql(text.begin(), text.end());
        sql.push_back('\0');
        check(SQLExecDirect(handle_, sql.data(), SQL_NTS));
    }

    SQLLEN rows() {
        SQLLEN count = 0;
        check(SQLRowCount(handle_, &count));
        return count;
    }

    // The first column of every row of the result, whole however long; a
    // NULL as nothing.
    std::vector<std::optional<std::string>> first_column() {
        std::vector<std::optional<std::string>> values;
        for (SQLRETURN rc = SQLFetch(handle_); rc != SQL_NO_DATA; rc = SQLFetch(handle_)) {
            check(rc);
            std::optional<std::string> value = std::string();
            char piece[256];
            for (;;) {
                SQLLEN length = 0;
                rc = SQLGetData(handle_, 1, SQL_C_CHAR, piece, sizeof piece, &length);
                if (rc == SQL_NO_DATA) break;
                check(rc);
                if (length == SQL_NULL_DATA) {
                    value.reset();
                    break;
                }
                const bool cut = length == SQL_NO_TOTAL || length >= SQLLEN(sizeof piece);
                value->append(piece, cut ? sizeof piece - 1 : static_cast<std::size_t>(length));
                if (rc == SQL_SUCCESS) break;
            }
            values.push_back(std::move(value));
        }
        return values;
    }

private:
    CDatabase& database_;
    SQLHSTMT handle_ = SQL_NULL_HSTMT;
    std::vector<SQLLEN> lengths_;
};

// The connection's transactions, switched back to one per statement however
// the change ends; a change that was not committed is rolled back.
class transaction {
public:
    explicit transaction(CDatabase& database) : database_(database) {
        SQLRETURN rc = SQLSetConnectAttr(database_.m_hdbc, SQL_ATTR_AUTOCOMMIT,
                                         reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
        if (!database_.CheckReturn(rc)) RaiseDBException(rc, &database_);
    }
    ~transaction() {
        if (!ended_) SQLEndTran(SQL_HANDLE_DBC, database_.m_hdbc, SQL_ROLLBACK);
        SQLSetConnectAttr(database_.m_hdbc, SQL_ATTR_AUTOCOMMIT,
                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    }
    transaction(const transaction&) = delete;
    transaction& operator=(const transaction&) = delete;

    void end(bool commit) {
        SQLRETURN rc =
            SQLEndTran(SQL_HANDLE_DBC, database_.m_hdbc, commit ? SQL_COMMIT : SQL_ROLLBACK);
        if (!database_.CheckReturn(rc)) RaiseDBException(rc, &database_);
        ended_ = true;
    }

private:
    CDatabase& database_;
    bool ended_ = false;
};

}  // namespace

// A database compares the old value with the column's collation: MariaDB's
// default ones ignore letter case and trailing blanks (so do SQLite's
// NOCASE and PostgreSQL's nondeterministic ones), and "SET c=? WHERE k=?
// AND c=?" alone would overwrite a password an administrator changed from
// "summer24" to "Summer24" after the row was read. No comparison is binary
// on every database, so the bytes are compared here, inside one
// transaction that no other writer can enter between the comparison and
// the write: the row is locked first, by an UPDATE that changes nothing
// (every database takes a write lock on the rows an UPDATE matches and
// keeps it to the transaction's end), then read back and compared, and only
// then written. The read sees the last committed value: READ COMMITTED reads
// afresh at each statement, MariaDB's REPEATABLE READ takes its snapshot at
// the first read (after the lock), and PostgreSQL's REPEATABLE READ and
// SERIALIZABLE refuse the lock when the row changed after their snapshot,
// which fails the write instead.
namespace {

// The change on one connection; the class layer's errors pass through.
update_outcome replace_on(CDatabase& database, const value_change& change) {
    const std::string where = " WHERE " + change.key_column + "=?";
    transaction held(database);
    {
        update_statement lock(database);
        lock.execute(
            "UPDATE " + change.table + " SET " + change.column + "=" + change.column + where,
            {&change.key});
    }
    std::vector<std::optional<std::string>> now;
    {
        update_statement read(database);
        read.execute("SELECT " + change.column + " FROM " + change.table + where, {&change.key});
        now = read.first_column();
    }
    if (now.size() != 1 || now[0] != change.expected) {
        held.end(false);
        return update_outcome::no_row;
    }
    SQLLEN rows = 0;
    {
        update_statement write(database);
        write.execute("UPDATE " + change.table + " SET " + change.column + "=?" + where + " AND " +
                          change.column + "=?",
                      {&change.value, &change.key, &change.expected});
        rows = write.rows();
    }
    held.end(rows > 0);
    return rows > 0 ? update_outcome::written : update_outcome::no_row;
}

// The write source: opened at the first write, and like the main connection
// opened again and the write run once more when the connection went away,
// while the command's deadline allows. Whatever fails, one line names the
// data source and why.
update_outcome replace_at_write_source(const value_change& change,
                                       const std::vector<std::string>& bound) {
    const std::string& name = db_write_source_name();
    std::string why;
    for (int attempt = 0; attempt < 2; ++attempt) {
        db_dbms dbms = db_dbms::other;
        CDatabase* database = db_write_connection(attempt > 0, dbms);
        if (!database) {
            why = db_write_source_failure();
            break;
        }
        try {
            if (database->m_dwQueryTimeout != CDatabase::kNoQueryTimeout)
                database->SetQueryTimeout(command_deadline::left_seconds());
            return replace_on(*database, change);
        } catch (const CDBException& error) {
            why = db_hide_values(db_error_reason(error), bound);
            db_failure failure = db_judge_failure(error, dbms);
            if (failure == db_failure::unknown && database->ConnectionDead() != 0)
                failure = db_failure::lost;
            if (failure != db_failure::lost || command_deadline::passed()) break;
        } catch (...) {
            why = layer_fault_text();
            break;
        }
    }
    error_log("Write to data source (%s) of odbc_write_dsn failed: %s", name.c_str(), why.c_str());
    return update_outcome::failed;
}

}  // namespace

update_outcome db_replace_value(const value_change& change) {
    // Values hidden from the log's copy of a driver's error.
    const std::vector<std::string> bound = {change.value, change.key, change.expected};
    if (db_write_source_set()) return replace_at_write_source(change, bound);
    if (!odbc_connection.IsOpen()) {
        error_log("FATAL: Database is not yet open.");
        return update_outcome::failed;
    }
    try {
        db_fit_connection_waits();
        return replace_on(odbc_connection, change);
    } catch (const CDBException& error) {
        log_db_exception("writing", error, bound);
    } catch (...) {
        log_layer_fault("writing");
    }
    return update_outcome::failed;
}

std::size_t db_value_room(std::size_t position) {
    std::size_t room = CRow::kTextLength;
    if (!row_recordset.HoldsStatement() || position >= row_recordset.m_columnDescriptions.size())
        return room;
    SQLULEN declared = row_recordset.m_columnDescriptions[position].m_nColumnSize;
    // A size of 0 is a driver that does not know it.
    if (declared > 0 && declared < room) room = static_cast<std::size_t>(declared);
    return room;
}
